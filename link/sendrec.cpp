#include "sendrec.h"

#include "boardlink.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

QDebug operator<<(QDebug debug, const Judgement &judgement) {
    QDebugStateSaver saver(debug);
    const char *colour = judgement.colour == Light::Green ? "green"
                         : judgement.colour == Light::Red ? "red"
                                                          : "cyan";
    debug.nospace() << "Judgement(light " << judgement.address << ' ' << colour << ')';
    return debug;
}

namespace StatusJudge {

std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply) {
    const auto digitValue = [](char c) -> std::optional<int> {
        if (c >= '0' && c <= '9')
            return c - '0';
        return std::nullopt;
    };
    if (frame.isEmpty())
        return std::nullopt;
    const std::optional<int> address = digitValue(frame.front());
    if (!address || *address > 8)
        return std::nullopt;
    // A reply that begins with anything but a digit counts as 0, so address 0 accepts it.
    const int replied = reply.isEmpty() ? 0 : digitValue(reply.front()).value_or(0);
    const bool good = !reply.isEmpty() && replied == *address;
    return Judgement{*address, good ? Light::Green : Light::Red};
}

} // namespace StatusJudge

SendRec::SendRec(BoardLink *link, StatusDisplay *display, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_display(display)
    , m_tmrTout(new QTimer(this)) {
    m_tmrTout->setObjectName(QStringLiteral("tmrTout"));
    // The default coarse timer fires up to 5 % early; every reply window must last 500 ms.
    m_tmrTout->setTimerType(Qt::PreciseTimer);
    m_tmrTout->setInterval(ReplyWindowMs);
    connect(m_tmrTout, &QTimer::timeout, this, &SendRec::replyWindowEnded);
}

SendRec::~SendRec() {
    if (m_wait)
        m_wait->quit();
}

void SendRec::setReplyWindowMs(int ms) {
    m_tmrTout->setInterval(ms);
}

int SendRec::replyWindowMs() const {
    return m_tmrTout->interval();
}

void SendRec::replyWindowEnded() {
    replyWindowElapsed = true;
    m_tmrTout->stop();
    if (m_wait)
        m_wait->quit();
}

void SendRec::abort() {
    m_aborted = true;
    m_tmrTout->stop();
    if (m_wait)
        m_wait->quit();
}

void SendRec::sendRec() {
    if (m_aborted)
        throw Aborted();

    m_link->write(pendingFrame);
    replyWindowElapsed = false;
    m_tmrTout->start();

    // The process sleeps in this loop until the window ends; meanwhile the console stays live.
    // The loop also returns early: on abort(), when this object is destroyed, and at once (and
    // forever after) once the application has been told to exit.
    QPointer<SendRec> self(this);
    QEventLoop wait;
    m_wait = &wait;
    m_waiting = true;
    wait.exec();
    if (!self)
        throw Aborted(); // everything this object knew is gone: touch nothing
    m_wait = nullptr;
    m_waiting = false;
    if (!replyWindowElapsed) {
        m_aborted = true;
        m_tmrTout->stop();
        throw Aborted();
    }

    replyText = m_link->readAll();
    m_display->setReceiveLine(replyText);
    if (const std::optional<Judgement> judgement = StatusJudge::judge(pendingFrame, replyText))
        m_display->setLight(judgement->address, judgement->colour);
}
