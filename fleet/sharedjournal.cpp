#include "sharedjournal.h"

#include "bytetext.h"
#include "journalcolumn.h"
#include "journalsql.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <mutex>

using namespace journal_detail;

namespace {

using SharedSchema::table;

// The record's fields in the local journal's order, each name quoted ("user" is a keyword of
// PostgreSQL's), with prefix: a field the shared journal does not keep is read as NULL.
QString columnList(const QString &prefix = {}) {
    QStringList names;
    for (const JournalColumn &column : journalColumns()) {
        const QString name = QLatin1String(column.name);
        names << (SharedSchema::recordColumns().contains(name)
                      ? QStringLiteral("%1\"%2\"").arg(prefix, name)
                      : QStringLiteral("NULL"));
    }
    return names.join(QStringLiteral(", "));
}

// The record's fields as history() shows them: a text longer than the shared journal takes now
// cut there, with a mark, by the server, so that an older record of megabytes is never read
// whole.
QString cutColumnList(const QString &prefix) {
    QString list = columnList(prefix);
    const std::pair<const char *, int> limits[] = {{"device", SharedSchema::MaxName},
                                                   {"user", SharedSchema::MaxName},
                                                   {"host", SharedSchema::MaxName},
                                                   {"boards", SharedSchema::MaxName},
                                                   {"error", SharedSchema::MaxError}};
    for (const auto &[name, limit] : limits) {
        const QString quoted = QStringLiteral("%1\"%2\"").arg(prefix, QLatin1String(name));
        list.replace(quoted, QStringLiteral("CASE WHEN length(%1) > %2 THEN left(%1, %2) || "
                                            "'\u2026' ELSE %1 END")
                                 .arg(quoted, QString::number(limit)));
    }
    return list;
}
// The longest text 96 rows of MaxRow characters make as JSON (each character escaped).
constexpr int MaxRowsText = 96 * (SharedSchema::MaxRow * 6 + 3) + 2;

// A record's own time, unless it is later than the server's receipt of it allows: such a record
// is taken as unfinished, never as fresh.
QString aheadOf(const QString &prefix) {
    return QStringLiteral("(display_journal.iso_time(%1\"finished\") > %1received + interval "
                          "'%2 seconds')")
        .arg(prefix, QString::number(SharedJournal::AheadToleranceSeconds));
}
QString readColumnList(const QString &prefix) {
    QString list = cutColumnList(prefix);
    const QString ahead = aheadOf(prefix);
    for (const char *name : {"finished", "outcome"}) {
        const QString quoted = QStringLiteral("%1\"%2\"").arg(prefix, QLatin1String(name));
        list.replace(quoted,
                     QStringLiteral("CASE WHEN %1 THEN NULL ELSE %2 END").arg(ahead, quoted));
    }
    return list;
}

// The forward's batch as sharedschema.h describes it: its own keys, whatever --history --json
// writes.
QByteArray batchJson(const ForwardBatch &batch) {
    const auto text = [](const std::optional<QString> &value) {
        return value ? jsonString(*value) : QByteArray("null");
    };
    QByteArray json = "[";
    for (const auto &[record, rows] : batch.records) {
        if (json.size() > 1)
            json += ',';
        json += "{\"record\":" + QByteArray::number(record.id);
        json += ",\"started\":" + jsonString(isoTime(record.started));
        json += ",\"finished\":" +
                (record.finished ? jsonString(isoTime(*record.finished)) : QByteArray("null"));
        json += ",\"program\":" + jsonString(record.program);
        json += ",\"job\":" + jsonString(record.job);
        json += ",\"port\":" + QByteArray::number(record.port);
        json += ",\"device\":" + jsonString(record.device);
        json += ",\"outcome\":" + text(record.outcome);
        json += ",\"error\":" + text(record.error);
        json += ",\"frames\":" + QByteArray::number(record.frames);
        json += ",\"lights\":" + jsonString(record.lights);
        json += ",\"delay\":" +
                (record.delaySeconds ? QByteArray::number(*record.delaySeconds) : "null");
        json += ",\"user\":" + text(record.user);
        json += ",\"host\":" + text(record.host);
        json += ",\"boards\":" + text(record.boards);
        json += ",\"unavailable\":" +
                (record.unavailable ? rowsJson(*record.unavailable) : QByteArray("null"));
        // The rows as the local journal stores them: a JSON array, which the server checks.
        json += ",\"rows\":" + (record.rows      ? rowsJson(*record.rows)
                                : rows.isEmpty() ? QByteArray("null")
                                                 : QByteArray(rows));
        json += '}';
    }
    json += ']';
    if (!batch.sealing)
        return json;
    // A sealed journal's batch: its records, with what the office verifies them by.
    static_assert(ForwardBatch::MaxSealsPerRecord * SharedSchema::MaxBatch <=
                  SharedSchema::MaxSeals);
    const JournalSealing &sealing = *batch.sealing;
    QByteArray sealed = "{\"sealing\":{\"key\":\"" + sealing.keyId.toHex() +
                        "\",\"origin\":" + QByteArray::number(sealing.origin) +
                        ",\"epochSeconds\":" + QByteArray::number(sealing.epochSeconds) +
                        ",\"first\":" + QByteArray::number(sealing.firstRecord) +
                        ",\"since\":" + jsonString(sealing.since) +
                        ",\"epoch\":" + QByteArray::number(sealing.epoch) + ",\"seal\":\"" +
                        sealing.seal.toHex() + "\"},\"seals\":[";
    for (const JournalSeal &seal : batch.seals) {
        if (!sealed.endsWith('['))
            sealed += ',';
        sealed += "{\"seq\":" + QByteArray::number(seal.seq) +
                  ",\"record\":" + QByteArray::number(seal.record) +
                  ",\"stage\":" + QByteArray::number(seal.stage) +
                  ",\"epoch\":" + QByteArray::number(seal.epoch) + ",\"seal\":\"" +
                  seal.seal.toHex() + "\"}";
    }
    return sealed + "],\"records\":" + json + '}';
}

// Qt's PostgreSQL driver frees each prepared statement on the server when its query goes, and
// warns on standard error when it cannot: always after the connection was lost or its
// transaction failed, which problem() has said already, in one line. Every other message passes.
QtMessageHandler previousHandler = nullptr;
void quietDriver(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Unable to free statement:")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

QString SharedJournal::connectionValue(const char *keyword) const {
    const auto keywords = JournalConf::connectionKeywords(m_config.connection);
    for (const auto &[key, value] : keywords.value_or(QList<std::pair<QString, QString>>())) {
        if (key == QLatin1String(keyword))
            return value;
    }
    return {};
}

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
    m_problem = QStringLiteral("%1 (%2)").arg(what, oneLine(JournalConf::explainedFailure(words)));
    return false;
}

bool SharedJournal::open(bool readOnly) {
    static std::once_flag quieted;
    std::call_once(quieted, [] { previousHandler = qInstallMessageHandler(quietDriver); });
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    if (!db.isValid()) {
        m_problem = QStringLiteral("Qt's PostgreSQL driver (QPSQL, package libqt6sql6-psql) is "
                                   "missing");
        return false;
    }
    // Everything is in the connection string: QPSQL adds host, database and user only when set.
    db.setConnectOptions(
        JournalConf::withTimeouts(m_config.connection, QCoreApplication::applicationName()));
    if (!db.open()) {
        // A login of no fleet may not even connect: say who can change that.
        if (db.lastError().databaseText().contains(QLatin1String("CONNECT privilege"))) {
            m_problem = QStringLiteral("the login %1 may not connect to the database %2: its "
                                       "administrator runs display-send --shared-add-site %1 "
                                       "SITE, or --shared-add-reader %1 for an office")
                            .arg(connectionValue("user"), connectionValue("dbname"));
            return false;
        }
        return fail(QStringLiteral("the shared journal could not be reached"), db.lastError());
    }
    QSqlQuery query(db);
    // The server's notices ("already exists, skipping") are not the operator's business.
    query.exec(QStringLiteral("SET client_min_messages = warning"));
    if (readOnly && !query.exec(QStringLiteral("SET default_transaction_read_only = on")))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    return true;
}

namespace {

// Runs statements on one connection and keeps the first failure: PostgreSQL prepares only
// queries and changes of rows, so a statement without values is sent as it is.
class Statements {
public:
    explicit Statements(const QSqlDatabase &db)
        : m_query(db) {}

    bool run(const QString &statement, const QVariantList &values = {}) {
        if (m_error.isValid())
            return false;
        bool done = false;
        if (values.isEmpty()) {
            done = m_query.exec(statement);
        } else if (m_query.prepare(statement)) {
            for (const QVariant &value : values)
                m_query.addBindValue(value);
            done = m_query.exec();
        }
        if (!done)
            m_error = m_query.lastError();
        return done;
    }
    // The first column of the first row, or nothing when there is none (or it failed).
    std::optional<QVariant> value(const QString &statement, const QVariantList &values = {}) {
        if (!run(statement, values) || !m_query.next())
            return std::nullopt;
        return m_query.value(0);
    }
    const QSqlError &error() const { return m_error; }
    void finish() { m_query.finish(); }

private:
    QSqlQuery m_query;
    QSqlError m_error;
};

// Commits when every statement ran; otherwise rolls back and gives the first failure.
std::optional<QSqlError> endTransaction(QSqlDatabase &db, Statements &sql) {
    if (sql.error().isValid()) {
        const QSqlError error = sql.error();
        sql.finish();
        db.rollback();
        return error;
    }
    sql.finish();
    if (!db.commit())
        return db.lastError();
    return std::nullopt;
}

QString quoted(const QSqlDatabase &db, const QString &identifier) {
    return db.driver()->escapeIdentifier(identifier, QSqlDriver::FieldName);
}

// What to say when the login that sets the journal up may create roles: whoever holds its
// password can make themselves more than the fleet's administrator.
std::optional<QString> roleCreator(Statements &sql) {
    const std::optional<QVariant> login =
        sql.value(QStringLiteral("SELECT quote_ident(rolname) FROM pg_roles WHERE rolname = "
                                 "session_user AND rolcreaterole AND rolcanlogin AND NOT "
                                 "rolsuper"));
    if (!login)
        return std::nullopt;
    const QString name = login->toString();
    const bool grantsAnything =
        sql.value(QStringLiteral("SELECT current_setting('server_version_num')::int < 160000"))
            .value_or(QVariant(true))
            .toBool();
    const QString why =
        grantsAnything
            ? QStringLiteral("on this server (PostgreSQL 15 or older) such a role can grant "
                             "itself pg_execute_server_program and run programs on the server "
                             "as its system user, as good as a superuser")
            : QStringLiteral("such a role can take over every role it created, and change "
                             "their passwords");
    return QStringLiteral("the login %1 has CREATEROLE and can log in: %2; run --shared-init, "
                          "--shared-add-site and --shared-add-reader as the database's "
                          "superuser, or give the login CREATEROLE for the setup only and take "
                          "it away after it (ALTER ROLE %1 NOCREATEROLE)")
        .arg(name, why);
}

} // namespace

SharedSchema::Roles SharedJournal::roles() {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    return SharedSchema::rolesFor(db.databaseName().isEmpty()
                                      ? Statements(db)
                                            .value(QStringLiteral("SELECT current_database()"))
                                            .value_or(QVariant())
                                            .toString()
                                      : db.databaseName());
}

bool SharedJournal::initialise(QStringList &done, QStringList &warnings) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QString failed = QStringLiteral("the shared journal could not be set up");
    const SharedSchema::Roles roles = this->roles();
    const QString schema = SharedSchema::Name;
    const QString site = quoted(db, roles.site);
    const QString reader = quoted(db, roles.reader);
    Statements sql(db);
    // One transaction, and one administrator at a time: the schema is at one version or the
    // next, never half way.
    if (!db.transaction())
        return fail(failed, db.lastError());
    const auto exists = [&](const QString &statement, const QVariantList &values) {
        return sql.value(statement, values).has_value();
    };
    sql.run(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?))"), {schema});
    const bool newSchema =
        !exists(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = ?"), {schema});
    if (newSchema && sql.run(QStringLiteral("CREATE SCHEMA %1").arg(schema)))
        done << QStringLiteral("created the schema %1").arg(schema);
    sql.run(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (version integer NOT NULL)")
                .arg(table("meta")));
    const int version =
        sql.value(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(table("meta")))
            .value_or(QVariant(0))
            .toInt();
    if (!sql.error().isValid() && version > SharedSchema::Version) {
        sql.finish();
        db.rollback();
        m_problem = QStringLiteral("the shared journal was set up by a newer version of this "
                                   "program (schema %1; this one knows %2); nothing was changed")
                        .arg(QString::number(version), QString::number(SharedSchema::Version));
        return false;
    }
    for (int next = version + 1; next <= SharedSchema::Version; ++next) {
        for (const QString &statement : SharedSchema::statements(next))
            sql.run(statement);
        sql.run(
            QStringLiteral("INSERT INTO %1 VALUES (%2)").arg(table("meta"), QString::number(next)));
        if (!sql.error().isValid())
            done << (next == 1 ? QStringLiteral("created the tables (schema 1)")
                               : QStringLiteral("brought the tables to schema %1").arg(next));
    }
    if (version == 1 && !sql.error().isValid())
        warnings << QStringLiteral("the sites' logins of schema 1 may no longer add records "
                                   "themselves: record each with --shared-add-site LOGIN SITE, "
                                   "and each office's with --shared-add-reader LOGIN");
    for (const QString &role : {roles.site, roles.reader}) {
        const bool there =
            exists(QStringLiteral("SELECT 1 FROM pg_roles WHERE rolname = ?"), {role});
        if (!there && sql.run(QStringLiteral("CREATE ROLE %1 NOLOGIN").arg(quoted(db, role)))) {
            done << QStringLiteral("created the role %1").arg(role);
            continue;
        }
        // Roles belong to the whole server: a role of this name with members that this journal
        // does not know may be another fleet's.
        const QString members =
            sql.value(QStringLiteral("SELECT string_agg(m.rolname, ', ' ORDER BY m.rolname) FROM "
                                     "pg_auth_members a JOIN pg_roles g ON g.oid = a.roleid JOIN "
                                     "pg_roles m ON m.oid = a.member WHERE g.rolname = ? AND "
                                     "(? OR m.rolname NOT IN (SELECT login FROM %1))")
                          .arg(table("sites")),
                      {role, role == roles.reader})
                .value_or(QVariant())
                .toString();
        if (there && newSchema && !members.isEmpty())
            warnings << QStringLiteral("the role %1 was there already, with members (%2) that "
                                       "this shared journal did not give it: see that they "
                                       "belong to this fleet")
                            .arg(role, members);
    }
    // Sites call the function and nothing else; readers read. Granted each time: granting again
    // changes nothing, and a right someone took away is restored. PUBLIC may not even connect.
    const QString tables = QStringLiteral("%1, %2, %3, %4, %5, %6, %7")
                               .arg(table("jobs"), table("rowsets"), table("meta"), table("sites"),
                                    table("journals"), table("sealings"), table("seals"));
    const QString database = quoted(db, Statements(db)
                                            .value(QStringLiteral("SELECT current_database()"))
                                            .value_or(QVariant())
                                            .toString());
    sql.run(QStringLiteral("REVOKE ALL ON %1 FROM PUBLIC").arg(tables));
    sql.run(QStringLiteral("REVOKE ALL ON %1 FROM %2").arg(tables, site));
    // Nobody but the owner writes a table: not schema 1's site role, nor whoever was given a
    // right by hand.
    sql.run(QStringLiteral(
        "DO $$DECLARE g record; BEGIN FOR g IN SELECT DISTINCT a.grantee::regrole::text AS name "
        "FROM pg_class c, aclexplode(c.relacl) a WHERE c.relnamespace = "
        "'display_journal'::regnamespace AND a.grantee <> 0 AND a.grantee <> c.relowner AND "
        "a.privilege_type IN ('INSERT', 'UPDATE', 'DELETE', 'TRUNCATE') LOOP EXECUTE "
        "format('REVOKE INSERT, UPDATE, DELETE, TRUNCATE ON ALL TABLES IN SCHEMA "
        "display_journal FROM %s', g.name); END LOOP; END$$"));
    sql.run(QStringLiteral("GRANT USAGE ON SCHEMA %1 TO %2, %3").arg(schema, site, reader));
    sql.run(QStringLiteral("GRANT SELECT ON %1 TO %2").arg(table("meta"), site));
    sql.run(QStringLiteral("GRANT EXECUTE ON FUNCTION %1(text), %2(text, text, jsonb) TO %3")
                .arg(table("site_of_login"), table("forward_batch"), site));
    sql.run(QStringLiteral("GRANT SELECT ON %1, %2, %3, %4, %5 TO %6")
                .arg(table("jobs"), table("rowsets"), table("meta"), table("sealings"),
                     table("seals"), reader));
    sql.run(
        QStringLiteral("GRANT EXECUTE ON FUNCTION %1(text) TO %2").arg(table("iso_time"), reader));
    // Only the database's owner (or a superuser) may say who connects to it.
    const bool owner =
        sql.value(QStringLiteral("SELECT pg_has_role(datdba, 'USAGE') FROM pg_database WHERE "
                                 "datname = current_database()"))
            .value_or(QVariant(false))
            .toBool();
    if (owner) {
        sql.run(
            QStringLiteral("REVOKE CONNECT, TEMPORARY ON DATABASE %1 FROM PUBLIC").arg(database));
        sql.run(QStringLiteral("GRANT CONNECT ON DATABASE %1 TO %2, %3, CURRENT_USER")
                    .arg(database, site, reader));
    } else if (!sql.error().isValid()) {
        warnings << QStringLiteral("this login does not own the database, so every login may "
                                   "still connect to it: run --shared-init as its owner");
    }
    if (const std::optional<QString> creator = roleCreator(sql); creator && !sql.error().isValid())
        warnings << *creator;
    if (const std::optional<QSqlError> error = endTransaction(db, sql))
        return fail(failed, *error);
    return true;
}

bool SharedJournal::addSite(const QString &login, const QString &site, QString &said) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QString failed = QStringLiteral("the site could not be added");
    if (!versionKnown())
        return false;
    Statements sql(db);
    if (!db.transaction())
        return fail(failed, db.lastError());
    const std::optional<QVariant> known = sql.value(
        QStringLiteral("SELECT site FROM %1 WHERE login = ? FOR UPDATE").arg(table("sites")),
        {login});
    if (known && known->toString() != site) {
        sql.finish();
        db.rollback();
        m_problem = QStringLiteral("the login %1 is site %2 already; nothing was changed")
                        .arg(login, known->toString());
        return false;
    }
    if (!known && !sql.error().isValid() &&
        !sql.value(QStringLiteral("SELECT 1 FROM pg_roles WHERE rolname = ? AND rolcanlogin"),
                   {login})) {
        sql.finish();
        db.rollback();
        m_problem = QStringLiteral("there is no login role %1 on the server: create it first "
                                   "(CREATE ROLE %1 LOGIN PASSWORD ...)")
                        .arg(login);
        return false;
    }
    if (!known)
        sql.run(QStringLiteral("INSERT INTO %1 (login, site) VALUES (?, ?)").arg(table("sites")),
                {login, site});
    // A site that holds a transaction open holds every other site's forward of the same rows.
    sql.run(QStringLiteral("GRANT %1 TO %2").arg(quoted(db, roles().site), quoted(db, login)));
    sql.run(QStringLiteral("ALTER ROLE %1 SET idle_in_transaction_session_timeout = '5s'")
                .arg(quoted(db, login)));
    if (const std::optional<QSqlError> error = endTransaction(db, sql))
        return fail(failed, *error);
    said = known ? QStringLiteral("The login %1 is site %2 already; nothing was changed.")
                       .arg(login, site)
                 : QStringLiteral("The login %1 forwards as site %2 from now on.").arg(login, site);
    return true;
}

bool SharedJournal::addReader(const QString &login, QString &said) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!versionKnown())
        return false;
    const QString reader = roles().reader;
    Statements sql(db);
    const bool already =
        sql.value(QStringLiteral("SELECT pg_has_role(?, ?, 'MEMBER')"), {login, reader})
            .value_or(QVariant(false))
            .toBool();
    if (!already)
        sql.run(QStringLiteral("GRANT %1 TO %2").arg(quoted(db, reader), quoted(db, login)));
    if (sql.error().isValid())
        return fail(QStringLiteral("the reader could not be added"), sql.error());
    said = already
               ? QStringLiteral("The login %1 reads the shared journal already; nothing was "
                                "changed.")
                     .arg(login)
               : QStringLiteral("The login %1 reads the shared journal from now on.").arg(login);
    return true;
}

bool SharedJournal::versionKnown() {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    Statements sql(db);
    const std::optional<QVariant> version =
        sql.value(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(table("meta")));
    if (!version) {
        const QString why = oneLine(sql.error().databaseText());
        m_problem = sql.error().nativeErrorCode() == QLatin1String("42P01")
                        ? QStringLiteral("the shared journal is not set up in this database: its "
                                         "administrator runs display-send --shared-init")
                        : QStringLiteral("the shared journal could not be read (%1)").arg(why);
        return false;
    }
    if (version->toInt() != SharedSchema::Version) {
        m_problem =
            QStringLiteral("the shared journal is schema %1; this display-send knows %2: "
                           "run --shared-init with the newer one")
                .arg(QString::number(version->toInt()), QString::number(SharedSchema::Version));
        return false;
    }
    return true;
}

bool SharedJournal::insert(const ForwardBatch &batch, qint64 &added) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    bool done = query.prepare(
        QStringLiteral("SELECT display_journal.forward_batch(?, ?, CAST(? AS jsonb))"));
    if (done) {
        query.addBindValue(batch.journalId);
        query.addBindValue(saidSite());
        query.addBindValue(QString::fromUtf8(batchJson(batch)));
        done = query.exec() && query.next();
    }
    if (!done)
        return refusedWith(query.lastError(),
                           QStringLiteral("the shared journal did not take the records"));
    added += query.value(0).toLongLong();
    return true;
}

// The function's own refusals say everything in their own words.
bool SharedJournal::refusedWith(const QSqlError &error, const QString &what) {
    m_refusal = error.nativeErrorCode();
    if (!m_refusal.startsWith(QLatin1String("DJ")))
        return fail(what, error);
    m_problem = oneLine(error.databaseText());
    return false;
}

QVariant SharedJournal::saidSite() const {
    return m_config.siteGiven ? QVariant(m_config.site) : QVariant(QMetaType(QMetaType::QString));
}

SharedJournal::Forwarded SharedJournal::forward(Journal &local, int batchSize) {
    Forwarded forwarded;
    const auto localFailed = [&] {
        m_problem = oneLine(local.takeProblem());
        forwarded.ok = false;
        forwarded.localProblem = true;
        return forwarded;
    };
    const auto refused = [&] {
        forwarded.ok = false;
        forwarded.wrongSite = m_refusal == SharedSchema::OtherSite;
        return forwarded;
    };
    if (!versionKnown())
        return refused();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("SELECT display_journal.site_of_login(?)"))) {
        refusedWith(query.lastError(), QStringLiteral("the shared journal could not be read"));
        return refused();
    }
    query.addBindValue(saidSite());
    if (!query.exec() || !query.next()) {
        refusedWith(query.lastError(), QStringLiteral("the shared journal could not be read"));
        return refused();
    }
    forwarded.site = query.value(0).toString();
    query.finish();
    for (;;) {
        const std::optional<ForwardBatch> batch = local.unforwarded(batchSize);
        if (!batch)
            return localFailed();
        if (batch->records.isEmpty())
            return forwarded;
        if (!insert(*batch, forwarded.added))
            return refused();
        // Committed (one statement): a forward cut off before the mark moves sends the batch
        // again, and the server keeps the first copy.
        if (!local.markForwarded(*batch))
            return localFailed();
        forwarded.records += batch->records.size();
        if (batch->records.size() - batch->completed < batchSize)
            return forwarded; // the rest (if any) waits for a job still running
    }
}

bool SharedJournal::history(int limit, const QString &site, const Each &each) {
    if (!versionKnown())
        return false;
    // Newest received first: a record's own time is the site's word, its receipt the server's.
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    // The records chosen first, then their texts cut and their rows found: the cuts and the
    // join for limit records, not for every record the order passes over.
    if (!query.prepare(QStringLiteral("SELECT j.site, j.record, %1, CASE WHEN length(r.rows) <= %5 "
                                      "THEN r.rows END FROM (SELECT * FROM %2 j %4 ORDER BY "
                                      "j.received DESC, j.journal, j.record DESC LIMIT ?) j LEFT "
                                      "JOIN %3 r ON r.hash = j.rowset ORDER BY j.received DESC, "
                                      "j.journal, j.record DESC")
                           .arg(cutColumnList(QStringLiteral("j.")), table("jobs"),
                                table("rowsets"),
                                site.isEmpty() ? QString() : QStringLiteral("WHERE j.site = ?"),
                                QString::number(MaxRowsText))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
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

bool SharedJournal::records(const QDateTime &from, const QDateTime &to, const QString &site,
                            const EachOfSite &each) {
    if (!versionKnown())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT j.site, j.journal, j.record, %1 FROM %2 j WHERE j.started "
                           ">= ? AND j.started <= ? %3 ORDER BY j.site, j.started DESC, "
                           "j.journal, j.record DESC")
                .arg(readColumnList(QStringLiteral("j.")), table("jobs"),
                     site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?"))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    query.addBindValue(isoTime(from));
    query.addBindValue(isoTime(to));
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        each(query.value(0).toString(), query.value(1).toString(), recordAt(query, false, 2));
    }
    return true;
}

bool SharedJournal::recordsAfter(const QDateTime &end, const QString &site, After &after) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(
            QStringLiteral("SELECT count(*), max(j.started) FROM %1 j WHERE j.started "
                           "> ? %2")
                .arg(table("jobs"), site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?"))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    query.addBindValue(isoTime(end));
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec() || !query.next())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    after = {query.value(0).toLongLong(), query.value(1).toString()};
    return true;
}

QByteArray SharedJournal::storedRows(const QString &journal, qint64 record) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("SELECT CASE WHEN length(r.rows) <= %3 THEN r.rows END "
                                      "FROM %1 j JOIN %2 r ON r.hash = j.rowset WHERE j.journal = "
                                      "? AND j.record = ?")
                           .arg(table("jobs"), table("rowsets"), QString::number(MaxRowsText))))
        return {};
    query.addBindValue(journal);
    query.addBindValue(record);
    if (!query.exec() || !query.next())
        return {};
    return query.value(0).toByteArray();
}

bool SharedJournal::deviceStates(const QString &site, QList<DeviceState> &states) {
    if (!versionKnown())
        return false;
    // The devices one after the other through jobs_by_device, at most MaxDevicesChecked a site,
    // then each one's newest upload and newest complete upload through the indexes of uploads
    // by device: a few index lookups a device, however many records the years have kept and
    // whatever else a site's records hold. An upload is as fresh as the earlier of its own end and
    // its receipt; one whose end is ahead of its receipt is never fresh, and the newest upload's
    // lead is said.
    const QString oneSite = site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?");
    const QString newest = QStringLiteral(
        "(SELECT %1 FROM %2 j WHERE j.site = d.site AND j.port = d.port AND j.device = d.device "
        "AND j.job = 'upload' %3 ORDER BY j.started DESC LIMIT 1)");
    const QString ownEnd = QStringLiteral("display_journal.iso_time(j.\"finished\")");
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral(
                "WITH RECURSIVE d AS ((SELECT j.site, j.port, j.device, 1 AS n FROM %1 j WHERE "
                "true %2 ORDER BY j.site, j.port, j.device LIMIT 1) UNION ALL SELECT n.site, "
                "n.port, n.device, CASE WHEN n.site = d.site THEN d.n + 1 ELSE 1 END FROM d, "
                "LATERAL ((SELECT j.site, j.port, j.device FROM %1 j WHERE d.n <= %6 AND "
                "(j.site, j.port, j.device) > (d.site, d.port, d.device) %2 ORDER BY j.site, "
                "j.port, j.device LIMIT 1) UNION ALL (SELECT j.site, j.port, j.device FROM %1 j "
                "WHERE d.n > %6 AND j.site > d.site %2 ORDER BY j.site, j.port, j.device LIMIT "
                "1)) n) SELECT d.site, d.port, d.device, %3, %4, %5, d.n > %6 FROM d ORDER BY "
                "d.site, d.port, d.device")
                .arg(table("jobs"), oneSite,
                     newest.arg(QStringLiteral("to_char(least(%1, j.received) AT TIME ZONE 'UTC', "
                                               "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
                                    .arg(ownEnd),
                                table("jobs"),
                                QStringLiteral("AND j.outcome = 'complete' AND NOT %1")
                                    .arg(aheadOf(QStringLiteral("j.")))),
                     newest.arg(QStringLiteral("coalesce(j.outcome, 'unfinished')"), table("jobs"),
                                QString()),
                     newest.arg(QStringLiteral("CASE WHEN %1 THEN extract(epoch FROM %2 - "
                                               "j.received)::bigint END")
                                    .arg(aheadOf(QStringLiteral("j.")), ownEnd),
                                table("jobs"), QString()),
                     QString::number(MaxDevicesChecked))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    for (int bound = 0; bound < 3 && !site.isEmpty(); ++bound)
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        if (query.value(6).toBool()) { // a device past the limit: its site has more
            if (!states.isEmpty())
                states.last().moreDevices = true;
            continue;
        }
        DeviceState state{query.value(0).toString(),
                          query.value(1).toInt(),
                          query.value(2).toString(),
                          std::nullopt,
                          query.value(4).toString(),
                          std::nullopt,
                          false};
        if (!query.isNull(3))
            state.lastComplete =
                QDateTime::fromString(query.value(3).toString(), Qt::ISODateWithMs).toUTC();
        if (!query.isNull(5))
            state.aheadSeconds = query.value(5).toLongLong();
        states.append(state);
    }
    return true;
}
