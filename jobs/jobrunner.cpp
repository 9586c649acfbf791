#include "jobrunner.h"

#include "boardlink.h"
#include "failure.h"
#include "framebuilder.h"
#include "wirelog.h"

#include <QPointer>
#include <QTimer>

QDebug operator<<(QDebug debug, JobOutcome outcome) {
    QDebugStateSaver saver(debug);
    switch (outcome) {
    case JobOutcome::Complete:
        return debug << "Complete";
    case JobOutcome::Failed:
        return debug << "Failed";
    case JobOutcome::Aborted:
        return debug << "Aborted";
    case JobOutcome::Busy:
        return debug << "Busy";
    }
    return debug;
}

// What one run of a job holds: the port once it has opened it, and the progress once shown.
// The destructor gives both back, in that order, on every path; if the runner itself went away
// during a wait, everything the lease knew went with it and it touches nothing.
class JobRunner::Lease {
public:
    Lease(JobRunner &runner, JobReport &report)
        : m_runner(&runner)
        , m_report(report) {
        runner.m_running = true;
        runner.m_cancelled = false;
    }

    ~Lease() {
        if (!m_runner)
            return;
        if (m_progressShown)
            m_report.progressClosed();
        if (m_portTaken)
            m_runner->m_link->close();
        m_runner->m_running = false;
    }

    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;

    bool runnerAlive() const { return !m_runner.isNull(); }

    // A refusal leaves the port to whoever held it before: nothing is closed.
    void takePort(const PortTarget &port) {
        m_runner->m_link->setPort(port);
        m_runner->m_link->open();
        m_portTaken = true;
    }

    void exchange(const QByteArray &frame) {
        if (m_runner->m_cancelled)
            throw Aborted();
        const Exchanged exchanged = m_runner->m_exchange->sendRec(frame);
        m_report.exchanged(exchanged);
    }

    void showProgress(const QString &message) {
        m_progressShown = true;
        m_progress = 0;
        m_report.progressShown(message);
    }
    void setProgress(int value) {
        m_progress = value;
        m_report.progressChanged(float(value));
    }
    void stepProgress(int step) { setProgress(m_progress + step); }

private:
    const QPointer<JobRunner> m_runner;
    JobReport &m_report;
    bool m_portTaken = false;
    bool m_progressShown = false;
    int m_progress = 0;
};

JobRunner::JobRunner(QObject *parent)
    : QObject(parent)
    , m_link(new BoardLink(this))
    , m_exchange(new SendRec(m_link, this))
    , m_tmrRx(new QTimer(this)) {
    m_link->setObjectName(QStringLiteral("cm"));
    m_tmrRx->setObjectName(QStringLiteral("tmrRx"));
    m_tmrRx->setInterval(PollMs);
    connect(m_tmrRx, &QTimer::timeout, this, &JobRunner::poll);
    // The device vanished between two polls.
    connect(m_link, &BoardLink::failed, this, [this](const QString &text) {
        if (isMonitoring())
            monitorFailed(text);
    });
}

JobRunner::~JobRunner() {
    // A job still waiting unwinds once control returns to its wait; by then this runner is gone
    // and the job touches nothing.
    m_exchange->abort();
}

JobOutcome JobRunner::run(const PortTarget &port, JobReport &report,
                          const std::function<void(Lease &)> &body) {
    if (m_running)
        return JobOutcome::Busy;
    const QPointer<JobRunner> alive(this);
    QElapsedTimer started;
    started.start();
    m_exchange->setJobClock(started);
    JobOutcome outcome = JobOutcome::Complete;
    {
        Lease lease(*this, report);
        QString failure;
        try {
            lease.takePort(port);
            body(lease);
        } catch (const Aborted &) {
            outcome = JobOutcome::Aborted;
        } catch (const Failure &error) {
            outcome = JobOutcome::Failed;
            failure = error.text();
        } catch (const std::exception &error) {
            outcome = JobOutcome::Failed;
            failure = QString::fromLocal8Bit(error.what());
        }
        // Said while the progress is still shown and the port still held, so the operator sees
        // where the job stopped.
        if (outcome == JobOutcome::Failed && alive)
            report.failed(failure);
    }
    if (alive)
        report.ended(outcome);
    return outcome;
}

JobOutcome JobRunner::upload(const UploadRequest &request, JobReport &report) {
    return run(request.port, report, [&request](Lease &job) {
        job.showProgress(QStringLiteral("Processing ...."));
        job.exchange(FrameBuilder::bracketFrame());
        job.exchange(FrameBuilder::bracketFrame());
        for (int page = 0; page < PageSet::PageCount; ++page) {
            for (int k = 0; k < PageSet::PairsPerPage; ++k) {
                job.exchange(FrameBuilder::rowPairFrame(
                    page, k, request.rowText(PageSet::indexOf(page, 2 * k)),
                    request.rowText(PageSet::indexOf(page, 2 * k + 1))));
                job.stepProgress(ProgressStep);
            }
        }
        job.exchange(FrameBuilder::pageDelayFrame(request.delaySeconds()));
        job.setProgress(ProgressDone);
        job.exchange(FrameBuilder::bracketFrame());
    });
}

JobOutcome JobRunner::probe(const PortTarget &port, JobReport &report) {
    return run(port, report, [](Lease &job) {
        for (int address = 0; address <= BoardAddress::Highest; ++address)
            job.exchange(FrameBuilder::probeFrame(address));
    });
}

void JobRunner::cancel() {
    // A connect under way, a job's or the monitor's, ends at once.
    m_link->cancelOpen();
    if (!m_running)
        return;
    m_cancelled = true;
    m_exchange->abort();
}

bool JobRunner::startMonitor(const PortTarget &port, JobReport &report) {
    if (isMonitoring())
        return true;
    try {
        m_link->setPort(port);
        m_link->open();
    } catch (const Failure &failure) {
        report.failed(failure.text());
        return false;
    } catch (const Aborted &) {
        return false; // the connect was cancelled, or this runner went away during it
    }
    m_monitorReport = &report;
    m_monitorClock.start();
    m_tmrRx->start();
    return true;
}

void JobRunner::stopMonitor() {
    if (!isMonitoring())
        return;
    m_tmrRx->stop();
    m_monitorReport = nullptr;
    m_link->close();
}

bool JobRunner::isMonitoring() const {
    return m_tmrRx->isActive();
}

void JobRunner::poll() {
    try {
        const Received received = m_link->read();
        // Every 500 ms: only what arrived, or the log would be mostly empty reads.
        if (!received.bytes.isEmpty())
            qCDebug(lcWire).noquote() << wireTime(m_monitorClock) << wireReadText(received);
        m_monitorReport->received(received.bytes);
    } catch (const Failure &failure) {
        monitorFailed(failure.text());
    }
}

void JobRunner::monitorFailed(const QString &text) {
    JobReport *report = m_monitorReport;
    // Stop first: the report may show a message box with its own event loop, and no poll may
    // come meanwhile.
    stopMonitor();
    const QPointer<JobRunner> alive(this);
    report->failed(text);
    if (alive)
        report->ended(JobOutcome::Failed);
}
