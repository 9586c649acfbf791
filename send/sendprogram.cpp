#include "sendprogram.h"

#include "boardlink.h"
#include "configstore.h"
#include "failure.h"
#include "framebuilder.h"
#include "jobjournal.h"
#include "jobrunner.h"
#include "portmapfile.h"
#include "receiveline.h"
#include "report.h"
#include "rowfill.h"
#include "signalwatcher.h"
#include "wirelog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

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
        return upload(false);
    case SendOptions::Mode::DryRun:
        return upload(true);
    case SendOptions::Mode::Test:
        return test();
    case SendOptions::Mode::Monitor:
        return monitor();
    case SendOptions::Mode::History:
        return history();
    case SendOptions::Mode::Report:
        return report();
    }
    return BadInput;
}

PageSet SendProgram::rowsToSend(qint16 &portNumber) const {
    PageSet pages;
    ConfigStore(m_options.configPath).load(portNumber, pages);
    if (!m_options.fillsRows())
        return pages;
    FieldValues values;
    for (const QString &file : m_options.valueFiles)
        values.readJsonFile(file);
    for (const QString &assignment : m_options.assignments)
        values.set(assignment);
    return fillRows(pages, values, QDateTime::currentDateTime());
}

std::optional<PortTarget> SendProgram::portFor(std::optional<qint16> fromFile) {
    if (!m_options.device.isEmpty())
        return PortTarget::device(m_options.device);
    if (m_options.portNumber)
        return mappedPort(*m_options.portNumber);
    if (fromFile && *fromFile >= 1)
        return mappedPort(*fromFile);
    error(QStringLiteral("%1 selects no port (%2); give --port or --device")
              .arg(m_options.configPath, QString::number(fromFile.value_or(0))));
    return std::nullopt;
}

std::optional<PortTarget> SendProgram::mappedPort(int portNumber) {
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

    if (dryRun) {
        m_out << wireText(FrameBuilder::bracketFrame()) << '\n'
              << wireText(FrameBuilder::bracketFrame()) << '\n';
        for (int page = 0; page < PageSet::PageCount; ++page) {
            for (int k = 0; k < PageSet::PairsPerPage; ++k)
                m_out << wireText(FrameBuilder::rowPairFrame(page, k, pages)) << '\n';
        }
        m_out << wireText(FrameBuilder::pageDelayFrame(delaySeconds)) << '\n'
              << wireText(FrameBuilder::bracketFrame()) << '\n';
        return AllAnswered;
    }

    const std::optional<PortTarget> port = portFor(portNumber);
    if (!port)
        return BadInput;
    m_framesTotal = UploadFrameCount;
    const UploadRequest request{
        .port = *port,
        .rowText = [pages](int index) { return pages.row(index); },
        .delaySeconds = [delaySeconds] { return delaySeconds; },
    };
    return runJob(m_journal->upload(*m_runner, request, *this), port);
}

int SendProgram::runJob(Job *job, std::optional<PortTarget> verdictPort) {
    m_job = job;
    connect(job, &Job::finished, this, [this, verdictPort](JobOutcome outcome) {
        m_job = nullptr;
        sayJournalProblem();
        Q_EMIT finished(m_signal                          ? SignalBase + m_signal
                        : outcome == JobOutcome::Aborted  ? AllAnswered // the monitor's time was up
                        : outcome != JobOutcome::Complete ? PortFailed
                                                          : boardsVerdict(*verdictPort));
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
    return runJob(m_journal->probe(*m_runner, *port, *this), port);
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
    const JournalReading reading =
        readJournal(path, m_options.historyLimit, m_options.json,
                    [this](const JournalRecord &record, QByteArrayView storedRows) {
                        if (m_options.json)
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
    QSaveFile file(m_options.reportPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(page.html) != page.html.size() ||
        !file.commit()) {
        error(QStringLiteral("cannot write %1: %2").arg(m_options.reportPath, file.errorString()));
        return BadInput;
    }
    return AllAnswered;
}

void SendProgram::sayJournalProblem() {
    const QString problem = m_journal->takeProblem();
    if (problem.isEmpty())
        return;
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
    m_err << "display-send: " << text << '\n';
    m_err.flush();
}

void SendProgram::signalled(int number) {
    if (!m_signal)
        m_signal = number;
    if (m_job)
        m_job->cancel();
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

void SendProgram::received(const QByteArray &bytes) {
    if (bytes.isEmpty() || m_options.quiet)
        return;
    m_out << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << ' '
          << renderReceiveLine(bytes, int(bytes.size())) << '\n';
    m_out.flush();
}

void SendProgram::failed(const QString &text) {
    error(text);
}
