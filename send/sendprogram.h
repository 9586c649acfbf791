#pragma once

#include "fieldvalues.h"
#include "pageset.h"
#include "porttarget.h"
#include "sendoptions.h"
#include "sendstatus.h"

#include <QObject>
#include <QTextStream>

#include <functional>
#include <memory>
#include <optional>

class FilledRows;
class JournalExport;
class JobJournal;
class SendAlerts;
class SendJobs;
class SharedRun;

// display-send: reads what every mode needs (the folder's figures, the rows, the port) and hands
// the mode to its family: the jobs on the boards, the listings, the journal's exports, the alerts.
class SendProgram : public QObject {
    Q_OBJECT

public:
    SendProgram(const SendOptions &options, QTextStream &out, QTextStream &err,
                QObject *parent = nullptr);
    ~SendProgram() override;

    // Runs the job asked for from the event loop; finished() gives the exit status. SIGINT,
    // SIGTERM and SIGHUP end a job at once.
    void start();

    // The journal the jobs are recorded in.
    QString journalPath() const;

Q_SIGNALS:
    void finished(int status);
    // A signal asks the program to end, with status: whatever still runs after the job (the
    // forward) ends now too.
    void interrupted(int status);

private:
    int run();
    // Reads the folder's figures, when it has any, and carries on with next once every value
    // has its reading: the exit status, or -1 while the sources or a job are still at work.
    int withSources(std::function<int()> next);
    // Keeps the unavailable names and says each on standard error with its reason.
    int showValues();
    void sayUnavailable(const FieldValues &values);
    int upload(bool dryRun);
    JournalExport exports();
    int test();
    int monitor();
    int init();
    int check();
    // Reads the configuration and fills its rows; throws Failure.
    std::shared_ptr<const FilledRows> rowsToSend(qint16 &portNumber);
    std::optional<PortTarget> portFor(std::optional<qint16> fromFile);
    // The number through the port maps beside the config file and in the usual places; their bad
    // lines are said on standard error. Nothing when the map makes that number unusable.
    std::optional<PortTarget> mappedPort(int portNumber);
    // For the test and the monitor: display.cfg is read only for its port number, unless it was
    // named on purpose. Nothing, with the error said, when there is no port to use.
    std::optional<PortTarget> portWithoutRows();
    void error(const QString &text);
    void signalled(int number);

    const SendOptions m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    JobJournal *const m_journal;
    SendJobs *const m_jobs;
    SendAlerts *const m_alerts;
    SharedRun *const m_shared;
    int m_status = AllAnswered; // said when the alert command ends
    // The names of the values the rows asked for that had none to give; recorded with the
    // upload and compared by --alert with the upload before.
    QStringList m_unavailable;
    int m_signal = 0;
    QStringList m_sourcesProblems; // the sources file's bad lines, as said
    FieldValues m_values;          // the folder's figures, once read
};
