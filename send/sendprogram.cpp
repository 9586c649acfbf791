#include "sendprogram.h"

#include "bytetext.h"
#include "configstore.h"
#include "defaultpages.h"
#include "failure.h"
#include "filledrows.h"
#include "folderfigures.h"
#include "jobjournal.h"
#include "journalexport.h"
#include "portmapfile.h"
#include "regularfile.h"
#include "sealcommands.h"
#include "sendalerts.h"
#include "sendjobs.h"
#include "sendlisting.h"
#include "sharedrun.h"
#include "signalwatcher.h"
#include "uploadrequest.h"

#include <QCoreApplication>
#include <QDateTime>

#include <csignal>

SendProgram::SendProgram(const SendOptions &options, QTextStream &out, QTextStream &err,
                         QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    // A journal named with --journal may be anyone's file: never moved aside, even when damaged.
    , m_journal(
          new JobJournal(options.journalPath.isEmpty() ? Journal::defaultPath(options.configPath)
                                                       : options.journalPath,
                         QStringLiteral("send"),
                         JournalOptions{.moveAsideDamaged = options.journalPath.isEmpty()}, this))
    , m_jobs(new SendJobs(
          m_options, *m_journal, m_out, m_err, [this](const QString &text) { error(text); }, this))
    , m_alerts(new SendAlerts(
          m_options, *m_journal, m_out, [this](const QString &text) { error(text); }, this))
    , m_shared(new SharedRun(
          m_options, m_out, [this](const QString &text) { error(text); }, this)) {
    connect(m_jobs, &SendJobs::ended, this, [this](int status) {
        m_status = m_signal ? SignalBase + m_signal : status;
        if (m_signal || !m_alerts->afterJob())
            Q_EMIT finished(m_status);
    });
    connect(m_shared, &SharedRun::finished, this, &SendProgram::finished);
    connect(m_alerts, &SendAlerts::ended, this,
            [this] { Q_EMIT finished(m_signal ? SignalBase + m_signal : m_status); });
    // Watched before any input is read. SIGHUP: the terminal or the session went away.
    auto *const watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP}, this);
    connect(watcher, &SignalWatcher::signalled, this, &SendProgram::signalled);
}

SendProgram::~SendProgram() {
    delete m_jobs; // a job still running ends and is recorded while the journal is here
}

QString SendProgram::journalPath() const {
    return m_journal->journal().path();
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
        if (m_options.shared) {
            m_shared->history();
            return -1;
        }
        return exports().history(m_journal->journal().path());
    case SendOptions::Mode::Forward:
        m_shared->forward(m_journal->journal().path());
        return -1;
    case SendOptions::Mode::SharedInit:
        m_shared->initialise();
        return -1;
    case SendOptions::Mode::SharedAdd:
        m_shared->addLogin();
        return -1;
    case SendOptions::Mode::SharedRetire:
        m_shared->retire();
        return -1;
    case SendOptions::Mode::Init:
        return init();
    case SendOptions::Mode::SealInit:
        return SealCommands::init(m_journal->journal(), m_options, m_out,
                                  [this](const QString &text) { error(text); });
    case SendOptions::Mode::SealAdvance:
        return SealCommands::advance(m_journal->journal(),
                                     [this](const QString &text) { error(text); });
    case SendOptions::Mode::Verify:
        if (m_options.shared) {
            m_shared->verify();
            return -1;
        }
        return SealCommands::verify(m_journal->journal().path(), m_options, m_out,
                                    [this](const QString &text) { error(text); });
    case SendOptions::Mode::Check:
        if (m_options.shared) {
            m_status = SomeDidNotAnswer; // once the alert commands, if any run, have ended
            m_shared->check(
                [this](const QList<SharedJournal::DeviceState> &states,
                       const QList<SharedJournal::Retirement> &retired) {
                    return m_alerts->checkShared(states, retired, m_shared->configPath());
                },
                [this](const QString &problem) {
                    m_status = PortFailed; // once the alert command has ended
                    return m_alerts->checkBlind(problem, m_shared->configPath());
                });
            return -1;
        }
        return check();
    case SendOptions::Mode::Report:
        if (m_options.shared) {
            m_shared->report();
            return -1;
        }
        return exports().report(m_journal->journal().path());
    }
    return BadInput;
}

int SendProgram::check() {
    const std::optional<PortTarget> port = portWithoutRows();
    if (!port)
        return BadInput;
    m_status = SomeDidNotAnswer; // once the alert command, if one runs, has ended
    return m_alerts->check(*port);
}

JournalExport SendProgram::exports() {
    return JournalExport(m_options, m_out, [this](const QString &text) { error(text); });
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
    // Every unavailable name has its line in lines(), and both are sorted by name.
    for (const FieldValues::Line &line : values.lines()) {
        if (!m_unavailable.contains(line.name))
            continue;
        // A bad section's reason was said with the sources file's other bad lines.
        error(m_sourcesProblems.contains(line.problem)
                  ? QStringLiteral("%1 unavailable: its section is bad (above)").arg(line.name)
                  : QStringLiteral("%1 unavailable: %2").arg(line.name, line.problem));
    }
}

// The values as the rows of display.cfg leave them, as the console's preview lists them: a value
// that a row refuses is unavailable. Without a display.cfg, as the sources give them.
int SendProgram::showValues() {
    PageSet pages;
    if (!RegularFile::absent(m_options.configPath)) {
        try {
            qint16 portNumber = 0;
            ConfigStore(m_options.configPath).load(portNumber, pages);
        } catch (const Failure &failure) {
            error(failure.text());
            return BadInput;
        }
    }
    const FilledRows fill(pages.rows(), m_values, QDateTime::currentDateTime());
    SendListing::values(fill.values().listedLines(), m_options.json, m_out);
    sayUnavailable(fill.values());
    return m_unavailable.isEmpty() ? AllAnswered : ValuesUnavailable;
}

std::shared_ptr<const FilledRows> SendProgram::rowsToSend(qint16 &portNumber) {
    PageSet pages;
    ConfigStore(m_options.configPath).load(portNumber, pages);
    auto fill =
        std::make_shared<const FilledRows>(pages.rows(), m_values, QDateTime::currentDateTime());
    if (const std::optional<FilledRows::Unfilled> &unfilled = fill->firstUnfilled()) {
        if (m_values.given())
            throw Failure(fill->failure());
        throw Failure(
            QStringLiteral("%1 holds a field (\"%2\"), but there is no sources.conf, no "
                           "values.json and no --values or --set to fill it from; a "
                           "brace itself is written {{")
                .arg(PageSet::rowLabel(unfilled->index), pages.row(unfilled->index).left(40)));
    }
    sayUnavailable(fill->values());
    return fill;
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
    std::shared_ptr<const FilledRows> fill;
    try {
        fill = rowsToSend(portNumber);
    } catch (const Failure &failure) {
        error(failure.text());
        return BadInput;
    }
    const int delaySeconds = m_options.delaySeconds;
    UploadRequest request{
        .port = {}, // a dry run opens none
        .rowText = [fill](int index) { return fill->row(index); },
        .delaySeconds = [delaySeconds] { return delaySeconds; },
    };

    if (dryRun) {
        SendListing::frames(request, m_out);
        return m_unavailable.isEmpty() ? AllAnswered : ValuesUnavailable;
    }

    const std::optional<PortTarget> port = portFor(portNumber);
    if (!port)
        return BadInput;
    request.port = *port;
    return m_jobs->upload(request, m_unavailable);
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
    return port ? m_jobs->test(*port) : BadInput;
}

int SendProgram::monitor() {
    const std::optional<PortTarget> port = portWithoutRows();
    return port ? m_jobs->monitor(*port) : BadInput;
}

void SendProgram::error(const QString &text) {
    if (m_jobs->framesCounted())
        m_err << '\n';
    // Texts from files, the journal and the network may hold anything a terminal acts on.
    m_err << "display-send: " << terminalText(text) << '\n';
    m_err.flush();
}

void SendProgram::signalled(int number) {
    if (!m_signal)
        m_signal = number;
    m_jobs->cancel();
    m_alerts->stop();
    m_shared->abandon(SignalBase + number);
    Q_EMIT interrupted(SignalBase + number);
}
