#include "jobrunner.h"

#include "boardlink.h"
#include "framebuilder.h"
#include "sendrec.h"

#include <QTimer>

JobRunner::JobRunner(QObject *parent)
    : QObject(parent)
    , m_link(new BoardLink(this))
    , m_exchange(new SendRec(m_link, this))
    , m_pollTimer(new QTimer(this)) {
    m_link->setObjectName(QStringLiteral("cm"));
    m_pollTimer->setObjectName(QStringLiteral("tmrRx"));
    m_pollTimer->setInterval(PollMs);
}

JobRunner::~JobRunner() {
    // Each ends on its way out while the line is still here.
    qDeleteAll(findChildren<Job *>(Qt::FindDirectChildrenOnly));
}

Job *JobRunner::upload(const UploadRequest &request, JobReport &report) {
    return new Job(*this,
                   {.port = request.port,
                    .frameCount = UploadFrameCount,
                    .frame = [request](int n) { return request.frame(n); },
                    .progressMessage = QStringLiteral("Processing ...."),
                    .progressAfter = &UploadRequest::progressAfter},
                   report);
}

Job *JobRunner::probe(const PortTarget &port, JobReport &report) {
    return new Job(*this,
                   {.port = port,
                    .frameCount = ProbeFrameCount,
                    .frame = [](int n) { return FrameBuilder::probeFrame(n); }},
                   report);
}

Job *JobRunner::monitor(const PortTarget &port, JobReport &report) {
    return new Job(*this, {.port = port}, report);
}
