#pragma once

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QObject>

#include <exception>
#include <optional>

class BoardLink;
class QEventLoop;
class QTimer;

// A frame addressed to one board, judged by the reply that came back in its window.
struct Judgement {
    int address = 0;
    bool answered = false;
    friend bool operator==(const Judgement &, const Judgement &) = default;
};
QDebug operator<<(QDebug debug, const Judgement &judgement);

// The reply rule: a frame that begins with a board address a (0..BoardAddress::Highest) is
// answered when the reply's first character is the digit a (a non-digit counts as 0). Nothing
// for other frames.
namespace StatusJudge {
std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply);
}

// One exchange: the frame written, everything read after its reply window, and the judgement.
struct Exchanged {
    QByteArray frame;
    QByteArray reply;
    std::optional<Judgement> judgement;
    friend bool operator==(const Exchanged &, const Exchanged &) = default;
};
QDebug operator<<(QDebug debug, const Exchanged &exchanged);

// Thrown out of SendRec::sendRec() when its wait was cut short (the job was cancelled, the
// application is exiting, or the exchange was destroyed): the job must write nothing more.
class Aborted : public std::exception {
public:
    const char *what() const noexcept override { return "the exchange was aborted"; }
};

// The one exchange every job uses: write the frame, wait one full 500 ms reply window while the
// console stays live, read everything that arrived, and judge it.
class SendRec : public QObject {
    Q_OBJECT

public:
    static constexpr int ReplyWindowMs = 500;

    explicit SendRec(BoardLink *link, QObject *parent = nullptr);
    ~SendRec() override; // ends a running wait, which then throws Aborted

    // Tests shorten the reply window to run at the fake boards' speed; the console never does.
    void setReplyWindowMs(int ms);
    int replyWindowMs() const;

    // The wire log counts its milliseconds from here; a job sets it when it starts.
    void setJobClock(const QElapsedTimer &started) { m_jobClock = started; }

    // Throws Failure for a link error, Aborted when the wait was cut short.
    Exchanged sendRec(const QByteArray &frame);

    // Ends the running wait at once, if there is one; that sendRec() throws Aborted.
    void abort();
    bool isWaiting() const { return m_wait != nullptr; }

    QTimer *tmrTout() const { return m_tmrTout; }

    // The last exchange: the frame it wrote, the text it read, and whether its window ran out.
    const QByteArray &pendingFrame() const { return m_pendingFrame; }
    const QByteArray &replyText() const { return m_replyText; }
    bool replyWindowElapsed() const { return m_replyWindowElapsed; }

Q_SIGNALS:
    // The frame went out on the link; its reply window starts as soon as listeners return. A job
    // cut short during that window still wrote it, though it never reports the exchange.
    void frameWritten(const QByteArray &frame);

private:
    void replyWindowEnded();

    BoardLink *const m_link;
    QTimer *const m_tmrTout;
    QEventLoop *m_wait = nullptr; // the running wait's loop, on sendRec()'s stack
    QByteArray m_pendingFrame;
    QByteArray m_replyText;
    bool m_replyWindowElapsed = true;
    QElapsedTimer m_jobClock;
};
