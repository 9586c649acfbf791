#pragma once

#include "jobreport.h"
#include "journal.h"

#include <QObject>

#include <functional>

#include <memory>
#include <vector>

class Job;
class JobRunner;
class PortTarget;
struct UploadRequest;

// What a program adds to a job's record beyond what the job reports: the boards expected to
// answer (all eight unless it says) and the names of the values its rows could not be filled
// with.
struct JobNotes {
    QList<int> boards = allBoards();
    QStringList unavailable;
    // When set, asked as the job ends, in place of unavailable: the rows are read as their
    // frames are built, and an edit made during the upload may show more as the missing text.
    std::function<QStringList()> unavailableAtEnd = {};

    static QList<int> allBoards();
};

// Keeps a program's uploads and board tests in the journal: the record is begun before the job
// takes the port and completed when the job reports its end, so a crash leaves it visibly
// unfinished. Everything the job reports still reaches the program's own report, unchanged and in
// order. The journal never stands in the job's way: when it cannot be written, the job runs as
// usual and the problem waits in takeProblem().
class JobJournal : public QObject {
    Q_OBJECT

public:
    // program: "console" or "send", as the records name it.
    JobJournal(const QString &path, QString program, JournalOptions options = {},
               QObject *parent = nullptr);
    // Records still open (a job never started nor destroyed) end as aborted. A recorded job
    // must end before its journal goes.
    ~JobJournal() override;

    Journal &journal() { return m_journal; }

    // The runner's upload and probe, recorded, not yet started. Nothing when the runner is busy:
    // a refused job took nothing and sent nothing.
    Job *upload(JobRunner &runner, const UploadRequest &request, JobReport &report,
                const JobNotes &notes = {});
    Job *probe(JobRunner &runner, const PortTarget &port, JobReport &report,
               const JobNotes &notes = {});

    // The record of the job that ended last, -1 when none did or it could not be written.
    qint64 lastEndedId() const { return m_lastEndedId; }
    // The record of the job that ended last as it was meant to be written, whether or not the
    // journal could keep it; nothing before a job ended.
    const std::optional<JournalRecord> &lastEnded() const { return m_lastEnded; }

    // The journal's problem in lines, the first time one is met in this run of the program;
    // nothing otherwise. Later problems go to the display.journal log only.
    QStringList takeProblem();
    // The lines takeProblem() handed out, if it did: why a job went unrecorded.
    const QStringList &problemTaken() const { return m_problemTaken; }

    // "Last sent 08.12.2026 14:05; board 5 did not answer" from the newest upload in the
    // journal, whichever program sent it; empty when there is none (or no journal).
    QString lastUploadSummary();

private:
    class Recorder;
    Recorder &begin(JobReport &shown, JournalStart start, const JobNotes &notes);
    void finish(Recorder &recorder, JobOutcome outcome);

    Journal m_journal;
    const QString m_program;
    std::vector<std::unique_ptr<Recorder>> m_recorders; // the records not yet ended, and the last
    QStringList m_problemTaken;
    qint64 m_lastEndedId = -1;
    std::optional<JournalRecord> m_lastEnded;
};
