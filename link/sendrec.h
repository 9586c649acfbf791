#pragma once

#include <QByteArray>
#include <QDebug>
#include <QObject>

#include <optional>

class BoardLink;
class QEventLoop;
class QTimer;

enum class Light { Cyan, Green, Red };

// Where the exchange shows what it read and judged: the receive line and the status lights.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    virtual void setReceiveLine(const QByteArray &reply) = 0;
    virtual void setLight(int address, Light colour) = 0;
};

struct Judgement {
    int address = 0;
    Light colour = Light::Red;
    friend bool operator==(const Judgement &, const Judgement &) = default;
};
QDebug operator<<(QDebug debug, const Judgement &judgement);

// The reply rule: a frame that begins with board address a (0..8) is answered well when the
// reply's first character is the digit a (a non-digit counts as 0). Nothing for other frames.
namespace StatusJudge {
std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply);
}

// Thrown out of SendRec::sendRec() when its wait was cut short (the window is closing): the job
// must write nothing more.
class Aborted : public std::exception {
public:
    const char *what() const noexcept override { return "the exchange was aborted"; }
};

// The one exchange every job uses: write pendingFrame, wait one full 500 ms reply window while
// the window stays live, read everything that arrived into replyText, show it and judge it.
class SendRec : public QObject {
    Q_OBJECT

public:
    static constexpr int ReplyWindowMs = 500;

    SendRec(BoardLink *link, StatusDisplay *display, QObject *parent = nullptr);
    ~SendRec() override; // ends a running wait, which then throws Aborted

    // Tests shorten the reply window to run at the fake boards' speed; the console never does.
    void setReplyWindowMs(int ms);
    int replyWindowMs() const;

    QByteArray pendingFrame;
    QByteArray replyText;
    bool replyWindowElapsed = true;

    // Throws Failure for a link error, Aborted when abort() ended the wait.
    void sendRec();

    // Ends a running wait at once; every later sendRec() throws Aborted.
    void abort();
    bool isAborted() const { return m_aborted; }
    bool isWaiting() const { return m_waiting; }

    QTimer *tmrTout() const { return m_tmrTout; }

private:
    void replyWindowEnded();

    BoardLink *const m_link;
    StatusDisplay *const m_display;
    QTimer *const m_tmrTout;
    QEventLoop *m_wait = nullptr; // the running wait's loop, on sendRec()'s stack
    bool m_aborted = false;
    bool m_waiting = false;
};
