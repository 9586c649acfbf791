#pragma once

#include "jobreport.h"
#include "pageset.h"
#include "porttarget.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>

class BoardLink;
class SendRec;
class QTimer;

// SEND: "*Q" twice, the row pairs page by page, the page delay, "*Q".
struct UploadRequest {
    PortTarget port;
    // Read as each frame is built, so an edit made during the upload travels if its pair has not
    // gone yet.
    std::function<QString(int index)> rowText;
    // Read just before the delay frame.
    std::function<int()> delaySeconds;
};

constexpr int RowPairFrameCount = PageSet::PageCount * PageSet::PairsPerPage;
constexpr int UploadFrameCount = 2 + RowPairFrameCount + 1 + 1;
constexpr int ProbeFrameCount = BoardAddress::Count;

// The upload's progress: up by one step per row pair, then set to done before the last "*Q".
constexpr int ProgressStep = 2;
constexpr int ProgressDone = 100;
static_assert(ProgressStep * RowPairFrameCount <= ProgressDone,
              "the row pairs' progress steps must fit below done");

class Job;

// The console's one line to the boards (cm), with its reply window (tmrTout) and its poll timer
// (tmrRx), and the jobs that use it, one upload or board test at a time. Each job is made here,
// started with Job::start(), and given back whole on its one way out. Destroying the runner
// destroys its jobs first.
class JobRunner : public QObject {
    Q_OBJECT

public:
    explicit JobRunner(QObject *parent = nullptr);
    ~JobRunner() override;

    // An upload or a board test is under way; a second one is refused with Busy.
    bool isRunning() const { return m_running != nullptr; }

    Job *upload(const UploadRequest &request, JobReport &report);
    // Probes every board address so that each light shows whether its board answers.
    Job *probe(const PortTarget &port, JobReport &report);
    // The receive monitor holds the port and reports what arrives every 500 ms until cancelled.
    static constexpr int PollMs = 500;
    Job *monitor(const PortTarget &port, JobReport &report);

private:
    friend class Job;
    struct Plan;

    BoardLink *const m_link;
    SendRec *const m_exchange;
    QTimer *const m_pollTimer;
    Job *m_running = nullptr; // the upload or test under way
};

// One job on a runner's line. Its state is where it is; it takes the port, runs its exchanges
// (each a frame and its reply window) or its polls, and ends once, on one path for every ending
// (done, failed, cancelled, or destroyed in any state): the progress closes, then the port, then
// the report hears ended() and finished() follows. An ended job deletes itself later.
class Job : public QObject {
    Q_OBJECT

public:
    enum class State { Ready, Connecting, Exchanging, Polling, ReportingFailure, Ended };

    ~Job() override;

    State state() const { return m_state; }
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
    friend class JobRunner;
    Job(JobRunner &runner, JobRunner::Plan plan, JobReport &report);

    bool polls() const;
    void step(const std::function<void()> &work);
    void portOpened();
    void replied(const Exchanged &exchange);
    void poll();
    void fail(const QString &text);
    void end(JobOutcome outcome);

    JobRunner &m_runner;
    const std::unique_ptr<JobRunner::Plan> m_plan;
    JobReport &m_report;
    State m_state = State::Ready;
    QElapsedTimer m_clock; // since the start, for the wire log
    int m_frame = 0;       // the frame under way
    bool m_portTaken = false;
    bool m_progressShown = false;
    bool m_held = false;
};
