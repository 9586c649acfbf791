#pragma once

#include "job.h"
#include "jobline.h"
#include "uploadrequest.h"

#include <QObject>

constexpr int ProbeFrameCount = BoardAddress::Count;

// The console's one line to the boards (cm), with its reply window (tmrTout) and its poll timer
// (tmrRx), and the jobs that use it, one upload or board test at a time. Each job is made here,
// started with Job::start(), and given back whole on its one way out. Destroying the runner
// destroys its jobs first.
class JobRunner : public QObject, private JobLine {
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
    BoardLink &link() override { return *m_link; }
    FrameExchange &exchange() override { return *m_exchange; }
    QTimer &pollTimer() override { return *m_pollTimer; }
    bool claim(const Job *job) override;
    void release(const Job *job) override;

    BoardLink *const m_link;
    FrameExchange *const m_exchange;
    QTimer *const m_pollTimer;
    const Job *m_running = nullptr; // the upload or test under way
};
