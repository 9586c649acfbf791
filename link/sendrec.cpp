#include "sendrec.h"

#include "boardlink.h"
#include "pageset.h"
#include "wirelog.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

QDebug operator<<(QDebug debug, const Judgement &judgement) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "Judgement(board " << judgement.address << ' '
                    << (judgement.answered ? "answered" : "no answer") << ')';
    return debug;
}

QDebug operator<<(QDebug debug, const Exchanged &exchanged) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "Exchanged(" << exchanged.frame << " -> " << exchanged.reply;
    if (exchanged.judgement)
        debug << ", " << *exchanged.judgement;
    debug << ')';
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
    if (!address || *address > BoardAddress::Highest)
        return std::nullopt;
    // A reply that begins with anything but a digit counts as 0, so address 0 accepts it.
    const int replied = reply.isEmpty() ? 0 : digitValue(reply.front()).value_or(0);
    return Judgement{*address, !reply.isEmpty() && replied == *address};
}

} // namespace StatusJudge

SendRec::SendRec(BoardLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
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
    m_replyWindowElapsed = true;
    m_tmrTout->stop();
    if (m_wait)
        m_wait->quit();
}

void SendRec::abort() {
    m_tmrTout->stop();
    if (m_wait)
        m_wait->quit();
}

Exchanged SendRec::sendRec(const QByteArray &frame) {
    m_pendingFrame = frame;
    qCDebug(lcWire).noquote() << wireTime(m_jobClock) << "wrote" << wireText(frame);
    m_link->write(m_pendingFrame);
    // Said before the window starts, so that listeners' time is not taken from the window.
    Q_EMIT frameWritten(m_pendingFrame);
    m_replyWindowElapsed = false;
    m_tmrTout->start();

    // The process sleeps in this loop until the window ends; meanwhile the console stays live.
    // The loop also returns early: on abort(), when this object is destroyed, and at once (and
    // forever after) once the application has been told to exit.
    QPointer<SendRec> self(this);
    QEventLoop wait;
    m_wait = &wait;
    wait.exec();
    if (!self)
        throw Aborted(); // everything this object knew is gone: touch nothing
    m_wait = nullptr;
    if (!m_replyWindowElapsed) {
        m_tmrTout->stop();
        throw Aborted();
    }

    const Received received = m_link->read();
    m_replyText = received.bytes;
    qCDebug(lcWire).noquote() << wireTime(m_jobClock) << wireReadText(received);
    return {m_pendingFrame, m_replyText, StatusJudge::judge(m_pendingFrame, m_replyText)};
}
