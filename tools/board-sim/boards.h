#pragma once

// Simulated display boards: the frame parser, what each board holds and how each address
// answers, and a pseudo-terminal endpoint that the console opens like any serial device.
// display-board-sim and the tests' fake boards are both built on this one piece of code.

#include "pageset.h"

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <array>

class QSocketNotifier;
class QTimer;

// One frame as the boards understand it (without its carriage return).
struct ParsedFrame {
    enum class Kind { Bracket, RowPair, PageDelay, Probe, Invalid };

    Kind kind = Kind::Invalid;
    int address = -1;      // the leading digit, when there is one
    int page = -1;         // row pair: 0 to PageSet::PageCount - 1
    QByteArray firstRow;   // row pair: text before the first "~"
    QByteArray secondRow;  // row pair: text after it
    int delaySeconds = -1; // page delay: the two digits
    QString problem;       // Invalid: what is wrong, in plain words

    friend bool operator==(const ParsedFrame &, const ParsedFrame &) = default;
};
QDebug operator<<(QDebug debug, const ParsedFrame &frame);

// frame: the bytes before the carriage return.
ParsedFrame parseFrame(const QByteArray &frame);

// The bytes as printable text for messages: Latin-1 letters as they are, CR as <CR>, LF as <LF>,
// other control bytes as their hex value in angle brackets (<00>).
QString visibleBytes(const QByteArray &bytes);

enum class BoardBehaviour {
    Present, // answers at once (after the reply delay) with its digit and some text
    Silent,  // never answers
    Wrong,   // answers with another first character
    Late,    // answers with its digit, but only after the console's 500 ms reply window
};

// What boards 1 to BoardAddress::Highest hold (their row pair of each page) and the page delay,
// and how each address 0 to BoardAddress::Highest answers.
class BoardBank {
public:
    static constexpr int AddressCount = BoardAddress::Count;

    BoardBank();

    void setBehaviour(int address, BoardBehaviour behaviour);
    BoardBehaviour behaviour(int address) const;

    // Applies the frame to what the boards hold and returns the reply the addressed board sends,
    // empty when nothing answers. Invalid and bracket frames get no reply. The behaviour decides
    // only the reply: a silent, wrong or late board still takes its rows.
    QByteArray apply(const ParsedFrame &frame);

    // What a board sends after its digit (default " OK").
    void setReplyTail(const QByteArray &tail) { m_replyTail = tail; }
    const QByteArray &replyTail() const { return m_replyTail; }

    // Row text of the page as the boards now show it (row 2k and 2k + 1 come from board k + 1).
    QByteArray row(int page, int row) const;
    int pageDelaySeconds() const { return m_delaySeconds; } // -1 until a delay frame arrived
    int rowPairFramesReceived() const { return m_rowPairs; }

private:
    std::array<BoardBehaviour, AddressCount> m_behaviour;
    std::array<std::array<QByteArray, PageSet::RowsPerPage>, PageSet::PageCount> m_rows;
    int m_delaySeconds = -1;
    int m_rowPairs = 0;
    QByteArray m_replyTail = " OK";
};

// The boards' end of a line: frames arriving on it are recorded with their arrival time, applied
// to the bank and answered after the reply delay (late boards after lateDelayMs). What the line
// is (a pseudo-terminal, a TCP connection) is up to the class built on this one.
class LineBoards : public QObject {
    Q_OBJECT

public:
    struct Received {
        QByteArray bytes; // the frame with its carriage return
        qint64 atMs = 0;  // milliseconds since the boards were created
    };
    struct Replied {
        int address = -1;
        QByteArray bytes; // as written to the line
        qint64 atMs = 0;
    };

    ~LineBoards() override;

    virtual bool isValid() const = 0;
    virtual QString devicePath() const = 0; // what the console opens: "/dev/pts/3", "tcp://..."
    virtual int portNumber() const { return -1; } // the console's number that reaches it, or -1

    BoardBank &bank() { return m_bank; }
    void setReplyDelayMs(int ms) { m_replyDelayMs = ms; } // default 20
    void setLateDelayMs(int ms) { m_lateDelayMs = ms; }   // default 700
    int replyDelayMs() const { return m_replyDelayMs; }
    int lateDelayMs() const { return m_lateDelayMs; }
    const BoardBank &bank() const { return m_bank; }
    // Extra bytes sent after the reply digit for present boards (default " OK").
    void setReplyTail(const QByteArray &tail) { m_bank.setReplyTail(tail); }

    const QList<Received> &received() const { return m_received; }
    const QList<Replied> &replies() const { return m_replies; } // in the order they were sent
    QByteArray allBytes() const;                                // everything received, in order
    void clear(); // forgets what was received and replied, not what boards hold

    // The line goes away for good (the adapter is pulled, the device server stops): the
    // console's port fails.
    virtual void vanish() = 0;

    // Lets go of this end's hold on the line: once the console has closed its end as well, the
    // line is down, lineClosed() is emitted and nothing more is read. Until then frames are taken
    // and answered as before.
    virtual void releaseLine() = 0;

    // Bytes a board puts on the line unasked (noise, a board restarting), for the receive
    // monitor to show. Written at once; not recorded as a reply.
    void sendUnasked(const QByteArray &bytes);

Q_SIGNALS:
    void frameReceived(const QByteArray &frame, const ParsedFrame &parsed);
    void invalidFrame(const QByteArray &frame, const QString &problem);
    void replySent(int address, const QByteArray &reply);
    void lineClosed();

protected:
    explicit LineBoards(QObject *parent);

    // Reads and answers frames on fd (non-blocking) until detachLine() or the far end goes.
    void attachLine(int fd, bool isSocket);
    // Stops reading; closes the descriptor when close is true.
    void detachLine(bool close);
    int lineFd() const { return m_line; }
    // The far end closed the line: everything it sent has been taken.
    virtual void lineEnded() = 0;

private:
    void readLine();
    void takeFrames();
    void takeFrame(const QByteArray &frame);
    void sendReply(int address, const QByteArray &reply);
    bool writeToLine(const QByteArray &bytes);

    int m_line = -1;
    bool m_lineIsSocket = false;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    BoardBank m_bank;
    QByteArray m_partial;
    QList<Received> m_received;
    QList<Replied> m_replies;
    int m_replyDelayMs = 20;
    int m_lateDelayMs = 700;
};

// A pseudo-terminal pair whose far end (the slave device, e.g. /dev/pts/3) the console opens.
class PtyBoards : public LineBoards {
    Q_OBJECT

public:
    explicit PtyBoards(QObject *parent = nullptr);
    ~PtyBoards() override;

    bool isValid() const override { return m_master >= 0; }
    QString devicePath() const override; // "/dev/pts/3"
    int portNumber() const override;     // 100 + pts index, or -1 beyond the console's table

    // The adapter is pulled: closes the pseudo-terminal so the console's port fails.
    void vanish() override;
    void releaseLine() override;

protected:
    void lineEnded() override;

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the line stays up between the console's opens
    QString m_devicePath;
};

class TcpListener;

// A device server in raw mode: the boards' line is the one TCP connection a console opens to
// host:port ("tcp://127.0.0.1:4001"). Like such a server it serves one client at a time; a
// second connection is closed at once, without a byte.
class TcpBoards : public LineBoards {
    Q_OBJECT

public:
    // port 0: any free port (devicePath() says which).
    TcpBoards(const QHostAddress &host, quint16 port, QObject *parent = nullptr);
    ~TcpBoards() override;

    bool isValid() const override;
    QString listenProblem() const; // why it is not listening, empty when it is
    QString devicePath() const override;
    quint16 tcpPort() const;
    bool hasClient() const { return lineFd() >= 0; }

    // The server stops: the client's connection is closed and nothing more is accepted.
    void vanish() override;
    // Closes the client's connection and waits for the next one.
    void dropClient();
    void releaseLine() override { m_released = true; }

Q_SIGNALS:
    void clientConnected(const QString &peer);
    void clientRefused(const QString &peer); // a second client while one is served
    void clientLeft(const QString &peer);

protected:
    void lineEnded() override;

private:
    void takeConnection(int fd);

    TcpListener *const m_listener;
    QString m_peer;
    bool m_released = false;
};
