#pragma once

#include "judgement.h"

#include <QElapsedTimer>
#include <QObject>

class BoardLink;
class QTimer;

// The one exchange every job uses: write the frame, let one full 500 ms reply window pass (the
// timer tmrTout; the event loop runs meanwhile), then read everything that arrived and judge it.
class FrameExchange : public QObject {
    Q_OBJECT

public:
    static constexpr int ReplyWindowMs = 500;

    explicit FrameExchange(BoardLink *link, QObject *parent = nullptr);

    // The wire log counts its milliseconds from here; a job sets it when it starts.
    void setJobClock(const QElapsedTimer &started) { m_jobClock = started; }

    // Writes the frame and starts its reply window; throws Failure when the link cannot take the
    // frame. When the window ends: exchanged(), or failed() when the link failed meanwhile.
    void send(const QByteArray &frame);
    // Ends the running window, if there is one: nothing is read or reported for it.
    void abort();

Q_SIGNALS:
    // The frame went out on the link; its reply window starts as soon as listeners return. A job
    // cut short during that window still wrote it, though it never reports the exchange.
    void frameWritten(const QByteArray &frame);
    void exchanged(const ExchangeResult &exchange);
    void failed(const QString &text);

private:
    void replyWindowEnded();

    BoardLink *const m_link;
    QTimer *const m_replyWindow;
    QByteArray m_pendingFrame;
    QElapsedTimer m_jobClock;
};
