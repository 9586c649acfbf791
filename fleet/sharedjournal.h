#pragma once

#include "journal.h"
#include "journalconf.h"

#include <QString>
#include <QStringList>

#include <functional>

// A journal shared by many sites: a PostgreSQL database (Qt's QPSQL driver, package
// libqt6sql6-psql at run time) that receives a copy of every site's records. Each site's own
// journal stays the record of truth; a site's role may only add records (INSERT), an office's
// only read them (SELECT). Every call may wait on the network, bounded by the connection's
// timeouts (JournalConf::withTimeouts): it is used off the GUI thread, or by display-send.
class SharedJournal {
public:
    static constexpr int SchemaVersion = 1;
    // The PostgreSQL schema that holds the tables, and the group roles of sites and readers.
    static constexpr QLatin1StringView Schema{"display_journal"};
    static constexpr QLatin1StringView SiteRole{"display_site"};
    static constexpr QLatin1StringView ReaderRole{"display_reader"};

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

    // Creates the schema and its tables, or brings them up to date, and the group roles with
    // their rights when missing: run by an administrator's role. What it did, one line each, in
    // done (nothing when all was there).
    bool initialise(QStringList &done);

    // Adds the records of a local journal's batch under this site; records already there are
    // left as they are, so a batch sent twice adds nothing the second time.
    bool insert(const ForwardBatch &batch);

    // Sends every record of local not yet forwarded, oldest first, in batches of batchSize,
    // moving local's mark after each batch the server committed. records counts those sent
    // (some may have been there already); when something failed, problem() says what, and
    // localProblem whether it was the local journal.
    struct Forwarded {
        qint64 records = 0;
        bool ok = true;
        bool localProblem = false;
    };
    Forwarded forward(Journal &local, int batchSize = 500);

    // The newest limit records, newest first, of one site (every site when site is empty),
    // each with its site and rows as the journal stores them (a JSON array).
    using Each = std::function<void(const QString &site, const JournalRecord &record,
                                    QByteArrayView storedRows)>;
    bool history(int limit, const QString &site, const Each &each);

    // The records begun since from, of one site (every site when empty), site by site in the
    // order of their names and newest first within each, without their rows: selected by the
    // database, which an index on (site, started) serves.
    using EachOfSite = std::function<void(const QString &site, const QString &journal,
                                          const JournalRecord &record)>;
    bool records(const QDateTime &from, const QString &site, const EachOfSite &each);
    // The rows of one record as the journal stores them (a JSON array); empty when it has none.
    QByteArray storedRows(const QString &journal, qint64 record);

    // Each site's devices: when the last upload to it completed (nothing when none did) and how
    // the newest upload ended.
    struct DeviceState {
        QString site;
        int port = 0;
        QString device;
        std::optional<QDateTime> lastComplete;
        QString newestOutcome; // empty when none was an upload; "unfinished" when it never ended
    };
    bool deviceStates(const QString &site, QList<DeviceState> &states);

private:
    bool fail(const QString &what, const QSqlError &error);

    SharedJournalConfig m_config;
    QString m_connection;
    QString m_problem;
};
