#pragma once

#include "journal.h"
#include "journalconf.h"
#include "sealverifier.h"
#include "sharedschema.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

// A journal shared by many sites: a PostgreSQL database (Qt's QPSQL driver, package
// libqt6sql6-psql at run time) that receives a copy of every site's records. Each site's own
// journal stays the record of truth. The server decides what a site is (sharedschema.h): a
// site's login may only call the function that takes its batches, an office's only read. Every
// call may wait on the network, bounded by the connection's timeouts (JournalConf::withTimeouts):
// it is used off the GUI thread, or by display-send.
class SharedJournal {
public:
    explicit SharedJournal(SharedJournalConfig config);
    ~SharedJournal();
    SharedJournal(const SharedJournal &) = delete;
    SharedJournal &operator=(const SharedJournal &) = delete;

    const SharedJournalConfig &config() const { return m_config; }
    // What failed last, in one line.
    const QString &problem() const { return m_problem; }

    // Connects; false with problem() when the server cannot be reached or refuses the login, or
    // Qt's PostgreSQL driver is missing. readOnly: every transaction is read-only.
    bool open(bool readOnly = false);

    // Creates the schema and its tables, or brings them up to date, and the fleet's group roles
    // with their rights when missing: run by an administrator's role. What it did, one line
    // each, in done (nothing when all was there); what the administrator should look at in
    // warnings.
    bool initialise(QStringList &done, QStringList &warnings);
    // The group roles of this database's fleet.
    SharedSchema::Roles roles();
    // Records login as site and gives it a site's rights and limits; said: what was done. A
    // login already recorded as another site is refused.
    bool addSite(const QString &login, const QString &site, QString &said);
    // Gives login the right to read every site's records.
    bool addReader(const QString &login, QString &said);
    // Retires site, or its device (by name, on every port) when device is not empty, from now:
    // the check and the report leave it out until a record of it is received after now. Its
    // records stay. said: what was done, or why nothing was; Failed with problem().
    enum class Retiring { Done, Already, Unknown, Failed };
    Retiring retire(const QString &site, const QString &device, QString &said);

    // Adds the records of a local journal's batch under this login's site; records already
    // there are left as they are (but for the end of one sent unfinished), so a batch sent twice
    // adds nothing the second time. added: the records the server did not have.
    bool insert(const ForwardBatch &batch, qint64 &added);

    // Sends every record of local not yet forwarded, oldest first, in batches of batchSize,
    // moving local's mark after each batch the server committed. records counts those sent
    // (some may have been there already); when something failed, problem() says what, and
    // localProblem whether it was the local journal.
    struct Forwarded {
        qint64 records = 0;
        qint64 added = 0; // of records, those the server did not have
        QString site;     // as the server knows this login
        bool ok = true;
        bool localProblem = false;
        bool wrongSite = false; // journal.conf names another site than the server knows
    };
    Forwarded forward(Journal &local, int batchSize = 500);

    // The newest limit records, newest first, of one site (every site when site is empty),
    // each with its site and rows as the journal stores them (a JSON array). A text longer than
    // the shared journal now takes (older data may hold one) is cut there, with "…" after it;
    // rows longer than 96 rows can be are left out.
    using Each = std::function<void(const QString &site, const JournalRecord &record,
                                    QByteArrayView storedRows)>;
    bool history(int limit, const QString &site, const Each &each);

    // The records begun since from, of one site (every site when empty), site by site in the
    // order of their names and newest first within each, without their rows: selected by the
    // database, which an index on (site, started) serves.
    // Records dated after to (a site's clock ahead, or its word) are left out: see recordsAfter.
    using EachOfSite = std::function<void(const QString &site, const QString &journal,
                                          const JournalRecord &record)>;
    bool records(const QDateTime &from, const QDateTime &to, const QString &site,
                 const EachOfSite &each);
    // How many records of one site (every site when empty) are dated after end, and the newest
    // date among them.
    struct After {
        qint64 count = 0;
        QString newest; // as stored
    };
    bool recordsAfter(const QDateTime &end, const QString &site, After &after);
    // The rows of one record as the journal stores them (a JSON array); empty when it has none,
    // or when they are longer than 96 rows can be. records() cuts long texts as history() does.
    QByteArray storedRows(const QString &journal, qint64 record);

    // Verifies site's copy of its sealed journal (the one whose sealing record the key is of,
    // else its newest sealed one) with the site's verification key, as --verify does the local
    // journal: the office's copy, which the site cannot change, stands witness.
    SealVerification verifySeals(const QString &site, const SealKey &verificationKey);

    // Each site's devices: when the last upload to it completed (nothing when none did) and how
    // the newest upload ended.
    struct DeviceState {
        QString site;
        int port = 0;
        QString device;
        std::optional<QDateTime> lastComplete;
        QString newestOutcome; // empty when none was an upload; "unfinished" when it never ended
        // How far the newest upload's own time was ahead of its receipt, when it was more than
        // a clock may drift: that record is never taken as fresh.
        std::optional<qint64> aheadSeconds;
        // The site's last device read: its records name more than MaxDevicesChecked.
        bool moreDevices = false;
        // The newest upload's own end (its start while it runs) and the server's receipt of it:
        // a site that stopped sends nothing, one that cannot reach the server sends late.
        std::optional<QDateTime> lastMade;
        std::optional<QDateTime> lastReceived;
    };
    bool deviceStates(const QString &site, QList<DeviceState> &states);

    // What the administrator retired, of one site (every site when empty).
    struct Retirement {
        QString site;
        QString device; // empty: the whole site
        QDateTime retired;
        // When the first record of it since was received: it is checked again.
        std::optional<QDateTime> back;
    };
    bool retirements(const QString &site, QList<Retirement> &list);
    // The retirement that leaves a site's device out (its own or the site's), if one stands.
    static const Retirement *standing(const QList<Retirement> &list, const QString &site,
                                      const QString &device);

    // "last upload received 3 hours ago, made 3 hours ago" (it stopped), or, when it was
    // received late, "last upload made 3 hours ago, received 2 hours late" (the site could not
    // reach the server). Late: more than 1.5 times the uploads' interval after it was made.
    static QString receiptWords(const QDateTime &made, const QDateTime &received,
                                const QDateTime &now, qint64 expectEverySeconds);
    static bool receivedLate(const QDateTime &made, const QDateTime &received,
                             qint64 expectEverySeconds) {
        return made.secsTo(received) * 2 > expectEverySeconds * 3;
    }
    // "73 years", "5 days", "1 hour": the largest unit that fits.
    static QString spokenDuration(qint64 seconds);

    // The devices of one site the check reads: a site's records may name any number (whoever
    // holds its login writes them), and a real site has a few ports. The check bounds them
    // itself, rather than --shared-add-site, so that no journal already written can make it
    // read without end.
    static constexpr int MaxDevicesChecked = 1000;
    // How far a record's own time may run ahead of the server's receipt of it.
    static constexpr int AheadToleranceSeconds = 120;

private:
    bool fail(const QString &what, const QSqlError &error);
    bool refusedWith(const QSqlError &error, const QString &what);
    // The site journal.conf names, or NULL when it names none: the server's word stands.
    QVariant saidSite() const;
    // A keyword's value in the connection string; empty when it sets none.
    QString connectionValue(const char *keyword) const;
    // The schema's version is the one this program knows; otherwise problem() says what to do.
    bool versionKnown();

    SharedJournalConfig m_config;
    QString m_connection;
    QString m_problem;
    QString m_refusal; // the SQLSTATE of the last refusal
};
