#include "sharedjournal.h"

#include "journalcolumn.h"
#include "journalsql.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace journal_detail;

namespace {

QString tableName(const char *table) {
    return SharedJournal::Schema + QLatin1Char('.') + QLatin1String(table);
}

// The record's columns, each name quoted ("user" is a keyword of PostgreSQL's), with prefix.
QString columnList(const QString &prefix = {}) {
    QStringList names;
    for (const JournalColumn &column : journalColumns())
        names << QStringLiteral("%1\"%2\"").arg(prefix, QLatin1String(column.name));
    return names.join(QStringLiteral(", "));
}

bool isList(const JournalColumn &column) {
    return std::holds_alternative<std::optional<QStringList> JournalRecord::*>(column.member);
}

// The tables of schema version 1. A record is known by its local journal's id and its id there;
// each distinct set of 96 rows is held once, found by the SHA-256 of its JSON text. Times are the
// local journal's UTC ISO 8601 text, which sorts as time does.
QStringList versionOneStatements() {
    QStringList columns;
    for (const JournalColumn &column : journalColumns())
        columns << QStringLiteral("\"%1\" %2")
                       .arg(QLatin1String(column.name), QLatin1String(column.sqlType));
    return {
        QStringLiteral("CREATE TABLE %1 (hash bytea PRIMARY KEY, rows text NOT NULL)")
            .arg(tableName("rowsets")),
        QStringLiteral("CREATE TABLE %1 (site text NOT NULL, journal text NOT NULL, record bigint "
                       "NOT NULL, %2, rowset bytea, PRIMARY KEY (journal, record))")
            .arg(tableName("jobs"), columns.join(QStringLiteral(", "))),
        // A site's records newest first, as the report reads them site by site: in the index's
        // order, so the server streams them rather than sorting a month of the fleet on disk.
        QStringLiteral("CREATE INDEX jobs_by_site ON %1 (site, started DESC)")
            .arg(tableName("jobs")),
        QStringLiteral("CREATE INDEX jobs_by_started ON %1 (started)").arg(tableName("jobs")),
        // Each site's devices listed without reading their records (a key repeats, so the index
        // stays small): the check's first step.
        QStringLiteral("CREATE INDEX jobs_by_device ON %1 (site, port, device)")
            .arg(tableName("jobs")),
    };
}

// One INSERT for a whole batch, given as one JSON array of records (as --history --json writes
// them, with their local id): a round trip a batch, not a record. No conflict target: naming
// one needs the right to read the table, which sites do not have.
QString batchInsertStatement() {
    QStringList fields{QStringLiteral("id bigint")};
    for (const JournalColumn &column : journalColumns()) {
        const bool text = QLatin1String(column.sqlType).startsWith(QLatin1String("TEXT"));
        fields << QStringLiteral("\"%1\" %2")
                      .arg(QLatin1String(column.name), isList(column) ? QStringLiteral("jsonb")
                                                       : text         ? QStringLiteral("text")
                                                                      : QStringLiteral("integer"));
    }
    fields << QStringLiteral("rows jsonb");
    QStringList values;
    for (const JournalColumn &column : journalColumns())
        values << (isList(column) ? QStringLiteral("b.\"%1\"::text") : QStringLiteral("b.\"%1\""))
                      .arg(QLatin1String(column.name));
    const QString hash = QStringLiteral("sha256(convert_to(b.rows::text, 'UTF8'))");
    const QString isRows = QStringLiteral("jsonb_typeof(b.rows) = 'array'");
    return QStringLiteral(
               "WITH b AS (SELECT * FROM jsonb_to_recordset(CAST(? AS jsonb)) AS r(%1)), "
               "s AS (INSERT INTO %2 (hash, rows) SELECT DISTINCT %3, b.rows::text FROM b WHERE "
               "%4 ON CONFLICT DO NOTHING) "
               "INSERT INTO %5 (site, journal, record, %6, rowset) SELECT ?, ?, b.id, %7, CASE "
               "WHEN %4 THEN %3 END FROM b ON CONFLICT DO NOTHING")
        .arg(fields.join(QStringLiteral(", ")), tableName("rowsets"), hash, isRows,
             tableName("jobs"), columnList(), values.join(QStringLiteral(", ")));
}

// A server's words in one line: libpq's messages run over several.
QString oneLine(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

} // namespace

SharedJournal::SharedJournal(SharedJournalConfig config)
    : m_config(std::move(config))
    , m_connection(newConnectionName("display.shared")) {}

SharedJournal::~SharedJournal() {
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool SharedJournal::fail(const QString &what, const QSqlError &error) {
    const QString words = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    m_problem = QStringLiteral("%1 (%2)").arg(what, oneLine(words));
    return false;
}

bool SharedJournal::open(bool readOnly) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    if (!db.isValid()) {
        m_problem = QStringLiteral("Qt's PostgreSQL driver (QPSQL, package libqt6sql6-psql) is "
                                   "missing");
        return false;
    }
    // Everything is in the connection string: QPSQL adds host, database and user only when set.
    db.setConnectOptions(
        JournalConf::withTimeouts(m_config.connection, QCoreApplication::applicationName()));
    if (!db.open())
        return fail(QStringLiteral("the shared journal could not be reached"), db.lastError());
    QSqlQuery query(db);
    // The server's notices ("already exists, skipping") are not the operator's business.
    query.exec(QStringLiteral("SET client_min_messages = warning"));
    if (readOnly && !query.exec(QStringLiteral("SET default_transaction_read_only = on")))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    return true;
}

bool SharedJournal::initialise(QStringList &done) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    QSqlError error;
    // PostgreSQL prepares only queries and changes of rows: the rest is sent as it is.
    const auto run = [&](const QString &statement, const QVariantList &values = {}) {
        bool done = false;
        if (values.isEmpty()) {
            done = query.exec(statement);
        } else {
            query.prepare(statement);
            for (const QVariant &value : values)
                query.addBindValue(value);
            done = query.exec();
        }
        if (done)
            return true;
        error = query.lastError();
        return false;
    };
    const auto exists = [&](const QString &statement, const QString &name) {
        return run(statement, {name}) && query.next();
    };
    const QString schema = Schema;
    // One transaction, and one administrator at a time: the schema is at one version or the
    // next, never half way.
    if (!db.transaction())
        return fail(QStringLiteral("the shared journal could not be set up"), db.lastError());
    bool ok = run(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?))"), {schema});
    if (ok && !exists(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = ?"), schema)) {
        ok = !error.isValid() && run(QStringLiteral("CREATE SCHEMA %1").arg(schema));
        if (ok)
            done << QStringLiteral("created the schema %1").arg(schema);
    }
    int version = 0;
    ok = ok &&
         run(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (version integer NOT NULL)")
                 .arg(tableName("meta"))) &&
         run(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(tableName("meta"))) &&
         query.next();
    if (ok)
        version = query.value(0).toInt();
    if (ok && version > SchemaVersion) {
        db.rollback();
        m_problem = QStringLiteral("the shared journal was set up by a newer version of this "
                                   "program (schema %1; this one knows %2); nothing was changed")
                        .arg(QString::number(version), QString::number(SchemaVersion));
        return false;
    }
    if (ok && version == 0) {
        for (const QString &statement : versionOneStatements())
            ok = ok && run(statement);
        ok = ok && run(QStringLiteral("INSERT INTO %1 VALUES (%2)")
                           .arg(tableName("meta"), QString::number(SchemaVersion)));
        if (ok)
            done << QStringLiteral("created the tables (schema %1)").arg(SchemaVersion);
    }
    for (const QLatin1StringView role : {SiteRole, ReaderRole}) {
        if (ok && !exists(QStringLiteral("SELECT 1 FROM pg_roles WHERE rolname = ?"), role)) {
            ok = !error.isValid() && run(QStringLiteral("CREATE ROLE %1 NOLOGIN").arg(role));
            if (ok)
                done << QStringLiteral("created the role %1").arg(role);
        }
    }
    // Sites add records and nothing else; readers read. Granted each time: granting again
    // changes nothing, and a right someone took away is restored.
    const QString tables = tableName("jobs") + QStringLiteral(", ") + tableName("rowsets");
    ok = ok &&
         run(QStringLiteral("GRANT USAGE ON SCHEMA %1 TO %2, %3")
                 .arg(schema, SiteRole, ReaderRole)) &&
         run(QStringLiteral("GRANT INSERT ON %1 TO %2").arg(tables, SiteRole)) &&
         run(QStringLiteral("GRANT SELECT ON %1, %2 TO %3")
                 .arg(tables, tableName("meta"), ReaderRole));
    if (!ok) {
        query.finish();
        db.rollback();
        return fail(QStringLiteral("the shared journal could not be set up"), error);
    }
    if (!db.commit())
        return fail(QStringLiteral("the shared journal could not be set up"), db.lastError());
    return true;
}

bool SharedJournal::insert(const ForwardBatch &batch) {
    QByteArray json = "[";
    for (const auto &[record, rows] : batch.records) {
        if (json.size() > 1)
            json += ',';
        json += "{\"id\":" + QByteArray::number(record.id) + ',';
        json += historyJson(record, rows).mid(1);
    }
    json += ']';
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    static const QString statement = batchInsertStatement();
    query.prepare(statement);
    query.addBindValue(QString::fromUtf8(json));
    query.addBindValue(m_config.site);
    query.addBindValue(batch.journalId);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal did not take the records"),
                    query.lastError());
    return true;
}

SharedJournal::Forwarded SharedJournal::forward(Journal &local, int batchSize) {
    Forwarded forwarded;
    const auto localFailed = [&] {
        m_problem = oneLine(local.takeProblem());
        forwarded.ok = false;
        forwarded.localProblem = true;
        return forwarded;
    };
    for (;;) {
        const std::optional<ForwardBatch> batch = local.unforwarded(batchSize);
        if (!batch)
            return localFailed();
        if (batch->records.isEmpty())
            return forwarded;
        if (!insert(*batch)) {
            forwarded.ok = false;
            return forwarded;
        }
        // Committed (one statement): a forward cut off before the mark moves sends the batch
        // again, and the server keeps the first copy.
        if (!local.markForwarded(batch->lastId))
            return localFailed();
        forwarded.records += batch->records.size();
        if (batch->records.size() < batchSize)
            return forwarded; // the rest (if any) waits for a job still running
    }
}

bool SharedJournal::history(int limit, const QString &site, const Each &each) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT j.site, j.record, %1, r.rows FROM %2 j LEFT JOIN %3 r ON "
                                 "r.hash = j.rowset %4 ORDER BY j.started DESC, j.journal, "
                                 "j.record DESC LIMIT ?")
                      .arg(columnList(QStringLiteral("j.")), tableName("jobs"),
                           tableName("rowsets"),
                           site.isEmpty() ? QString() : QStringLiteral("WHERE j.site = ?")));
    if (!site.isEmpty())
        query.addBindValue(site);
    query.addBindValue(limit);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        each(query.value(0).toString(), recordAt(query, false, 1),
             query.value(1 + RowsColumn).toByteArray());
    }
    return true;
}

bool SharedJournal::records(const QDateTime &from, const QString &site, const EachOfSite &each) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT j.site, j.journal, j.record, %1 FROM %2 j WHERE j.started "
                       ">= ? %3 ORDER BY j.site, j.started DESC, j.journal, j.record DESC")
            .arg(columnList(QStringLiteral("j.")), tableName("jobs"),
                 site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?")));
    query.addBindValue(isoTime(from));
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        each(query.value(0).toString(), query.value(1).toString(), recordAt(query, false, 2));
    }
    return true;
}

QByteArray SharedJournal::storedRows(const QString &journal, qint64 record) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT r.rows FROM %1 j JOIN %2 r ON r.hash = j.rowset WHERE "
                                 "j.journal = ? AND j.record = ?")
                      .arg(tableName("jobs"), tableName("rowsets")));
    query.addBindValue(journal);
    query.addBindValue(record);
    if (!query.exec() || !query.next())
        return {};
    return query.value(0).toByteArray();
}

bool SharedJournal::deviceStates(const QString &site, QList<DeviceState> &states) {
    // The devices one after the other through jobs_by_device, then each one's newest upload and
    // newest complete upload through jobs_by_site: a few index lookups a device, however many
    // records the years have kept.
    const QString oneSite = site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?");
    const QString newest = QStringLiteral(
        "(SELECT %1 FROM %2 j WHERE j.site = d.site AND j.port = d.port AND j.device = d.device "
        "AND j.job = 'upload' %3 ORDER BY j.started DESC LIMIT 1)");
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("WITH RECURSIVE d AS ((SELECT j.site, j.port, j.device FROM %1 j WHERE true "
                       "%2 ORDER BY j.site, j.port, j.device LIMIT 1) UNION ALL SELECT n.site, "
                       "n.port, n.device FROM d, LATERAL (SELECT j.site, j.port, j.device FROM %1 "
                       "j WHERE (j.site, j.port, j.device) > (d.site, d.port, d.device) %2 ORDER "
                       "BY j.site, j.port, j.device LIMIT 1) n) SELECT d.site, d.port, d.device, "
                       "%3, %4 FROM d ORDER BY d.site, d.port, d.device")
            .arg(tableName("jobs"), oneSite,
                 newest.arg(QStringLiteral("j.finished"), tableName("jobs"),
                            QStringLiteral("AND j.outcome = 'complete'")),
                 newest.arg(QStringLiteral("coalesce(j.outcome, 'unfinished')"), tableName("jobs"),
                            QString())));
    if (!site.isEmpty()) {
        query.addBindValue(site);
        query.addBindValue(site);
    }
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        DeviceState state{query.value(0).toString(), query.value(1).toInt(),
                          query.value(2).toString(), std::nullopt, query.value(4).toString()};
        if (!query.isNull(3))
            state.lastComplete =
                QDateTime::fromString(query.value(3).toString(), Qt::ISODateWithMs).toUTC();
        states.append(state);
    }
    return true;
}
