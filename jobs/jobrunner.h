#pragma once

#include "jobreport.h"
#include "pageset.h"
#include "porttarget.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class BoardLink;
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

// Runs the console's jobs on one serial link, one at a time. Each job takes the port, runs its
// exchanges and gives everything back on every path (done, failed, cancelled, or this runner
// destroyed in the middle of a wait). Never throws.
class JobRunner : public QObject {
    Q_OBJECT

public:
    explicit JobRunner(QObject *parent = nullptr);
    ~JobRunner() override;

    BoardLink &link() const { return *m_link; }
    SendRec &exchange() const { return *m_exchange; }

    // An upload or a board test is under way; a second one is refused with Busy.
    bool isRunning() const { return m_running; }

    JobOutcome upload(const UploadRequest &request, JobReport &report);
    // Probes every board address so that each light shows whether its board answers.
    JobOutcome probe(const PortTarget &port, JobReport &report);

    // The receive monitor holds the port and reports what arrives every 500 ms until stopped.
    // False when it could not take the port (reported through report.failed()), or its connect
    // to a network device was cancelled (not reported). A device that
    // fails while it runs stops it, and is reported once, followed by report.ended().
    static constexpr int PollMs = 500;
    bool startMonitor(const PortTarget &port, JobReport &report);
    void stopMonitor();
    bool isMonitoring() const;
    QTimer *tmrRx() const { return m_tmrRx; }

    // Ends the running upload or test at once, also while it connects to a network device:
    // nothing more is written, and the port and the progress are given back as the job unwinds.
    // A monitor still connecting gives up too. The next job runs as usual.
    void cancel();

private:
    class Lease;
    JobOutcome run(const PortTarget &port, JobReport &report,
                   const std::function<void(Lease &)> &body);
    void poll();
    void monitorFailed(const QString &text);

    BoardLink *const m_link;
    SendRec *const m_exchange;
    QTimer *const m_tmrRx;
    JobReport *m_monitorReport = nullptr;
    QElapsedTimer m_monitorClock; // since the monitor started, for the wire log
    bool m_running = false;
    bool m_cancelled = false;
};
