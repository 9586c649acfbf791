#pragma once

#include "judgement.h"

#include <QString>

// How a job ended. Complete: every frame went out (whatever the boards answered).
enum class JobOutcome { Complete, Failed, Aborted, Busy };
QDebug operator<<(QDebug debug, JobOutcome outcome);

// What a job shows while it runs. The console paints its window from these calls, a command line
// prints them, a test records them. Only the three pure ones must be written.
class JobReport {
public:
    virtual ~JobReport() = default;

    // The upload's progress: shown with its message and 0 once the port is open, then each new
    // value up to 100, and closed before the port is given back, on every path.
    virtual void progressShown(const QString &message) { Q_UNUSED(message) }
    virtual void progressChanged(float value) { Q_UNUSED(value) }
    virtual void progressClosed() {}

    // A frame went out; its reply window starts when this returns. Said also for a frame whose
    // window is then cut short.
    virtual void frameWritten(const QByteArray &frame) { Q_UNUSED(frame) }
    // Every exchange, after its reply window: the frame, the reply (possibly empty) and, for a
    // frame addressed to one board, whether that board answered.
    virtual void exchanged(const ExchangeResult &exchange) = 0;
    // What one poll of the receive monitor read (possibly nothing): the first bytes of it, and
    // how many bytes after those were read and dropped.
    virtual void received(const QByteArray &bytes, qint64 dropped) = 0;
    // The job could not take the port or lost it. Said once per job, before anything is given
    // back; a report that shows it to the operator may have the job wait (Job::holdUntilGone).
    virtual void failed(const QString &text) = 0;

    // The job has given back everything it took: the progress is closed, the port is closed.
    // Said once for every job that was not refused as Busy.
    virtual void ended(JobOutcome outcome) { Q_UNUSED(outcome) }
};
