#include "jobrunner.h"

#include "boardlink.h"
#include "framebuilder.h"
#include "frameexchange.h"

#include <QTimer>

JobRunner::JobRunner(QObject *parent)
    : QObject(parent)
    , m_link(new BoardLink(this))
    , m_exchange(new FrameExchange(m_link, this))
    , m_pollTimer(new QTimer(this)) {
    m_link->setObjectName(QStringLiteral("cm"));
    m_pollTimer->setObjectName(QStringLiteral("tmrRx"));
    m_pollTimer->setInterval(PollMs);
}

JobRunner::~JobRunner() {
    // Each ends on its way out while the line is still here.
    qDeleteAll(findChildren<Job *>(Qt::FindDirectChildrenOnly));
}

bool JobRunner::claim(const Job *job) {
    if (m_running)
        return false;
    m_running = job;
    return true;
}

void JobRunner::release(const Job *job) {
    if (m_running == job)
        m_running = nullptr;
}

Job *JobRunner::upload(const UploadRequest &request, JobReport &report) {
    return new Job(*this,
                   {.kind = JobKind::Upload,
                    .port = request.port,
                    .frameCount = UploadFrameCount,
                    .frame = [request](int n) { return request.frame(n); },
                    .progressMessage = QStringLiteral("Processing ...."),
                    .progressAfter = &UploadRequest::progressAfter},
                   report, this);
}

Job *JobRunner::probe(const PortTarget &port, JobReport &report) {
    return new Job(*this,
                   {.kind = JobKind::BoardTest,
                    .port = port,
                    .frameCount = ProbeFrameCount,
                    .frame = [](int n) { return FrameBuilder::probeFrame(n); }},
                   report, this);
}

Job *JobRunner::monitor(const PortTarget &port, JobReport &report) {
    return new Job(*this, {.kind = JobKind::Monitor, .port = port}, report, this);
}
