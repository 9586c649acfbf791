#include "sharedrun.h"

#include "bytetext.h"
#include "configstore.h"
#include "failure.h"
#include "journalconf.h"
#include "regularfile.h"
#include "report.h"
#include "reportfile.h"
#include "sealcommands.h"
#include "sendstatus.h"
#include "sharedjournal.h"

#include <QThread>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

// The settings, or the status and line that say why there are none.
std::optional<SharedJournalConfig> readConfig(const QString &path, QString &problem) {
    try {
        std::optional<SharedJournalConfig> config = JournalConf::read(path);
        if (!config)
            problem = QStringLiteral("no %1 names a shared journal").arg(path);
        return config;
    } catch (const Failure &failure) {
        problem = failure.text();
        return std::nullopt;
    }
}

} // namespace

SharedRun::SharedRun(const SendOptions &options, QTextStream &out,
                     std::function<void(const QString &)> error, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_error(std::move(error)) {}

SharedRun::~SharedRun() {
    // The program ends before its work only when the work was cut off: the thread is not left
    // behind.
    abandon(m_leftStatus);
}

QString SharedRun::configPath() const {
    return m_options.journalConfPath.isEmpty()
               ? ConfigStore::besideConfig(m_options.configPath, JournalConf::FileName)
               : m_options.journalConfPath;
}

bool SharedRun::forwards() const {
    return !m_options.journalConfPath.isEmpty() || !RegularFile::absent(configPath());
}

void SharedRun::forward(const QString &journalPath, int jobStatus) {
    const bool afterJob = jobStatus >= 0;
    m_forwarding = true;
    run(
        [=, this](const SharedJournalConfig &config) -> Outcome {
            // The records stay where they are whatever happens: a damaged journal is left as it
            // is for the jobs, which move it aside, to deal with.
            JournalOptions options;
            options.moveAsideDamaged = false;
            Journal local(journalPath, options);
            SharedJournal shared(config);
            SharedJournal::Forwarded forwarded;
            if (shared.open())
                forwarded = shared.forward(local);
            else
                forwarded.ok = false;
            if (!forwarded.ok) {
                // Whether anything waited: the local journal is read again, never made.
                const std::optional<ForwardBatch> left =
                    forwarded.records == 0 && !forwarded.localProblem ? local.unforwarded(1)
                                                                      : std::nullopt;
                return {afterJob                                        ? jobStatus
                        : forwarded.localProblem || forwarded.wrongSite ? BadInput
                                                                        : PortFailed,
                        left && left->records.isEmpty()
                            ? QStringLiteral("%1; nothing was waiting").arg(shared.problem())
                        : forwarded.records == 1
                            ? QStringLiteral("%1; 1 record was forwarded, the others wait for "
                                             "the next forward")
                                  .arg(shared.problem())
                            : QStringLiteral("%1; %2 records were forwarded, the others wait "
                                             "for the next forward")
                                  .arg(shared.problem(), QString::number(forwarded.records))};
            }
            if (!afterJob && forwarded.records == 0)
                m_out << QStringLiteral("Nothing was waiting for the shared journal (site %1).\n")
                             .arg(terminalText(forwarded.site));
            else if (!afterJob)
                m_out << QStringLiteral("Forwarded %1 %2 to the shared journal as site %3.\n")
                             .arg(QString::number(forwarded.records),
                                  forwarded.records == 1 ? QStringLiteral("record")
                                                         : QStringLiteral("records"),
                                  terminalText(forwarded.site));
            m_out.flush();
            return {afterJob ? jobStatus : AllAnswered, {}};
        },
        afterJob ? jobStatus : BadInput, afterJob ? jobStatus : PortFailed,
        afterJob ? AfterJobCutOffSeconds : 0);
}

void SharedRun::initialise() {
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            QStringList done;
            QStringList warnings;
            if (!shared.open() || !shared.initialise(done, warnings))
                return {PortFailed, shared.problem()};
            for (const QString &line : done)
                m_out << "The shared journal: " << line << ".\n";
            const QString schema = QString::number(SharedSchema::Version);
            if (done.isEmpty())
                m_out << QStringLiteral("The shared journal is up to date (schema %1); nothing "
                                        "was changed.\n")
                             .arg(schema);
            else
                m_out << QStringLiteral("The shared journal is ready (schema %1). Record each "
                                        "site's login with --shared-add-site LOGIN SITE and the "
                                        "office's with --shared-add-reader LOGIN.\n")
                             .arg(schema);
            m_out.flush();
            return {AllAnswered, warnings.join(QStringLiteral("; "))};
        },
        BadInput, PortFailed);
}

void SharedRun::addLogin() {
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            QString said;
            const bool site = !m_options.addSiteLogin.isEmpty();
            if (!shared.open() ||
                !(site ? shared.addSite(m_options.addSiteLogin, m_options.addSiteName, said)
                       : shared.addReader(m_options.addReaderLogin, said)))
                return {PortFailed, shared.problem()};
            m_out << said << '\n';
            m_out.flush();
            return {AllAnswered, {}};
        },
        BadInput, PortFailed);
}

void SharedRun::retire() {
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            QString said;
            if (!shared.open())
                return {PortFailed, shared.problem()};
            switch (shared.retire(m_options.retireSite, m_options.device, said)) {
            case SharedJournal::Retiring::Failed:
                return {PortFailed, shared.problem()};
            case SharedJournal::Retiring::Unknown:
                return {BadInput, terminalText(said)};
            case SharedJournal::Retiring::Done:
            case SharedJournal::Retiring::Already:
                break;
            }
            m_out << terminalText(said) << '\n';
            m_out.flush();
            return {AllAnswered, {}};
        },
        BadInput, PortFailed);
}

void SharedRun::history() {
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            if (!shared.open(true))
                return {PortFailed, shared.problem()};
            if (m_options.csv) {
                m_out.setGenerateByteOrderMark(true);
                m_out << "site," << QString::fromUtf8(historyCsvHeader());
            }
            // A site's role may write anything into its records: every field is shown escaped.
            const bool ok = shared.history(
                m_options.historyLimit, m_options.site,
                [this](const QString &site, const JournalRecord &record, QByteArrayView rows) {
                    if (m_options.csv)
                        m_out << QString::fromUtf8(csvCell(site) + ',' + historyCsv(record, rows));
                    else if (m_options.json)
                        m_out << QString::fromUtf8("{\"site\":" + jsonString(site) + ',' +
                                                   historyJson(record, rows).mid(1))
                              << '\n';
                    else
                        m_out << terminalText(site).leftJustified(12) << "  " << historyLine(record)
                              << '\n';
                });
            m_out.flush();
            return ok ? Outcome{AllAnswered, {}} : Outcome{PortFailed, shared.problem()};
        },
        BadInput, PortFailed);
}

void SharedRun::report() {
    ReportOptions options;
    options.days = m_options.reportDays;
    options.expectEverySeconds = m_options.expectEverySeconds;
    run(
        [this, options](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            // A fleet that cannot be seen gets a page that says so, never none.
            m_page = shared.open(true)
                         ? writeSharedReport(shared, m_options.site, options)
                         : blindSharedReport(m_options.site, options, shared.problem());
            return {AllAnswered, {}};
        },
        BadInput, PortFailed);
    m_then = [this] {
        const Outcome outcome = writePage(m_page);
        if (!outcome.problem.isEmpty())
            m_error(outcome.problem);
        return outcome.status;
    };
    // Cut off: the problem was said; only a page that could not be written is said too.
    m_blind = [this, options](const QString &problem) {
        const Outcome outcome = writePage(blindSharedReport(m_options.site, options, problem));
        if (outcome.status == BadInput)
            m_error(outcome.problem);
        return outcome.status;
    };
}

SharedRun::Outcome SharedRun::writePage(const ReportPage &page) {
    if (m_options.reportPath == QLatin1String("-")) {
        m_out << QString::fromUtf8(page.html);
        m_out.flush();
    } else {
        try {
            ReportFile::write(m_options.reportPath, page.html);
        } catch (const Failure &failure) {
            return {BadInput, failure.text()};
        }
    }
    return {page.blind ? PortFailed : AllAnswered, page.reading.problem};
}

void SharedRun::verify() {
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            QString problem;
            const std::optional<SealKey> key =
                readVerificationKey(m_options.verifyKeyPath, problem);
            if (!key)
                return {BadInput, problem};
            SharedJournal shared(config);
            if (!shared.open(true))
                return {PortFailed, shared.problem()};
            const int status =
                SealCommands::print(shared.verifySeals(m_options.site, *key), m_options, m_out,
                                    [&problem](const QString &text) { problem = text; });
            return {status, problem};
        },
        BadInput, PortFailed);
}

void SharedRun::check(Judge judge, std::function<int(const QString &)> blind) {
    m_then = [this, judge = std::move(judge)] { return judge(m_states, m_retired); };
    m_blind = std::move(blind);
    run(
        [this](const SharedJournalConfig &config) -> Outcome {
            SharedJournal shared(config);
            if (!shared.open(true) || !shared.deviceStates(m_options.site, m_states) ||
                !shared.retirements(m_options.site, m_retired))
                return {PortFailed, shared.problem()};
            return {AllAnswered, {}};
        },
        BadInput, PortFailed);
}

void SharedRun::run(std::function<Outcome(const SharedJournalConfig &)> work, int badConfigStatus,
                    int cutOffStatus, int cutOffSeconds) {
    m_thread =
        QThread::create([this, path = configPath(), work = std::move(work), badConfigStatus] {
            QString problem;
            const std::optional<SharedJournalConfig> config = readConfig(path, problem);
            m_outcome = config ? work(*config) : Outcome{badConfigStatus, problem};
        });
    if (cutOffSeconds <= 0)
        cutOffSeconds = m_cutOffSeconds;
    m_cutOff = new QTimer(this);
    m_cutOff->setSingleShot(true);
    connect(m_cutOff, &QTimer::timeout, this,
            [this, cutOffStatus, cutOffSeconds] { cutOff(cutOffStatus, cutOffSeconds); });
    connect(m_thread, &QThread::finished, this, [this] {
        m_cutOff->stop();
        m_thread->deleteLater();
        m_thread = nullptr;
        if (m_cutOffDone)
            return; // what the cut-off started ends the program
        if (!m_outcome.problem.isEmpty())
            m_error(m_outcome.problem);
        int status = m_outcome.status;
        if (m_then && status == AllAnswered)
            status = std::exchange(m_then, nullptr)();
        else if (m_blind && status == PortFailed)
            status = std::exchange(m_blind, nullptr)(m_outcome.problem);
        if (status >= 0)
            Q_EMIT finished(status);
    });
    m_cutOff->start(cutOffSeconds * 1000);
    m_thread->start();
}

void SharedRun::cutOff(int status, int seconds) {
    QString problem = QStringLiteral("the shared journal did not answer within %1 s").arg(seconds);
    if (m_forwarding)
        problem += QStringLiteral("; what it took stays there, and what it did not waits for the "
                                  "next forward");
    m_error(problem);
    m_cutOffDone = true;
    m_leftStatus = status;
    m_then = nullptr;
    // A fleet that cannot be seen is told as when it cannot be reached: an alert, a page.
    if (m_blind)
        status = std::exchange(m_blind, nullptr)(problem);
    if (status >= 0)
        abandon(status);
}

void SharedRun::abandon(int status) {
    if (!m_thread || m_thread->isFinished())
        return;
    // The thread may be inside a network call that nothing can interrupt: the process ends
    // around it. Standard output is the thread's; only standard error is flushed.
    std::fflush(stderr);
    ::_exit(status);
}
