#pragma once

// display-board-sim's model: the simulated boards on their line, which row pairs have
// arrived, what was rejected, whether an upload has ended, and the status lights the console
// should be showing for the replies it got.

#include "boards.h"

#include <QObject>
#include <QStringList>

#include <array>

class QTimer;

enum class PredictedLight { Cyan, Green, Red };
const char *lightName(PredictedLight light);

// The console reads everything that arrived during a frame's 500 ms reply window and judges it
// against the frame's leading address digit: good when the first character of what it read is
// that digit (any other first character counts as 0). Replies that come later are read by the
// next frame's window instead.
class LightPrediction {
public:
    static constexpr int AddressCount = BoardAddress::Count;

    void frameArrived(const QByteArray &frame); // judges a previous window that is still open
    void replySent(const QByteArray &bytes);
    void windowEnded();

    PredictedLight light(int address) const { return m_lights.at(std::size_t(address)); }

private:
    void judgeOpenWindow();

    std::array<PredictedLight, AddressCount> m_lights{};
    bool m_windowOpen = false;
    int m_windowAddress = -1; // -1: the frame addresses no single board
    QByteArray m_unread;
};

class BoardSimulator : public QObject {
    Q_OBJECT

public:
    static constexpr int ReplyWindowMs = 500;
    static constexpr int MessageCount = 8; // latest lines kept for the view, not a board count

    // On a pseudo-terminal.
    explicit BoardSimulator(QObject *parent = nullptr);
    // On the line of these boards, which it takes over.
    explicit BoardSimulator(LineBoards *boards, QObject *parent = nullptr);

    LineBoards &boards() { return *m_boards; }
    const LineBoards &boards() const { return *m_boards; }
    const BoardBank &bank() const { return m_boards->bank(); }

    PredictedLight light(int address) const { return m_lights.light(address); }
    bool pairReceived(int page, int k) const;
    int framesReceived() const { return m_frames; }
    int framesRejected() const { return m_rejected; }
    int uploadsCompleted() const { return m_uploads; }
    int lastPage() const { return m_lastPage; } // the last row pair that arrived, -1 before any
    int lastPair() const { return m_lastPair; }
    const QStringList &messages() const { return m_messages; } // the latest MessageCount lines

Q_SIGNALS:
    void changed();
    void logLine(const QString &line); // one per frame, and one per completed upload
    // The closing "*Q" after the page-delay frame has arrived.
    void uploadCompleted();

private:
    void takeFrame(const QByteArray &frame, const ParsedFrame &parsed);
    void addMessage(const QString &line);
    QString describe(const ParsedFrame &parsed, const QByteArray &frame) const;

    LineBoards *const m_boards;
    QTimer *const m_replyWindow;
    LightPrediction m_lights;
    std::array<std::array<bool, PageSet::PairsPerPage>, PageSet::PageCount> m_pairReceived{};
    int m_frames = 0;
    int m_rejected = 0;
    int m_uploads = 0;
    bool m_delaySeen = false;
    int m_lastPage = -1;
    int m_lastPair = -1;
    QStringList m_messages;
};
