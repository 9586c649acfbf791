#pragma once

#include "journal.h"
#include "porttarget.h"
#include "sendoptions.h"
#include "sharedjournal.h"

#include <QObject>
#include <QString>
#include <QTextStream>

#include <functional>

class AlertCommand;
class JobJournal;
struct JournalRecord;

// --alert and --check: the alert command, run when a job's outcome differs from the previous one
// of its kind on its port, or when no upload to a port completed in time.
class SendAlerts : public QObject {
    Q_OBJECT

public:
    // error says a text on standard error.
    SendAlerts(const SendOptions &options, JobJournal &journal, QTextStream &out,
               std::function<void(const QString &)> error, QObject *parent);

    // --check: the exit status, or -1 while the alert command runs (ended() follows).
    int check(const PortTarget &port);
    // --check --shared: every site and device of states whose last complete upload is too old
    // is said (at most MaxListed a site), and the alert command runs once for each stale site
    // in turn, with DISPLAY_SITE and its stale devices in DISPLAY_DEVICES, one a line (the
    // first MaxListed; DISPLAY_ERROR says how many); journalConf names the shared journal in
    // DISPLAY_JOURNAL. The exit status, or -1 as for check().
    // Retired sites and devices are left out (and said); one that sent a record since it was
    // retired is checked again (said by the first check after it came back). A stale device's
    // newest upload says when it was made and received, in words and in DISPLAY_LAST_MADE,
    // DISPLAY_LAST_RECEIVED and DISPLAY_RECEIVED_LATE.
    int checkShared(const QList<SharedJournal::DeviceState> &states,
                    const QList<SharedJournal::Retirement> &retired, const QString &journalConf);
    // --check --shared when the shared journal could not be reached or read: the alert command
    // runs once, for no site, with the problem in DISPLAY_ERROR. The exit status (2), or -1 as
    // for check().
    int checkBlind(const QString &problem, const QString &journalConf);
    static constexpr int MaxListed = 20;
    // For the job that just ended: true while the alert command runs for it.
    bool afterJob();
    // Ends the alert command, if one runs.
    void stop();

Q_SIGNALS:
    void ended();

private:
    // For a job the journal could not keep: runs the alert command unless the job went well.
    bool alertUnrecorded();
    // The journal's new problem, if reading it met one, said on standard error.
    void sayJournalProblem();
    // site: empty for the local journal; journal: DISPLAY_JOURNAL, the local journal's path
    // when empty.
    void runAlert(const JournalRecord &record, const QString &previousOutcome,
                  const QString &site = {}, const QString &journal = {},
                  const QStringList &devices = {},
                  const QList<std::pair<const char *, QString>> &more = {});
    // The retired sites and devices, on standard output, and those that came back within the
    // check's window.
    void sayRetired(const QList<SharedJournal::Retirement> &retired, const QDateTime &now,
                    qint64 allowedMs);
    // --check --shared: the next stale site's alert.
    void runNextShared();

    struct StaleSite {
        JournalRecord record;
        QString previousOutcome;
        QString site;
        QStringList devices;               // its stale devices' labels
        std::optional<QDateTime> lastMade; // of the newest upload its stale devices received
        std::optional<QDateTime> lastReceived;
    };

    const SendOptions &m_options;
    JobJournal &m_journal;
    QTextStream &m_out;
    const std::function<void(const QString &)> m_error;
    AlertCommand *m_alert = nullptr; // while it runs
    QList<StaleSite> m_waiting;      // --check --shared: the sites' alerts still to run
    QString m_journalConf;
};
