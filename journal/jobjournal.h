#pragma once

#include "jobreport.h"
#include "journal.h"

#include <QObject>

#include <functional>

class JobRunner;
class PortTarget;
struct UploadRequest;

// Runs a program's uploads and board tests on a job runner and keeps each in the journal: the
// record is begun before the job takes the port and completed when the job ends, so a crash
// leaves it visibly unfinished. Everything the job shows still reaches the program's own report,
// unchanged and in order. The journal never stands in the job's way: when it cannot be written,
// the job runs as usual and the problem waits in takeProblem().
class JobJournal : public QObject {
    Q_OBJECT

public:
    // program: "console" or "send", as the records name it.
    JobJournal(const QString &path, QString program, JournalOptions options = {},
               QObject *parent = nullptr);
    // A job still running (its owner is going away in the middle of a wait) is recorded as
    // aborted.
    ~JobJournal() override;

    Journal &journal() { return m_journal; }

    // The runner's upload and probe, recorded. A job refused because the runner is busy is not
    // recorded: it took nothing and sent nothing.
    JobOutcome upload(JobRunner &runner, const UploadRequest &request, JobReport &report);
    JobOutcome probe(JobRunner &runner, const PortTarget &port, JobReport &report);

    // The running job is being given up (the window closes): its record ends as aborted now,
    // whatever the job still reports as it unwinds.
    void abandonRunning();

    // The journal's problem, the first time one is met in this run of the program; empty
    // otherwise. Later problems go to the display.journal log only.
    QString takeProblem();

    // "Last sent 08.12.2026 14:05; board 5 did not answer" from the newest upload in the
    // journal, whichever program sent it; empty when there is none (or no journal).
    QString lastUploadSummary();

private:
    class Recorder;
    JobOutcome record(JobRunner &runner, Recorder &recorder,
                      const std::function<JobOutcome(JobReport &)> &job);
    void finish(Recorder &recorder, JobOutcome outcome);

    Journal m_journal;
    const QString m_program;
    Recorder *m_running = nullptr;
    bool m_problemSaid = false;
};
