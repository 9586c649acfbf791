#include "sharedjournal.h"

#include "sharedsql.h"

#include <QDateTime>
#include <QSqlDriver>

using namespace shared_sql;
using SharedSchema::table;

namespace {

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
    const QString tables =
        QStringLiteral("%1, %2, %3, %4, %5, %6, %7, %8")
            .arg(table("jobs"), table("rowsets"), table("meta"), table("sites"), table("journals"),
                 table("retired"), table("sealings"), table("seals"));
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
    sql.run(QStringLiteral("GRANT SELECT ON %1, %2, %3, %4, %5, %6 TO %7")
                .arg(table("jobs"), table("rowsets"), table("meta"), table("retired"),
                     table("sealings"), table("seals"), reader));
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

SharedJournal::Retiring SharedJournal::retire(const QString &site, const QString &device,
                                              QString &said) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QString failed = QStringLiteral("the retirement could not be recorded");
    if (!versionKnown())
        return Retiring::Failed;
    const QVariant named = device.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : device;
    const QString what = device.isEmpty()
                             ? QStringLiteral("Site %1").arg(site)
                             : QStringLiteral("The device %1 of site %2").arg(device, site);
    Statements sql(db);
    if (!db.transaction()) {
        fail(failed, db.lastError());
        return Retiring::Failed;
    }
    const auto rollBack = [&](Retiring result) {
        sql.finish();
        db.rollback();
        return result;
    };
    // One administrator at a time: a retirement is there once.
    sql.run(QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(table("retired")));
    const bool known =
        device.isEmpty()
            ? sql.value(QStringLiteral("SELECT 1 FROM %1 WHERE site = ? UNION ALL (SELECT 1 FROM "
                                       "%2 WHERE site = ? LIMIT 1)")
                            .arg(table("sites"), table("jobs")),
                        {site, site})
                  .has_value()
            : sql.value(QStringLiteral("SELECT 1 FROM %1 WHERE site = ? AND device = ? LIMIT 1")
                            .arg(table("jobs")),
                        {site, device})
                  .has_value();
    if (!known && !sql.error().isValid()) {
        said = device.isEmpty()
                   ? QStringLiteral("there is no site %1 in the shared journal: no login forwards "
                                    "as it and no record names it; nothing was changed")
                         .arg(site)
                   : QStringLiteral("site %1 has no record of a device %2 in the shared journal; "
                                    "nothing was changed")
                         .arg(site, device);
        return rollBack(Retiring::Unknown);
    }
    // A retirement stands until a record of it is received after it.
    const std::optional<QVariant> since = sql.value(
        QStringLiteral(
            "SELECT to_char(r.retired AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') "
            "FROM %1 r WHERE r.site = ? AND r.device IS NOT DISTINCT FROM ? AND NOT EXISTS (SELECT "
            "1 FROM %2 j "
            "WHERE j.site = r.site AND (r.device IS NULL OR j.device = r.device) AND "
            "j.received > r.retired)")
            .arg(table("retired"), table("jobs")),
        {site, named});
    if (since && !sql.error().isValid()) {
        said = QStringLiteral("%1 is retired already (since %2); nothing was changed.")
                   .arg(what, QDateTime::fromString(since->toString(), Qt::ISODate)
                                  .toLocalTime()
                                  .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        return rollBack(Retiring::Already);
    }
    sql.run(QStringLiteral("DELETE FROM %1 WHERE site = ? AND device IS NOT DISTINCT FROM ?")
                .arg(table("retired")),
            {site, named});
    sql.run(QStringLiteral("INSERT INTO %1 (site, device) VALUES (?, ?)").arg(table("retired")),
            {site, named});
    if (const std::optional<QSqlError> error = endTransaction(db, sql)) {
        fail(failed, *error);
        return Retiring::Failed;
    }
    said = QStringLiteral("%1 is retired from now on: the check and the report leave it out "
                          "until it sends a record again; its records stay.")
               .arg(what);
    return Retiring::Done;
}
