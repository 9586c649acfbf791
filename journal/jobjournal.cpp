#include "jobjournal.h"

#include "jobrunner.h"
#include "pageset.h"

#include <algorithm>

// One job's record as it runs: passes everything on to the program's report and notes what the
// record needs on the way. Owned by the journal, so it hears the job's end however the job ends.
class JobJournal::Recorder : public JobReport {
public:
    Recorder(JobJournal &owner, JobReport &shown, JournalStart start)
        : start(std::move(start))
        , m_owner(owner)
        , m_shown(shown) {
        lights.fill(QLatin1Char('c'), BoardAddress::Count);
    }

    void progressShown(const QString &message) override { m_shown.progressShown(message); }
    void progressChanged(float value) override { m_shown.progressChanged(value); }
    void progressClosed() override { m_shown.progressClosed(); }
    // Counted as they go out rather than from the exchanges reported: a frame whose reply
    // window was cut short (a signal, the window closing, the port failing) was still written.
    void frameWritten(const QByteArray &frame) override {
        ++frames;
        m_shown.frameWritten(frame);
    }
    void exchanged(const Exchanged &exchange) override {
        if (exchange.judgement && exchange.judgement->address >= 0 &&
            exchange.judgement->address < lights.size())
            lights[exchange.judgement->address] =
                QLatin1Char(exchange.judgement->answered ? 'g' : 'r');
        m_shown.exchanged(exchange);
    }
    void received(const QByteArray &bytes) override { m_shown.received(bytes); }
    void failed(const QString &text) override {
        if (error.isEmpty())
            error = text;
        m_shown.failed(text);
    }
    // Completed before the program hears of the end, so that what it shows next (the SEND
    // tooltip) already reads the finished record.
    void ended(JobOutcome outcome) override {
        m_owner.finish(*this, outcome);
        m_shown.ended(outcome);
    }

    const JournalStart start;
    qint64 id = -1;
    bool done = false;
    int frames = 0;
    QString lights;
    QString error;
    // What an upload actually sent: the rows and the delay are read as their frames are built.
    std::optional<QStringList> sentRows;
    std::optional<int> sentDelay;

private:
    JobJournal &m_owner;
    JobReport &m_shown;
};

namespace {

JournalStart startOf(const QString &program, const QString &job, const PortTarget &port) {
    JournalStart start;
    start.program = program;
    start.job = job;
    start.port = port.portNumber();
    start.device = port.devicePath();
    start.started = QDateTime::currentDateTimeUtc();
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

JobJournal::JobJournal(const QString &path, QString program, JournalOptions options,
                       QObject *parent)
    : QObject(parent)
    , m_journal(path, options)
    , m_program(std::move(program)) {}

JobJournal::~JobJournal() {
    for (const std::unique_ptr<Recorder> &recorder : m_recorders)
        finish(*recorder, JobOutcome::Aborted);
}

JobJournal::Recorder &JobJournal::begin(JobReport &shown, JournalStart start) {
    // Ended records are dropped here, never from inside their own report.
    std::erase_if(m_recorders, [](const std::unique_ptr<Recorder> &old) { return old->done; });
    Recorder &recorder = *m_recorders.emplace_back(std::make_unique<Recorder>(*this, shown, start));
    recorder.id = m_journal.begin(recorder.start);
    return recorder;
}

Job *JobJournal::upload(JobRunner &runner, const UploadRequest &request, JobReport &report) {
    if (runner.isRunning())
        return nullptr;
    JournalStart start = startOf(m_program, QStringLiteral("upload"), request.port);
    QStringList rows;
    rows.reserve(PageSet::RowCount);
    for (int index = 0; index < PageSet::RowCount; ++index)
        rows.append(request.rowText(index));
    start.rows = rows;
    start.delaySeconds = request.delaySeconds();

    Recorder &recorder = begin(report, start);
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

Job *JobJournal::probe(JobRunner &runner, const PortTarget &port, JobReport &report) {
    if (runner.isRunning())
        return nullptr;
    return runner.probe(port, begin(report, startOf(m_program, QStringLiteral("test"), port)));
}

void JobJournal::finish(Recorder &recorder, JobOutcome outcome) {
    if (recorder.done)
        return;
    recorder.done = true;
    JournalEnd end;
    end.outcome = outcomeName(outcome);
    if (outcome == JobOutcome::Failed)
        end.error = recorder.error;
    end.frames = recorder.frames;
    end.lights = recorder.lights;
    if (recorder.sentRows != recorder.start.rows)
        end.rows = recorder.sentRows;
    if (recorder.sentDelay != recorder.start.delaySeconds)
        end.delaySeconds = recorder.sentDelay;
    m_journal.finish(recorder.id, end);
}

QString JobJournal::takeProblem() {
    const QString problem = m_journal.takeProblem();
    if (problem.isEmpty())
        return {};
    if (m_problemSaid) {
        qCWarning(lcJournal).noquote() << problem;
        return {};
    }
    m_problemSaid = true;
    return problem;
}

QString JobJournal::lastUploadSummary() {
    return ::lastUploadSummary(m_journal.lastUpload());
}
