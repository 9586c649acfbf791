#pragma once

#include "journalconf.h"
#include "report.h"
#include "sendoptions.h"
#include "sendstatus.h"
#include "sharedjournal.h"

#include <QObject>
#include <QTextStream>

#include <functional>

class QThread;
class QTimer;

// display-send's work with the shared journal: forwarding the local journal's records, setting
// the shared journal up, and reading it back. The network may keep any call waiting, so the work
// runs on a thread of its own while the program's event loop stays free, and the whole of it is
// cut off after CutOffSeconds: whatever was committed by then stays committed.
class SharedRun : public QObject {
    Q_OBJECT

public:
    static constexpr int CutOffSeconds = 60;
    // The forward that follows a job: the job's process is not held longer than this for it.
    static constexpr int AfterJobCutOffSeconds = 10;

    SharedRun(const SendOptions &options, QTextStream &out,
              std::function<void(const QString &)> error, QObject *parent = nullptr);
    ~SharedRun() override;

    // The journal.conf that names the shared journal: --journal-conf, or the one beside the
    // config file.
    QString configPath() const;
    // True when a folder forwards: --journal-conf was given, or something is at journal.conf.
    bool forwards() const;

    // Each ends with finished(status) once, on the program's thread.
    // --forward: 0 when every record was forwarded, 2 when the shared journal could not be
    // reached, refused or the forward was cut off, 3 when journal.conf or the local journal
    // could not be read. After a job (jobStatus given), a failure is one line on standard
    // error and the status is the job's, whatever happened; it is cut off after
    // AfterJobCutOffSeconds.
    void forward(const QString &journalPath, int jobStatus = -1);
    void initialise();
    // --shared-add-site and --shared-add-reader.
    void addLogin();
    // --shared-retire: 0 when retired (or it was already), 3 when the site or device is unknown.
    void retire();
    void history();
    // --report --shared: the page written to the --report file (or standard output); a page
    // that says the fleet cannot be seen when it cannot be reached, read, or is cut off.
    void report();
    // --verify --shared --site: the site's copy verified with the key in the --verify file,
    // printed as --verify prints the local journal's; the same exit statuses.
    void verify();
    // --check --shared: the devices' states read, then judged by judge on the program's thread,
    // which gives the exit status, or -1 when it says it later itself (an alert command runs).
    // When the shared journal cannot be reached or read, or the read is cut off, blind is
    // given the problem instead, and gives the status likewise.
    using Judge = std::function<int(const QList<SharedJournal::DeviceState> &,
                                    const QList<SharedJournal::Retirement> &)>;
    void check(Judge judge, std::function<int(const QString &)> blind);

    // Ends the program at once with status when work is still running (a signal).
    void abandon(int status);
    // How long any work but the forward after a job may take: CutOffSeconds unless set.
    void setCutOffSeconds(int seconds) { m_cutOffSeconds = seconds; }

Q_SIGNALS:
    void finished(int status);

private:
    struct Outcome {
        int status = 0;
        QString problem; // one line for standard error, empty when none
    };
    // Reads journal.conf and runs work with it on its thread; badConfigStatus when the file
    // cannot be used, cutOffStatus when the work is cut off after cutOffSeconds (0: the
    // setCutOffSeconds ones).
    void run(std::function<Outcome(const SharedJournalConfig &)> work, int badConfigStatus,
             int cutOffStatus, int cutOffSeconds = 0);
    void cutOff(int status, int seconds);
    // --report --shared: the page written, on the program's thread.
    Outcome writePage(const ReportPage &page);

    const SendOptions &m_options;
    QTextStream &m_out;
    std::function<void(const QString &)> m_error;
    QThread *m_thread = nullptr;
    QTimer *m_cutOff = nullptr;
    Outcome m_outcome;
    // --check and --report --shared: what the thread read, what is done with it on the
    // program's thread once the thread is done (giving the status, or -1 when something else
    // ends the program), and what is done instead when the shared journal cannot be seen,
    // the work cut off included.
    QList<SharedJournal::DeviceState> m_states;
    QList<SharedJournal::Retirement> m_retired;
    ReportPage m_page;
    std::function<int()> m_then;
    std::function<int(const QString &)> m_blind;
    int m_cutOffSeconds = CutOffSeconds;
    bool m_forwarding = false;
    // Once cut off, the thread's own end is not waited for, and the program's status, should it
    // end around the thread, is this.
    bool m_cutOffDone = false;
    int m_leftStatus = BadInput;
};
