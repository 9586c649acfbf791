#include "jobs.h"

#include "boardlink.h"
#include "consolehost.h"
#include "failure.h"
#include "framebuilder.h"
#include "pageset.h"
#include "sendrec.h"

#include <QPointer>
#include <QTimer>

namespace {

// Sets the link to the port number and opens it. Reports a refusal and returns false; the port
// then belongs to whoever held it before, so nothing is closed.
bool takePort(ConsoleHost &host, BoardLink &link, int portNumber) {
    try {
        link.setPortNumber(portNumber);
        link.open();
        return true;
    } catch (const Failure &failure) {
        host.reportPortError(failure.text());
        return false;
    }
}

QString failureText(const std::exception &error) {
    if (const auto *failure = dynamic_cast<const Failure *>(&error))
        return failure->text();
    return QString::fromLocal8Bit(error.what());
}

} // namespace

UploadJob::UploadJob(ConsoleHost &host, BoardLink &link, SendRec &exchange)
    : m_host(host)
    , m_link(link)
    , m_exchange(exchange) {}

void UploadJob::run() {
    m_host.setPortNumber(qint16(m_host.portListPosition() + 1));
    if (!takePort(m_host, m_link, m_host.portNumber()))
        return;

    // If the window goes away during a wait, the host, link and exchange go with it.
    const QPointer<SendRec> alive(&m_exchange);
    ProgressDisplay &progress = m_host.progress();
    try {
        m_host.setSendEnabled(false);
        progress.show();
        progress.setMessage(QStringLiteral("Processing ...."));
        progress.setValue(0);

        auto exchange = [this](const QByteArray &frame) {
            m_exchange.pendingFrame = frame;
            m_exchange.sendRec();
        };
        exchange(FrameBuilder::bracketFrame());
        exchange(FrameBuilder::bracketFrame());
        for (int page = 0; page < PageSet::PageCount; ++page) {
            for (int k = 0; k < PageSet::PairsPerPage; ++k) {
                // Read the rows now: an edit made earlier in the upload travels.
                exchange(FrameBuilder::rowPairFrame(
                    page, k, m_host.rowText(PageSet::indexOf(page, 2 * k)),
                    m_host.rowText(PageSet::indexOf(page, 2 * k + 1))));
                progress.setValue(progress.value() + 2);
            }
        }
        // No delay selected (position -1) sends 1 second.
        exchange(FrameBuilder::pageDelayFrame(m_host.delayListPosition() + 2));
        progress.setValue(100);
        exchange(FrameBuilder::bracketFrame());

        progress.close();
        m_link.close();
        m_host.setSendEnabled(true);
    } catch (const Aborted &) {
        if (!alive)
            return;
        progress.close();
        m_link.close();
    } catch (const std::exception &error) {
        m_host.reportPortError(failureText(error));
        if (!alive)
            return;
        progress.close();
        m_link.close();
        m_host.setSendEnabled(true);
    }
}

ProbeJob::ProbeJob(ConsoleHost &host, BoardLink &link, SendRec &exchange)
    : m_host(host)
    , m_link(link)
    , m_exchange(exchange) {}

void ProbeJob::run() {
    m_host.setPortNumber(qint16(m_host.portListPosition() + 1));
    if (!takePort(m_host, m_link, m_host.portNumber()))
        return;

    const QPointer<SendRec> alive(&m_exchange);
    try {
        for (int address = 0; address <= 8; ++address) {
            m_exchange.pendingFrame = FrameBuilder::probeFrame(address);
            m_exchange.sendRec();
        }
        m_link.close();
    } catch (const Aborted &) {
        if (alive)
            m_link.close();
    } catch (const std::exception &error) {
        m_host.reportPortError(failureText(error));
        if (alive)
            m_link.close();
    }
}

MonitorJob::MonitorJob(ConsoleHost &host, BoardLink &link, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_link(link)
    , m_tmrRx(new QTimer(this)) {
    m_tmrRx->setObjectName(QStringLiteral("tmrRx"));
    m_tmrRx->setInterval(PollMs);
    connect(m_tmrRx, &QTimer::timeout, this, &MonitorJob::poll);
    // The device vanished between two ticks: stop and say so once.
    connect(&m_link, &BoardLink::failed, this, [this](const QString &text) {
        if (isRunning())
            stopAfterFailure(text);
    });
}

bool MonitorJob::isRunning() const {
    return m_tmrRx->isActive();
}

void MonitorJob::toggle() {
    if (isRunning()) {
        stop();
        return;
    }
    // The monitor uses the port number as it stands (possibly from display.cfg), not the list.
    if (!takePort(m_host, m_link, m_host.portNumber()))
        return;
    m_tmrRx->start();
    m_host.setMonitorCaption(QStringLiteral("Stop"));
}

void MonitorJob::stop() {
    m_tmrRx->stop();
    m_host.setMonitorCaption(QStringLiteral("Rec Only"));
    m_link.close();
}

void MonitorJob::poll() {
    try {
        m_host.setReceiveLine(m_link.readAll());
    } catch (const Failure &failure) {
        stopAfterFailure(failure.text());
    }
}

void MonitorJob::stopAfterFailure(const QString &text) {
    // Stop first: the message box below runs its own event loop, and no tick may come meanwhile.
    stop();
    m_host.reportPortError(text);
}
