#include "sendprogram.h"

#include "alertcommand.h"
#include "boardlink.h"
#include "bytetext.h"
#include "configstore.h"
#include "defaultpages.h"
#include "failure.h"
#include "folderfigures.h"
#include "framebuilder.h"
#include "jobjournal.h"
#include "jobrunner.h"
#include "portmapfile.h"
#include "receiveline.h"
#include "report.h"
#include "reportfile.h"
#include "rowfill.h"
#include "signalwatcher.h"
#include "wirelog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

// A text value as --show-values prints it on a line of fields: quoted when it holds a space, a
// quote or nothing, so that each field reads back.
QString shownText(const QString &text) {
    const QString escaped = bytesAsText(text.toLatin1(), ByteStyle::Escapes);
    if (!text.isEmpty() && std::none_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.isSpace() || c == QLatin1Char('"');
        }))
        return escaped;
    return QStringLiteral("\"%1\"").arg(
        QString(escaped).replace(QLatin1Char('"'), QLatin1String("\\\"")));
}

// A journal named with --journal may be anyone's file: never moved aside, even when damaged.
JournalOptions journalOptions(const SendOptions &options) {
    JournalOptions journal;
    journal.moveAsideDamaged = options.journalPath.isEmpty();
    return journal;
}

} // namespace

SendProgram::SendProgram(const SendOptions &options, QTextStream &out, QTextStream &err,
                         QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_runner(new JobRunner(this))
    , m_journal(new JobJournal(options.journalPath.isEmpty()
                                   ? Journal::defaultPath(options.configPath)
                                   : options.journalPath,
                               QStringLiteral("send"), journalOptions(options), this))
    , m_showProgress(!options.quiet && !options.verbose && ::isatty(STDERR_FILENO)) {
    // Watched before any input is read. SIGHUP: the terminal or the session went away.
    auto *const watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP}, this);
    connect(watcher, &SignalWatcher::signalled, this, &SendProgram::signalled);
}

SendProgram::~SendProgram() {
    delete m_runner; // a job still running ends and is recorded while the journal is here
}

void SendProgram::start() {
    // A job that ends at once (its port refused) has said its status already.
    if (const int status = run(); status >= 0)
        Q_EMIT finished(status);
}

// The exit status of what was done at once, or -1 while a job runs.
int SendProgram::run() {
    switch (m_options.mode) {
    case SendOptions::Mode::Help:
        m_out << m_options.helpText;
        return AllAnswered;
    case SendOptions::Mode::Version:
        m_out << "display-send " << QCoreApplication::applicationVersion() << '\n';
        return AllAnswered;
    case SendOptions::Mode::Upload:
        return withSources([this] { return upload(false); });
    case SendOptions::Mode::DryRun:
        return withSources([this] { return upload(true); });
    case SendOptions::Mode::ShowValues:
        return withSources([this] { return showValues(); });
    case SendOptions::Mode::Test:
        return test();
    case SendOptions::Mode::Monitor:
        return monitor();
    case SendOptions::Mode::History:
        return history();
    case SendOptions::Mode::Init:
        return init();
    case SendOptions::Mode::Check:
        return check();
    case SendOptions::Mode::Report:
        return report();
    }
    return BadInput;
}

int SendProgram::init() {
    try {
        ConfigStore(m_options.configPath).create(1, DefaultPages::pages());
    } catch (const Failure &failure) {
        error(failure.text());
        return BadInput;
    }
    m_out << QStringLiteral("Wrote %1 with the default pages and port 1.\n")
                 .arg(m_options.configPath);
    return AllAnswered;
}

int SendProgram::withSources(std::function<int()> next) {
    auto *const figures = new FolderFigures(
        FigureFiles{
            .configPath = m_options.configPath,
            .sourcesPath = m_options.sourcesPath,
            .valueFiles = m_options.valueFiles,
            .assignments = m_options.assignments,
            .missingText = m_options.missingText,
        },
        this);
    m_values.setMissingText(m_options.missingText);
    if (!figures->any()) {
        delete figures;
        m_withoutFigures = true;
        return next();
    }
    // An analyser on a serial line named by its COM number: the port list and ports.conf say
    // which device, as they do for the boards.
    figures->setComPortResolver(
        PortMapFile::serialLines(PortMapFile::loadFor(m_options.configPath).map));
    connect(figures, &FolderFigures::finished, this, [this, figures, next = std::move(next)] {
        figures->deleteLater();
        m_sourcesProblems = figures->problems();
        for (const QString &problem : figures->problems() + figures->notes())
            error(problem);
        m_values = figures->values();
        // A signal while the sources were read ends the run before anything is sent.
        int status = -1;
        if (m_signal) {
            status = SignalBase + m_signal;
        } else if (!figures->failure().isEmpty()) {
            error(figures->failure());
            status = BadInput;
        } else {
            status = next();
        }
        if (status >= 0)
            Q_EMIT finished(status);
    });
    figures->start();
    return -1;
}

void SendProgram::sayUnavailable(const FieldValues &values) {
    m_unavailable = values.unavailableNames();
    const QList<FieldValues::Line> lines = values.lines();
    for (const QString &name : std::as_const(m_unavailable)) {
        const auto line = std::find_if(lines.cbegin(), lines.cend(),
                                       [&name](const auto &line) { return line.name == name; });
        const QString problem = line != lines.cend()
                                    ? line->problem
                                    : QStringLiteral("no source gave a current reading");
        // A bad section's reason was said with the sources file's other bad lines.
        error(m_sourcesProblems.contains(problem)
                  ? QStringLiteral("%1 unavailable: its section is bad (above)").arg(name)
                  : QStringLiteral("%1 unavailable: %2").arg(name, problem));
    }
}

PageSet SendProgram::rowsToSend(qint16 &portNumber) {
    PageSet pages;
    ConfigStore(m_options.configPath).load(portNumber, pages);
    if (m_withoutFigures) {
        if (const QString row = FolderFigures::rowWithoutFigures(pages); !row.isEmpty())
            throw Failure(row);
    }
    FieldValues values = m_values;
    pages = fillRows(pages, values, QDateTime::currentDateTime());
    sayUnavailable(values);
    return pages;
}

int SendProgram::showValues() {
    const FieldValues &values = m_values;
    QList<FieldValues::Line> lines = values.lines();
    if (values.sourcesConfigured() && !values.value(QStringLiteral("updated"))) {
        const std::optional<QDateTime> updated = values.updated({});
        lines.append({QStringLiteral("updated"),
                      {},
                      updated ? Reading::State::Ok : Reading::State::Failed,
                      updated.value_or(QDateTime()),
                      QStringLiteral("the oldest reading in use"),
                      {}});
    }
    const auto timeText = [](const QDateTime &time) {
        return time.toUTC().toString(Qt::ISODateWithMs);
    };
    for (const FieldValues::Line &line : std::as_const(lines)) {
        if (m_options.json) {
            QJsonObject object{
                {"name", line.name}, {"state", stateName(line.state)}, {"source", line.source}};
            object.insert("value", !line.value ? QJsonValue()
                                   : std::holds_alternative<double>(*line.value)
                                       ? QJsonValue(std::get<double>(*line.value))
                                       : QJsonValue(std::get<QString>(*line.value)));
            object.insert("time",
                          line.time.isValid() ? QJsonValue(timeText(line.time)) : QJsonValue());
            m_out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact))
                  << '\n';
            continue;
        }
        QString value = QStringLiteral("-");
        if (line.value && std::holds_alternative<double>(*line.value))
            value =
                QString::number(std::get<double>(*line.value), 'g', QLocale::FloatingPointShortest);
        else if (line.value)
            value = shownText(std::get<QString>(*line.value));
        m_out << line.name << ' ' << value << ' ' << stateName(line.state) << ' '
              << (line.time.isValid() ? timeText(line.time) : QStringLiteral("-")) << ' '
              << line.source << '\n';
    }
    m_out.flush();
    sayUnavailable(values);
    return m_unavailable.isEmpty() ? AllAnswered : ValuesUnavailable;
}

std::optional<PortTarget> SendProgram::portFor(std::optional<qint16> fromFile) {
    if (!m_options.device.isEmpty())
        return PortTarget::device(m_options.device);
    if (m_options.portNumber)
        return mappedPort(*m_options.portNumber);
    // The same numbers as --port takes: any other is a mistake, never a port to open.
    if (fromFile && *fromFile >= 1 && *fromFile <= Settings::PortCount)
        return mappedPort(*fromFile);
    error(QStringLiteral("%1, line 1: port %2: %3; give --port or --device")
              .arg(m_options.configPath, QString::number(fromFile.value_or(0)),
                   SendCommandLine::portNumberProblem()));
    return std::nullopt;
}

std::optional<PortTarget> SendProgram::mappedPort(int portNumber) {
    if (const QString problem = PortMapFile::besideProblem(m_options.configPath);
        !problem.isEmpty()) {
        error(problem);
        return std::nullopt;
    }
    const PortMapLoad loaded = PortMapFile::loadFor(m_options.configPath);
    const PortTarget port = PortTarget::number(portNumber, loaded.map);
    for (const QString &problem : loaded.problems) {
        if (problem != port.problem())
            error(problem);
    }
    if (!port.problem().isEmpty()) {
        error(QStringLiteral("cannot use COM %1: %2")
                  .arg(QString::number(portNumber), port.problem()));
        return std::nullopt;
    }
    return port;
}

int SendProgram::upload(bool dryRun) {
    qint16 portNumber = 0;
    PageSet pages;
    try {
        pages = rowsToSend(portNumber);
    } catch (const Failure &failure) {
        error(failure.text());
        return BadInput;
    }
    const int delaySeconds = m_options.delaySeconds;
    UploadRequest request{
        .port = {}, // a dry run opens none
        .rowText = [pages](int index) { return pages.row(index); },
        .delaySeconds = [delaySeconds] { return delaySeconds; },
    };

    if (dryRun) {
        for (int n = 0; n < UploadFrameCount; ++n)
            m_out << wireText(request.frame(n)) << '\n';
        return m_unavailable.isEmpty() ? AllAnswered : ValuesUnavailable;
    }

    const std::optional<PortTarget> port = portFor(portNumber);
    if (!port)
        return BadInput;
    m_framesTotal = UploadFrameCount;
    request.port = *port;
    return runJob(
        m_journal->upload(*m_runner, request, *this,
                          JobNotes{.boards = m_options.boards, .unavailable = m_unavailable}),
        port);
}

int SendProgram::runJob(Job *job, std::optional<PortTarget> verdictPort) {
    m_job = job;
    connect(job, &Job::finished, this, [this, verdictPort](JobOutcome outcome) {
        m_job = nullptr;
        sayJournalProblem();
        int status = m_signal                          ? SignalBase + m_signal
                     : outcome == JobOutcome::Aborted  ? AllAnswered // the monitor's time was up
                     : outcome != JobOutcome::Complete ? PortFailed
                                                       : boardsVerdict(*verdictPort);
        // A silent board or a failed port says more than a missing figure.
        if (status == AllAnswered && !m_unavailable.isEmpty())
            status = ValuesUnavailable;
        m_status = status;
        if (m_signal || !alertOnChange())
            Q_EMIT finished(status);
    });
    job->start();
    return -1;
}

std::optional<PortTarget> SendProgram::portWithoutRows() {
    std::optional<qint16> fromFile;
    // The file is needed only for its port number, unless it was named on purpose.
    if (m_options.configGiven || (!m_options.portNumber && m_options.device.isEmpty())) {
        qint16 portNumber = 0;
        PageSet pages;
        try {
            ConfigStore(m_options.configPath).load(portNumber, pages);
        } catch (const Failure &failure) {
            error(failure.text());
            return std::nullopt;
        }
        fromFile = portNumber;
    }
    return portFor(fromFile);
}

int SendProgram::test() {
    const std::optional<PortTarget> port = portWithoutRows();
    if (!port)
        return BadInput;
    m_framesTotal = ProbeFrameCount;
    return runJob(m_journal->probe(*m_runner, *port, *this,
                                   JobNotes{.boards = m_options.boards, .unavailable = {}}),
                  port);
}

int SendProgram::monitor() {
    const std::optional<PortTarget> port = portWithoutRows();
    if (!port)
        return BadInput;
    Job *const job = m_runner->monitor(*port, *this);
    if (m_options.seconds)
        QTimer::singleShot(qRound(*m_options.seconds * 1000), job, &Job::cancel);
    return runJob(job, std::nullopt);
}

int SendProgram::history() {
    // Read-only: the journal is never created, moved or rewritten by a look at it, and records
    // are printed as they are read, so memory stays flat however many are asked for.
    const QString path = m_journal->journal().path();
    if (m_options.csv) {
        // The stream writes the byte order mark itself, and would drop one given as text.
        m_out.setGenerateByteOrderMark(true);
        m_out << QString::fromUtf8(historyCsvHeader());
    }
    const JournalReading reading =
        readJournal(path, m_options.historyLimit, m_options.json || m_options.csv,
                    [this](const JournalRecord &record, QByteArrayView storedRows) {
                        if (m_options.csv)
                            m_out << QString::fromUtf8(historyCsv(record, storedRows));
                        else if (m_options.json)
                            m_out << QString::fromUtf8(historyJson(record, storedRows)) << '\n';
                        else
                            m_out << historyLine(record) << '\n';
                    });
    m_out.flush();
    if (!reading.exists) {
        error(QStringLiteral("no job journal at %1 yet").arg(path));
        return AllAnswered;
    }
    if (!reading.problem.isEmpty()) {
        error(reading.problem);
        // Something the operator asked for could not be read: records shown or not, say so.
        if (reading.read == 0)
            return BadInput;
    }
    return AllAnswered;
}

int SendProgram::check() {
    const std::optional<PortTarget> port = portWithoutRows();
    if (!port)
        return BadInput;
    const QString path = m_journal->journal().path();
    const JournalLookup complete = readNewest(path, QStringLiteral("upload"), port->portNumber(),
                                              port->devicePath(), QStringLiteral("complete"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 allowedMs = m_options.expectEverySeconds * 1500;
    const std::optional<QDateTime> last =
        complete.record ? complete.record->finished : std::nullopt;
    if (complete.problem.isEmpty() && last && last->msecsTo(now) <= allowedMs) {
        if (!m_options.quiet)
            m_out << "last complete upload to " << port->label() << " at "
                  << last->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) << '\n';
        return AllAnswered;
    }
    QString said;
    if (!complete.problem.isEmpty())
        said = complete.problem;
    else if (last)
        said = QStringLiteral("no complete upload to %1 since %2, more than %3 min ago")
                   .arg(port->label(),
                        last->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                        QString::number(double(allowedMs) / 60000.0, 'f', 1));
    else
        said = QStringLiteral("no complete upload to %1 in the journal %2")
                   .arg(port->label(), QDir::toNativeSeparators(path));
    error(said);
    if (m_options.alertCommand.isEmpty())
        return SomeDidNotAnswer;
    // What the newest upload did, finished or not, tells why none completed.
    const JournalLookup newest =
        readNewest(path, QStringLiteral("upload"), port->portNumber(), port->devicePath());
    JournalRecord stale;
    stale.job = QStringLiteral("upload");
    stale.port = port->portNumber();
    stale.device = port->devicePath();
    stale.outcome = QStringLiteral("stale");
    stale.error = said;
    m_status = SomeDidNotAnswer;
    runAlert(stale, newest.record ? newest.record->outcome.value_or(QStringLiteral("unfinished"))
                                  : QString());
    return -1;
}

bool SendProgram::alertOnChange() {
    if (m_options.alertCommand.isEmpty() || m_options.mode == SendOptions::Mode::Monitor)
        return false;
    Journal &journal = m_journal->journal();
    const qint64 id = m_journal->lastEndedId();
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

bool SendProgram::alertUnrecorded() {
    // The journal could not keep the job: with nothing to compare it with, anything but a job
    // that went well is said, and the alert says why the journal could not keep it.
    std::optional<JournalRecord> ended = m_journal->lastEnded();
    sayJournalProblem();
    if (!ended || outcomeChanges(std::nullopt, *ended).isEmpty())
        return false;
    QStringList why = m_journalProblem.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (ended->error)
        why.prepend(*ended->error);
    ended->error = why.join(QLatin1String("; "));
    runAlert(*ended, QString());
    return true;
}

void SendProgram::runAlert(const JournalRecord &record, const QString &previousOutcome) {
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
        {"DISPLAY_JOURNAL", QDir::toNativeSeparators(m_journal->journal().path())},
    };
    for (const auto &[name, value] : values)
        environment.insert(QLatin1String(name), value);
    m_alert = new AlertCommand(m_options.alertCommand, m_options.alertTimeoutMs, this);
    connect(m_alert, &AlertCommand::ended, this, [this](const QString &failure) {
        if (!failure.isEmpty())
            error(failure);
        m_alert->deleteLater();
        m_alert = nullptr;
        finishWith(m_signal ? SignalBase + m_signal : m_status);
    });
    m_alert->start(environment);
}

void SendProgram::finishWith(int status) {
    Q_EMIT finished(status);
}

int SendProgram::report() {
    // Read-only, as --history: the page is written whole, or not at all when nothing was read.
    const QString path = m_journal->journal().path();
    ReportOptions options;
    options.days = m_options.reportDays;
    options.expectEverySeconds = m_options.expectEverySeconds;
    const ReportPage page = writeReport(path, options);
    if (!page.reading.exists) {
        error(QStringLiteral("no job journal at %1").arg(path));
        return BadInput;
    }
    if (!page.reading.problem.isEmpty())
        error(page.reading.problem);
    if (page.html.isEmpty())
        return BadInput;
    if (m_options.reportPath == QLatin1String("-")) {
        m_out << QString::fromUtf8(page.html);
        m_out.flush();
        return AllAnswered;
    }
    try {
        ReportFile::write(m_options.reportPath, page.html);
    } catch (const Failure &failure) {
        error(failure.text());
        return BadInput;
    }
    return AllAnswered;
}

void SendProgram::sayJournalProblem() {
    const QString problem = m_journal->takeProblem();
    if (problem.isEmpty())
        return;
    m_journalProblem = problem;
    for (const QString &line : problem.split(QLatin1Char('\n')))
        error(line);
}

int SendProgram::boardsVerdict(const PortTarget &port) {
    int answered = 0;
    for (const int board : m_options.boards) {
        const bool yes = m_answered.at(board).value_or(false);
        answered += yes;
        if (!m_options.quiet)
            m_out << "board " << board << (yes ? ": answered" : ": no answer") << '\n';
    }
    if (!m_options.quiet)
        m_out << answered << " of " << m_options.boards.size() << " boards answered; "
              << m_framesExchanged << " of " << m_framesTotal << " frames sent to " << port.label()
              << '\n';
    return answered == m_options.boards.size() ? AllAnswered : SomeDidNotAnswer;
}

void SendProgram::error(const QString &text) {
    if (m_showProgress && m_framesExchanged > 0)
        m_err << '\n';
    // Texts from files, the journal and the network may hold anything a terminal acts on.
    m_err << "display-send: " << terminalText(text) << '\n';
    m_err.flush();
}

void SendProgram::signalled(int number) {
    if (!m_signal)
        m_signal = number;
    if (m_job)
        m_job->cancel();
    if (m_alert)
        m_alert->stop();
}

void SendProgram::exchanged(const Exchanged &exchange) {
    ++m_framesExchanged;
    if (exchange.judgement)
        m_answered.at(exchange.judgement->address) = exchange.judgement->answered;
    if (m_showProgress) {
        m_err << "\rframe " << m_framesExchanged << " of " << m_framesTotal;
        if (m_framesExchanged == m_framesTotal)
            m_err << '\n';
        m_err.flush();
    }
}

void SendProgram::received(const QByteArray &bytes, qint64 dropped) {
    if (bytes.isEmpty() || m_options.quiet)
        return;
    m_out << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << ' '
          << renderReceiveLine(bytes, int(bytes.size()));
    if (dropped > 0)
        m_out << " and " << dropped << " more bytes, dropped";
    m_out << '\n';
    m_out.flush();
}

void SendProgram::failed(const QString &text) {
    error(text);
}
