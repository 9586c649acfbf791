#include "jobjournal.h"

#include "jobrunner.h"
#include "pageset.h"

#include <QSysInfo>

#include <algorithm>
#include <array>
#include <pwd.h>
#include <unistd.h>

// One job's record as it runs: passes everything on to the program's report and notes what the
// record needs on the way. Owned by the journal, so it hears the job's end however the job ends.
class JobJournal::Recorder : public JobReport {
public:
    Recorder(JobJournal &owner, JobReport &shown, JournalStart start, const JobNotes &notes)
        : start(std::move(start))
        , unavailableAtEnd(notes.unavailableAtEnd)
        , m_owner(owner)
        , m_shown(shown) {
        end.lights.fill(QLatin1Char('c'), BoardAddress::Count);
        end.unavailable = notes.unavailable;
    }

    void progressShown(const QString &message) override { m_shown.progressShown(message); }
    void progressChanged(float value) override { m_shown.progressChanged(value); }
    void progressClosed() override { m_shown.progressClosed(); }
    // Counted as they go out rather than from the exchanges reported: a frame whose reply
    // window was cut short (a signal, the window closing, the port failing) was still written.
    void frameWritten(const QByteArray &frame) override {
        ++end.frames;
        m_shown.frameWritten(frame);
    }
    void exchanged(const ExchangeResult &exchange) override {
        if (exchange.judgement && exchange.judgement->address >= 0 &&
            exchange.judgement->address < end.lights.size())
            end.lights[exchange.judgement->address] =
                QLatin1Char(exchange.judgement->answered ? 'g' : 'r');
        m_shown.exchanged(exchange);
    }
    void received(const QByteArray &bytes, qint64 dropped) override {
        m_shown.received(bytes, dropped);
    }
    void failed(const QString &text) override {
        if (end.error.isEmpty())
            end.error = text;
        m_shown.failed(text);
    }
    // Completed before the program hears of the end, so that what it shows next (the SEND
    // tooltip) already reads the finished record.
    void ended(JobOutcome outcome) override {
        m_owner.finish(*this, outcome);
        m_shown.ended(outcome);
    }

    const JournalStart start;
    const std::function<QStringList()> unavailableAtEnd;
    JournalEnd end; // the outcome, the time and what was sent differently are set at the end
    qint64 id = -1;
    bool done = false;
    // What an upload actually sent: the rows and the delay are read as their frames are built.
    std::optional<QStringList> sentRows;
    std::optional<int> sentDelay;

private:
    JobJournal &m_owner;
    JobReport &m_shown;
};

namespace {

// The account the program runs as, by name; its number when it has none (a container's).
QString userName() {
    const uid_t uid = ::geteuid();
    std::array<char, 4096> buffer{};
    struct passwd entry {};
    struct passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

JournalStart startOf(const QString &program, const QString &job, const PortTarget &port,
                     const JobNotes &notes) {
    static const QString user = userName();
    JournalStart start;
    start.program = program;
    start.job = job;
    start.port = port.portNumber();
    start.device = port.devicePath();
    start.started = QDateTime::currentDateTimeUtc();
    start.user = user;
    start.host = QSysInfo::machineHostName();
    start.boards = notes.boards;
    return start;
}

QString outcomeName(JobOutcome outcome) {
    switch (outcome) {
    case JobOutcome::Complete:
        return QStringLiteral("complete");
    case JobOutcome::Failed:
        return QStringLiteral("port-error");
    case JobOutcome::Aborted:
    case JobOutcome::Busy:
        break;
    }
    return QStringLiteral("aborted");
}

} // namespace

QList<int> JobNotes::allBoards() {
    return boardsFromText({});
}

JobJournal::JobJournal(const QString &path, QString program, JournalOptions options,
                       QObject *parent)
    : QObject(parent)
    , m_journal(path, options)
    , m_program(std::move(program)) {}

JobJournal::~JobJournal() {
    for (const std::unique_ptr<Recorder> &recorder : m_recorders)
        finish(*recorder, JobOutcome::Aborted);
}

JobJournal::Recorder &JobJournal::begin(JobReport &shown, JournalStart start,
                                        const JobNotes &notes) {
    // Ended records are dropped here, never from inside their own report.
    std::erase_if(m_recorders, [](const std::unique_ptr<Recorder> &old) { return old->done; });
    Recorder &recorder =
        *m_recorders.emplace_back(std::make_unique<Recorder>(*this, shown, start, notes));
    recorder.id = m_journal.begin(recorder.start);
    return recorder;
}

Job *JobJournal::upload(JobRunner &runner, const UploadRequest &request, JobReport &report,
                        const JobNotes &notes) {
    if (runner.isRunning())
        return nullptr;
    JournalStart start = startOf(m_program, QStringLiteral("upload"), request.port, notes);
    QStringList rows;
    rows.reserve(PageSet::RowCount);
    for (int index = 0; index < PageSet::RowCount; ++index)
        rows.append(request.rowText(index));
    start.rows = rows;
    start.delaySeconds = request.delaySeconds();

    Recorder &recorder = begin(report, start, notes);
    recorder.sentRows = rows;
    recorder.sentDelay = start.delaySeconds;
    UploadRequest recorded = request;
    recorded.rowText = [request, &recorder](int index) {
        QString text = request.rowText(index);
        (*recorder.sentRows)[index] = text;
        return text;
    };
    recorded.delaySeconds = [request, &recorder] {
        const int seconds = request.delaySeconds();
        recorder.sentDelay = seconds;
        return seconds;
    };
    return runner.upload(recorded, recorder);
}

Job *JobJournal::probe(JobRunner &runner, const PortTarget &port, JobReport &report,
                       const JobNotes &notes) {
    if (runner.isRunning())
        return nullptr;
    return runner.probe(
        port, begin(report, startOf(m_program, QStringLiteral("test"), port, notes), notes));
}

void JobJournal::finish(Recorder &recorder, JobOutcome outcome) {
    if (recorder.done)
        return;
    recorder.done = true;
    JournalEnd &end = recorder.end;
    end.outcome = outcomeName(outcome);
    if (outcome != JobOutcome::Failed)
        end.error.clear();
    end.finished = QDateTime::currentDateTimeUtc();
    if (recorder.unavailableAtEnd)
        end.unavailable = recorder.unavailableAtEnd();
    if (recorder.sentRows != recorder.start.rows)
        end.rows = recorder.sentRows;
    if (recorder.sentDelay != recorder.start.delaySeconds)
        end.delaySeconds = recorder.sentDelay;
    m_journal.finish(recorder.id, end);
    m_lastEndedId = recorder.id;

    m_lastEnded = journalRecord(recorder.start, end);
    m_lastEnded->id = recorder.id;
}

QStringList JobJournal::takeProblem() {
    const QString problem = m_journal.takeProblem();
    if (problem.isEmpty())
        return {};
    if (!m_problemTaken.isEmpty()) {
        qCWarning(lcJournal).noquote() << problem;
        return {};
    }
    m_problemTaken = problem.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return m_problemTaken;
}

QString JobJournal::lastUploadSummary() {
    return ::lastUploadSummary(m_journal.lastUpload());
}
