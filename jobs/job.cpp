#include "job.h"

#include "boardlink.h"
#include "failure.h"
#include "frameexchange.h"
#include "jobline.h"
#include "wirelog.h"

#include <QTimer>

#include <utility>

QDebug operator<<(QDebug debug, JobOutcome outcome) {
    static constexpr const char *Names[] = {"Complete", "Failed", "Aborted", "Busy"};
    return debug << Names[int(outcome)];
}

namespace {

// The states in which the job holds the port.
bool holdsPort(Job::State state) {
    return state == Job::State::Connecting || state == Job::State::Exchanging ||
           state == Job::State::Polling;
}

} // namespace

Job::Job(JobLine &line, JobPlan plan, JobReport &report, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_plan(std::move(plan))
    , m_report(report) {}

Job::~Job() {
    cancel();
}

// A failure of the port in any step ends the job on its one path; nothing escapes to the event
// loop. Any other exception is a fault in the program, not the operator's port.
void Job::step(const std::function<void()> &work) {
    try {
        work();
    } catch (const Failure &failure) {
        fail(failure.text());
    }
}

// The one place the state changes. Entering a state takes what it needs; leaving the port's
// states, for a failure or the end, stops the line; the end gives back what the last of them
// held: the progress, then the port, then the line for the next upload or test.
void Job::moveTo(State next) {
    const State was = std::exchange(m_state, next);
    switch (next) {
    case State::Ready:
    case State::Connecting:
        break;
    case State::Exchanging:
        if (!m_plan.progressMessage.isEmpty())
            m_report.progressShown(m_plan.progressMessage); // at 0
        break;
    case State::Polling:
        m_line.pollTimer().start();
        break;
    case State::ReportingFailure:
    case State::Ended: {
        const State held = was == State::ReportingFailure ? m_failedIn : was;
        if (next == State::ReportingFailure)
            m_failedIn = was;
        if (holdsPort(was)) {
            if (polls())
                m_line.pollTimer().stop();
            else
                m_line.exchange().abort();
        }
        if (next == State::ReportingFailure)
            break;
        if (held == State::Exchanging && !m_plan.progressMessage.isEmpty())
            m_report.progressClosed();
        if (holdsPort(held))
            m_line.link().close();
        m_line.release(this);
        break;
    }
    }
}

void Job::start() {
    if (m_state != State::Ready)
        return;
    if (!polls() && !m_line.claim(this)) {
        m_state = State::Ended; // refused: nothing was taken
        Q_EMIT finished(JobOutcome::Busy);
        deleteLater();
        return;
    }
    m_clock.start();
    BoardLink *const link = &m_line.link();
    FrameExchange *const exchange = &m_line.exchange();
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
        connect(&m_line.pollTimer(), &QTimer::timeout, this, &Job::poll);
    } else {
        connect(exchange, &FrameExchange::frameWritten, this, [this](const QByteArray &frame) {
            if (m_state == State::Exchanging)
                m_report.frameWritten(frame);
        });
        connect(exchange, &FrameExchange::exchanged, this, &Job::replied);
        connect(exchange, &FrameExchange::failed, this, [this](const QString &text) {
            if (m_state == State::Exchanging)
                fail(text);
        });
    }
    step([this, link] {
        // A refusal leaves the port to whoever held it before: nothing is closed.
        link->setPort(m_plan.port);
        link->open();
        moveTo(State::Connecting);
        // A network device that failed at once reports it from the event loop, as failed().
        if (link->isOpen() && !link->isConnecting())
            portOpened();
    });
}

void Job::portOpened() {
    moveTo(polls() ? State::Polling : State::Exchanging);
    if (m_state != State::Exchanging)
        return; // the monitor, or the report cancelled it
    m_line.exchange().setJobClock(m_clock);
    m_line.exchange().send(m_plan.frame(m_frame));
}

void Job::replied(const ExchangeResult &exchange) {
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
    step([this] { m_line.exchange().send(m_plan.frame(m_frame)); });
}

void Job::poll() {
    if (m_state != State::Polling)
        return;
    step([this] {
        const ReceivedBytes received = m_line.link().read();
        // Every 500 ms: only what arrived, or the log would be mostly empty reads.
        if (!received.bytes.isEmpty())
            qCDebug(lcWire).noquote() << wireTime(m_clock) << wireReadText(received);
        m_report.received(received.bytes, received.dropped);
    });
}

void Job::fail(const QString &text) {
    if (m_state == State::ReportingFailure || m_state == State::Ended)
        return;
    moveTo(State::ReportingFailure);
    // Said while the progress is still shown and the port still held, so the operator sees
    // where the job stopped.
    m_report.failed(text);
    if (m_state == State::ReportingFailure && !m_failureHolder)
        end(JobOutcome::Failed);
}

void Job::holdUntilGone(QObject *holder) {
    if (m_state != State::ReportingFailure)
        return;
    m_failureHolder = holder;
    connect(holder, &QObject::destroyed, this, [this] { end(JobOutcome::Failed); });
}

void Job::cancel() {
    end(m_state == State::ReportingFailure ? JobOutcome::Failed : JobOutcome::Aborted);
}

void Job::end(JobOutcome outcome) {
    if (m_state == State::Ended)
        return;
    moveTo(State::Ended);
    m_report.ended(outcome);
    Q_EMIT finished(outcome);
    deleteLater();
}
