#include "job.h"

#include "boardlink.h"
#include "failure.h"
#include "jobrunner.h"
#include "sendrec.h"
#include "wirelog.h"

#include <QTimer>

QDebug operator<<(QDebug debug, JobOutcome outcome) {
    static constexpr const char *Names[] = {"Complete", "Failed", "Aborted", "Busy"};
    return debug << Names[int(outcome)];
}

Job::Job(JobRunner &runner, JobPlan plan, JobReport &report)
    : QObject(&runner)
    , m_runner(runner)
    , m_plan(std::move(plan))
    , m_report(report) {}

Job::~Job() {
    cancel();
}

bool Job::polls() const {
    return m_plan.frameCount == 0;
}

// A platform failure in any step ends the job on its one path; nothing escapes to the event loop.
void Job::step(const std::function<void()> &work) {
    try {
        work();
    } catch (const Failure &failure) {
        fail(failure.text());
    } catch (const std::exception &error) {
        fail(QString::fromLocal8Bit(error.what()));
    }
}

void Job::start() {
    if (m_state != State::Ready)
        return;
    if (!polls() && m_runner.m_running) {
        m_state = State::Ended;
        Q_EMIT finished(JobOutcome::Busy);
        deleteLater();
        return;
    }
    if (!polls())
        m_runner.m_running = this;
    m_clock.start();
    BoardLink *const link = m_runner.m_link;
    SendRec *const exchange = m_runner.m_exchange;
    connect(link, &BoardLink::opened, this, [this] {
        if (m_state == State::Connecting)
            step([this] { portOpened(); });
    });
    // While exchanging, a failed device is met by the read at the end of the window.
    connect(link, &BoardLink::failed, this, [this](const QString &text) {
        if (m_state == State::Connecting || m_state == State::Polling)
            fail(text);
    });
    if (polls()) {
        connect(m_runner.m_pollTimer, &QTimer::timeout, this, &Job::poll);
    } else {
        connect(exchange, &SendRec::frameWritten, this, [this](const QByteArray &frame) {
            if (m_state == State::Exchanging)
                m_report.frameWritten(frame);
        });
        connect(exchange, &SendRec::exchanged, this, &Job::replied);
        connect(exchange, &SendRec::failed, this, [this](const QString &text) {
            if (m_state == State::Exchanging)
                fail(text);
        });
    }
    m_state = State::Connecting;
    step([this, link] {
        // A refusal leaves the port to whoever held it before: nothing is closed.
        link->setPort(m_plan.port);
        link->open();
        m_portTaken = true;
        if (!link->isConnecting())
            portOpened();
    });
}

void Job::portOpened() {
    if (polls()) {
        m_state = State::Polling;
        m_runner.m_pollTimer->start();
        return;
    }
    m_state = State::Exchanging;
    if (!m_plan.progressMessage.isEmpty()) {
        m_progressShown = true;
        m_report.progressShown(m_plan.progressMessage); // at 0
    }
    if (m_state != State::Exchanging)
        return; // the report cancelled it
    m_runner.m_exchange->setJobClock(m_clock);
    m_runner.m_exchange->send(m_plan.frame(m_frame));
}

void Job::replied(const Exchanged &exchange) {
    if (m_state != State::Exchanging)
        return;
    m_report.exchanged(exchange);
    if (const std::optional<int> progress =
            m_plan.progressAfter ? m_plan.progressAfter(m_frame) : std::nullopt;
        progress && m_state == State::Exchanging)
        m_report.progressChanged(float(*progress));
    if (m_state != State::Exchanging)
        return; // the report cancelled it
    if (++m_frame == m_plan.frameCount)
        return end(JobOutcome::Complete);
    step([this] { m_runner.m_exchange->send(m_plan.frame(m_frame)); });
}

void Job::poll() {
    if (m_state != State::Polling)
        return;
    step([this] {
        const Received received = m_runner.m_link->read();
        // Every 500 ms: only what arrived, or the log would be mostly empty reads.
        if (!received.bytes.isEmpty())
            qCDebug(lcWire).noquote() << wireTime(m_clock) << wireReadText(received);
        m_report.received(received.bytes, received.dropped);
    });
}

void Job::fail(const QString &text) {
    if (m_state == State::ReportingFailure || m_state == State::Ended)
        return;
    m_state = State::ReportingFailure;
    if (m_portTaken) {
        m_runner.m_exchange->abort();
        if (polls())
            m_runner.m_pollTimer->stop();
    }
    // Said while the progress is still shown and the port still held, so the operator sees
    // where the job stopped.
    m_report.failed(text);
    if (m_state == State::ReportingFailure && !m_held)
        end(JobOutcome::Failed);
}

void Job::holdUntilGone(QObject *holder) {
    if (m_state != State::ReportingFailure)
        return;
    m_held = true;
    connect(holder, &QObject::destroyed, this, [this] { end(JobOutcome::Failed); });
}

void Job::cancel() {
    end(m_state == State::ReportingFailure ? JobOutcome::Failed : JobOutcome::Aborted);
}

void Job::end(JobOutcome outcome) {
    if (m_state == State::Ended)
        return;
    m_state = State::Ended;
    if (m_portTaken) {
        if (polls())
            m_runner.m_pollTimer->stop();
        else
            m_runner.m_exchange->abort();
    }
    if (m_progressShown)
        m_report.progressClosed();
    if (m_portTaken)
        m_runner.m_link->close();
    if (m_runner.m_running == this)
        m_runner.m_running = nullptr;
    m_report.ended(outcome);
    Q_EMIT finished(outcome);
    deleteLater();
}
