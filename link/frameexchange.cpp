#include "frameexchange.h"

#include "boardlink.h"
#include "failure.h"
#include "wirelog.h"

#include <QTimer>

FrameExchange::FrameExchange(BoardLink *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_replyWindow(new QTimer(this)) {
    m_replyWindow->setObjectName(QStringLiteral("tmrTout"));
    // The default coarse timer fires up to 5 % early; every reply window must last 500 ms.
    m_replyWindow->setTimerType(Qt::PreciseTimer);
    m_replyWindow->setSingleShot(true);
    m_replyWindow->setInterval(ReplyWindowMs);
    connect(m_replyWindow, &QTimer::timeout, this, &FrameExchange::replyWindowEnded);
}

void FrameExchange::send(const QByteArray &frame) {
    m_pendingFrame = frame;
    qCDebug(lcWire).noquote() << wireTime(m_jobClock) << "wrote" << wireText(frame);
    m_link->write(m_pendingFrame);
    // Said before the window starts, so that listeners' time is not taken from the window.
    Q_EMIT frameWritten(m_pendingFrame);
    m_replyWindow->start();
}

void FrameExchange::abort() {
    m_replyWindow->stop();
}

void FrameExchange::replyWindowEnded() {
    ReceivedBytes received;
    try {
        received = m_link->read();
    } catch (const Failure &failure) {
        Q_EMIT failed(failure.text());
        return;
    }
    qCDebug(lcWire).noquote() << wireTime(m_jobClock) << wireReadText(received);
    Q_EMIT exchanged(
        {m_pendingFrame, received.bytes, StatusJudge::judge(m_pendingFrame, received.bytes)});
}
