#include "sendalerts.h"

#include "alertcommand.h"
#include "bytetext.h"
#include "jobjournal.h"
#include "reportgatherer.h"
#include "sendstatus.h"

#include <QDir>
#include <QProcessEnvironment>

#include <utility>

SendAlerts::SendAlerts(const SendOptions &options, JobJournal &journal, QTextStream &out,
                       std::function<void(const QString &)> error, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_journal(journal)
    , m_out(out)
    , m_error(std::move(error)) {}

int SendAlerts::check(const PortTarget &port) {
    const QString path = m_journal.journal().path();
    const JournalLookup complete = readNewest(path, QStringLiteral("upload"), port.portNumber(),
                                              port.devicePath(), QStringLiteral("complete"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 allowedMs = m_options.expectEverySeconds * 1500;
    const std::optional<QDateTime> last =
        complete.record ? complete.record->finished : std::nullopt;
    if (complete.problem.isEmpty() && last && last->msecsTo(now) <= allowedMs) {
        if (!m_options.quiet)
            m_out << "last complete upload to " << port.label() << " at "
                  << last->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) << '\n';
        return AllAnswered;
    }
    QString said;
    if (!complete.problem.isEmpty())
        said = complete.problem;
    else if (last)
        said = QStringLiteral("no complete upload to %1 since %2, more than %3 min ago")
                   .arg(port.label(),
                        last->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                        QString::number(double(allowedMs) / 60000.0, 'f', 1));
    else
        said = QStringLiteral("no complete upload to %1 in the journal %2")
                   .arg(port.label(), QDir::toNativeSeparators(path));
    m_error(said);
    if (m_options.alertCommand.isEmpty())
        return SomeDidNotAnswer;
    // What the newest upload did, finished or not, tells why none completed.
    const JournalLookup newest =
        readNewest(path, QStringLiteral("upload"), port.portNumber(), port.devicePath());
    JournalRecord stale;
    stale.job = QStringLiteral("upload");
    stale.port = port.portNumber();
    stale.device = port.devicePath();
    stale.outcome = QStringLiteral("stale");
    stale.error = said;
    runAlert(stale, newest.record ? newest.record->outcome.value_or(QStringLiteral("unfinished"))
                                  : QString());
    return -1;
}

namespace {

QString isoUtc(const std::optional<QDateTime> &time) {
    return time ? time->toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

int SendAlerts::checkShared(const QList<SharedJournal::DeviceState> &states,
                            const QList<SharedJournal::Retirement> &retired,
                            const QString &journalConf) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 allowedMs = m_options.expectEverySeconds * 1500;
    sayRetired(retired, now, allowedMs);
    const QString allowed = QString::number(double(allowedMs) / 60000.0, 'f', 1);
    m_waiting.clear();
    m_journalConf = journalConf;
    // One alert a site, its stale devices listed: however many devices a site's records name,
    // the office gets one message from it, and reads at most MaxListed of its devices.
    StaleSite site;
    qsizetype staleCount = 0;
    const auto siteDone = [&] {
        if (staleCount == MaxListed + 1)
            m_error(QStringLiteral("1 more device of site %1 has no complete upload in time")
                        .arg(site.site));
        else if (staleCount > MaxListed)
            m_error(QStringLiteral("%1 more devices of site %2 have no complete upload in time")
                        .arg(QString::number(staleCount - MaxListed), site.site));
        if (staleCount > 1) {
            // Several: the alert names none of them alone.
            site.record.port = 0;
            site.record.device.clear();
            site.previousOutcome.clear();
            site.record.error =
                staleCount > MaxListed
                    ? QStringLiteral("%1 devices of site %2 have no complete upload within %3 "
                                     "min; the first %4 are listed")
                          .arg(QString::number(staleCount), site.site, allowed,
                               QString::number(MaxListed))
                    : QStringLiteral("%1 devices of site %2 have no complete upload within %3 min")
                          .arg(QString::number(staleCount), site.site, allowed);
        }
        if (staleCount > 0)
            m_waiting.append(site);
        site = {};
        staleCount = 0;
    };
    const auto stale = [&](const QString &name, const JournalRecord &device, const QString &label,
                           const QString &said, const QString &previous,
                           const SharedJournal::DeviceState *state = nullptr) {
        if (name != site.site || staleCount == 0) {
            siteDone();
            site.site = name;
        }
        // The site's newest receipt tells whether it reaches the server at all.
        if (state && state->lastReceived &&
            (!site.lastReceived || *state->lastReceived > *site.lastReceived)) {
            site.lastMade = state->lastMade;
            site.lastReceived = state->lastReceived;
        }
        if (++staleCount > MaxListed)
            return;
        m_error(said);
        if (staleCount == 1) {
            site.record = device;
            site.record.job = QStringLiteral("upload");
            site.record.outcome = QStringLiteral("stale");
            site.record.error = said;
            site.previousOutcome = previous;
        }
        site.devices << label;
    };
    if (states.isEmpty())
        stale(m_options.site, {}, {},
              m_options.site.isEmpty()
                  ? QStringLiteral("no job in the shared journal")
                  : QStringLiteral("no job of site %1 in the shared journal").arg(m_options.site),
              QString());
    QStringList aheadSites;
    for (const SharedJournal::DeviceState &state : states) {
        if (SharedJournal::standing(retired, state.site, state.device))
            continue;
        if (state.site != site.site)
            siteDone();
        JournalRecord device;
        device.port = state.port;
        device.device = state.device;
        const QString label = ReportGatherer::labelOf(device);
        const QString named = QStringLiteral("%1 %2").arg(state.site, label);
        // A record dated after the server received it is the site's clock (or word), never
        // fresh: said once a site.
        if (state.aheadSeconds && !aheadSites.contains(state.site)) {
            aheadSites << state.site;
            m_error(
                QStringLiteral("%1's clock is %2 ahead: its newest upload to %3 is dated after "
                               "the shared journal received it, and is not taken as fresh")
                    .arg(state.site, SharedJournal::spokenDuration(*state.aheadSeconds), named));
        }
        if (state.moreDevices)
            m_error(QStringLiteral("site %1's records name more than %2 devices; the first %2 "
                                   "were checked")
                        .arg(state.site, QString::number(SharedJournal::MaxDevicesChecked)));
        const QString at =
            state.lastComplete
                ? state.lastComplete->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                : QString();
        if (state.lastComplete && state.lastComplete->msecsTo(now) <= allowedMs) {
            // A site's device name is its own text: shown as --history shows it.
            m_out << "last complete upload to " << terminalText(named) << " at " << at << '\n';
            continue;
        }
        QString said =
            state.lastComplete
                ? QStringLiteral("no complete upload to %1 since %2, more than %3 min ago")
                      .arg(named, at, allowed)
                : QStringLiteral("no complete upload to %1 in the shared journal").arg(named);
        // Stopped, or sending late: when the newest upload was made, and when it arrived.
        if (state.lastMade && state.lastReceived && !state.aheadSeconds)
            said += QStringLiteral("; ") +
                    SharedJournal::receiptWords(*state.lastMade, *state.lastReceived, now,
                                                m_options.expectEverySeconds);
        stale(state.site, device, label, said, state.newestOutcome, &state);
    }
    siteDone();
    m_out.flush();
    if (m_waiting.isEmpty())
        return AllAnswered;
    if (m_options.alertCommand.isEmpty()) {
        m_waiting.clear();
        return SomeDidNotAnswer;
    }
    runNextShared();
    return -1;
}

void SendAlerts::runNextShared() {
    const StaleSite next = m_waiting.takeFirst();
    const bool late = next.lastMade && next.lastReceived &&
                      SharedJournal::receivedLate(*next.lastMade, *next.lastReceived,
                                                  m_options.expectEverySeconds);
    runAlert(next.record, next.previousOutcome, next.site, m_journalConf, next.devices,
             {{"DISPLAY_LAST_MADE", isoUtc(next.lastMade)},
              {"DISPLAY_LAST_RECEIVED", isoUtc(next.lastReceived)},
              {"DISPLAY_RECEIVED_LATE",
               late ? QString::number(next.lastMade->secsTo(*next.lastReceived)) : QString()}});
}

void SendAlerts::sayRetired(const QList<SharedJournal::Retirement> &retired, const QDateTime &now,
                            qint64 allowedMs) {
    for (const SharedJournal::Retirement &retirement : retired) {
        // One that came back is said by the first check after it did, then no more.
        if (retirement.back && retirement.back->msecsTo(now) > allowedMs)
            continue;
        const QString what =
            retirement.device.isEmpty()
                ? QStringLiteral("site %1").arg(retirement.site)
                : QStringLiteral("%1 of site %2").arg(retirement.device, retirement.site);
        const QString since =
            retirement.retired.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        // A site's device name is its own text: shown as --history shows it.
        m_out << terminalText(
                     retirement.back
                         ? QStringLiteral("%1 was retired on %2 and has sent records since: it "
                                          "is checked again")
                               .arg(what, since)
                         : QStringLiteral("%1 is retired since %2: left out").arg(what, since))
              << '\n';
    }
}

int SendAlerts::checkBlind(const QString &problem, const QString &journalConf) {
    if (m_options.alertCommand.isEmpty())
        return PortFailed;
    // The whole fleet unseen: one alert, for no site.
    JournalRecord blind;
    blind.outcome = QStringLiteral("blind");
    blind.error = problem;
    runAlert(blind, QString(), QString(), journalConf);
    return -1;
}

bool SendAlerts::afterJob() {
    if (m_options.alertCommand.isEmpty() || m_options.mode == SendOptions::Mode::Monitor)
        return false;
    Journal &journal = m_journal.journal();
    const qint64 id = m_journal.lastEndedId();
    const std::optional<JournalRecord> record = id >= 0 ? journal.record(id) : std::nullopt;
    if (!record || !record->outcome)
        return alertUnrecorded();
    const std::optional<JournalRecord> previous = journal.previousOf(*record);
    sayJournalProblem();
    if (outcomeChanges(previous, *record).isEmpty())
        return false;
    runAlert(*record, previous ? previous->outcome.value_or(QString()) : QString());
    return true;
}

bool SendAlerts::alertUnrecorded() {
    // The journal could not keep the job: with nothing to compare it with, anything but a job
    // that went well is said, and the alert says why the journal could not keep it.
    std::optional<JournalRecord> ended = m_journal.lastEnded();
    sayJournalProblem();
    if (!ended || outcomeChanges(std::nullopt, *ended).isEmpty())
        return false;
    QStringList why = m_journal.problemTaken();
    if (ended->error)
        why.prepend(*ended->error);
    ended->error = why.join(QLatin1String("; "));
    runAlert(*ended, QString());
    return true;
}

void SendAlerts::sayJournalProblem() {
    for (const QString &line : m_journal.takeProblem())
        m_error(line);
}

void SendAlerts::runAlert(const JournalRecord &record, const QString &previousOutcome,
                          const QString &site, const QString &journal, const QStringList &devices,
                          const QList<std::pair<const char *, QString>> &more) {
    QStringList silent;
    for (const int board : silentBoards(record))
        silent << QString::number(board);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const std::pair<const char *, QString> values[] = {
        {"DISPLAY_DEVICE", record.device},
        {"DISPLAY_PORT", record.port > 0 ? QString::number(record.port) : QString()},
        {"DISPLAY_JOB", record.job},
        {"DISPLAY_OUTCOME", record.outcome.value_or(QString())},
        {"DISPLAY_PREVIOUS_OUTCOME", previousOutcome},
        {"DISPLAY_SILENT_BOARDS", silent.join(QLatin1Char(','))},
        {"DISPLAY_UNAVAILABLE", record.unavailable.value_or(QStringList()).join(QLatin1Char(','))},
        {"DISPLAY_ERROR", record.error.value_or(QString())},
        {"DISPLAY_JOURNAL",
         QDir::toNativeSeparators(journal.isEmpty() ? m_journal.journal().path() : journal)},
        {"DISPLAY_SITE", site},
        {"DISPLAY_DEVICES", devices.join(QLatin1Char('\n'))},
    };
    for (const auto &[name, value] : values)
        environment.insert(QLatin1String(name), value);
    for (const auto &[name, value] : more)
        environment.insert(QLatin1String(name), value);
    m_alert = new AlertCommand(m_options.alertCommand, m_options.alertTimeoutMs, this);
    connect(m_alert, &AlertCommand::ended, this, [this](const QString &failure) {
        if (!failure.isEmpty())
            m_error(failure);
        m_alert->deleteLater();
        m_alert = nullptr;
        // --check --shared: one alert after the other, each with its own site.
        if (!m_waiting.isEmpty())
            return runNextShared();
        Q_EMIT ended();
    });
    m_alert->start(environment);
}

void SendAlerts::stop() {
    m_waiting.clear();
    if (m_alert)
        m_alert->stop();
}
