#pragma once

#include "jobreport.h"
#include "porttarget.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

class JobLine;

// An upload and a board test exchange frames, one at a time on the line; the receive monitor
// polls what arrives, and may run beside them on another line.
enum class JobKind { Upload, BoardTest, Monitor };

// What a job sends: frame n is built just before it goes out, and the progress, if any, is set
// after its exchange. The monitor sends nothing.
struct JobPlan {
    JobKind kind = JobKind::Upload;
    PortTarget port;
    int frameCount = 0;
    std::function<QByteArray(int n)> frame{};
    QString progressMessage{}; // shown at 0 once the port is open; none when empty
    std::function<std::optional<int>(int n)> progressAfter{};
};

// One job on a runner's line. Its state is where it is; it takes the port, runs its exchanges
// (each a frame and its reply window) or its polls, and ends once, on one path for every ending
// (done, failed, cancelled, or destroyed in any state): the progress closes, then the port, then
// the report hears ended() and finished() follows. An ended job deletes itself later.
class Job : public QObject {
    Q_OBJECT

public:
    // Ready until started; Connecting once the port is taken; Exchanging or Polling once it is
    // open; ReportingFailure while the operator is told why the job stopped; Ended.
    enum class State { Ready, Connecting, Exchanging, Polling, ReportingFailure, Ended };

    Job(JobLine &line, JobPlan plan, JobReport &report, QObject *parent);
    ~Job() override;

    State state() const { return m_state; }
    JobKind kind() const { return m_plan.kind; }
    // Refused with finished(Busy) alone while another upload or test runs on the runner.
    void start();
    // Ends the job now, as Aborted (as Failed once its failure is being reported).
    void cancel();
    // From JobReport::failed(): the job keeps the progress and the port, so the operator sees
    // where it stopped, until holder is destroyed (a message box closed).
    void holdUntilGone(QObject *holder);

Q_SIGNALS:
    void finished(JobOutcome outcome);

private:
    bool polls() const { return m_plan.kind == JobKind::Monitor; }
    void step(const std::function<void()> &work);
    void moveTo(State next);
    void portOpened();
    void replied(const ExchangeResult &exchange);
    void poll();
    void fail(const QString &text);
    void end(JobOutcome outcome);

    JobLine &m_line;
    const JobPlan m_plan;
    JobReport &m_report;
    State m_state = State::Ready;
    State m_failedIn = State::Ready; // what the job held when it failed is what it gives back
    QPointer<QObject> m_failureHolder;
    QElapsedTimer m_clock; // since the start, for the wire log
    int m_frame = 0;       // the frame under way
};
