#include "journalcolumn.h"
#include "journalsql.h"

#include "configstore.h"

#include <QAtomicInteger>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcJournal, "display.journal", QtWarningMsg)

using namespace journal_detail;

namespace {

QAtomicInteger<quint64> connectionCounter;

// The schema of version 1; a new journal is made as version 1 and brought up to date by the same
// steps as an old one, so the two never differ. Times are UTC ISO 8601 text with milliseconds,
// readable as they are in the sqlite3 shell. Each distinct set of 96 rows is held once in rowsets,
// found by the SHA-256 of its JSON text. The jobs table's columns are the record's
// (journalColumns).
const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS rowsets ("
    " id INTEGER PRIMARY KEY,"
    " hash BLOB NOT NULL UNIQUE,"
    " rows TEXT NOT NULL)",
    nullptr, // the jobs table
    // The newest upload (the SEND tooltip) without a scan past board tests.
    "CREATE INDEX IF NOT EXISTS jobs_by_job ON jobs(job)",
};

// The steps from each version to the next besides its columns, upgrades[n] from version n + 1.
// 2: who ran a job and where, the boards it expected, the values it could not fill (a JSON
// array of names); an upload's previous record on its device found without a scan.
const std::vector<std::vector<const char *>> upgrades = {
    {
        "CREATE INDEX IF NOT EXISTS jobs_by_device ON jobs(job, port, device)",
    },
    // 3: the journal's own random id and how far its records were forwarded to a shared
    // journal. A fresh file gets a new id, so a journal moved aside and started again is never
    // taken for the one before it.
    {
        "CREATE TABLE IF NOT EXISTS forwarding (journal TEXT NOT NULL, mark INTEGER NOT NULL)",
        "INSERT INTO forwarding SELECT lower(hex(randomblob(16))), 0"
        " WHERE NOT EXISTS (SELECT 1 FROM forwarding)",
    },
    // 4: the records forwarded before they ended (a crash, a clock step), sent again once they
    // have, so that the shared journal learns their end.
    {
        "CREATE TABLE IF NOT EXISTS forwarded_unfinished (id INTEGER PRIMARY KEY)",
    },
    // 5: sealing. The sealing record (one row once sealing began: the key's id, origin and epoch
    // length, the first record sealed, sealed itself), and the chain of seals, two a record.
    {
        "CREATE TABLE IF NOT EXISTS sealing (key_id BLOB NOT NULL, origin INTEGER NOT NULL,"
        " epoch_seconds INTEGER NOT NULL, first_record INTEGER NOT NULL, since TEXT NOT NULL,"
        " epoch INTEGER NOT NULL, seal BLOB NOT NULL)",
        "CREATE TABLE IF NOT EXISTS seals (seq INTEGER PRIMARY KEY, record INTEGER NOT NULL,"
        " stage INTEGER NOT NULL, epoch INTEGER NOT NULL, seal BLOB NOT NULL)",
        "CREATE INDEX IF NOT EXISTS seals_by_record ON seals(record, stage)",
    },
};
static_assert(Journal::SchemaVersion == 5, "a schema version needs its upgrade steps");

} // namespace

namespace journal_detail {

QString newConnectionName(const char *prefix) {
    return QStringLiteral("%1.%2").arg(QLatin1String(prefix), QString::number(++connectionCounter));
}

QString placeProblem(const QString &path) {
    for (const QString &name :
         {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        struct stat st {};
        if (::lstat(QFile::encodeName(name).constData(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("%1 is a symbolic link, which the journal does not follow")
                .arg(QDir::toNativeSeparators(name));
        if (!S_ISREG(st.st_mode))
            return QStringLiteral("%1 is not a regular file").arg(QDir::toNativeSeparators(name));
    }
    return {};
}

bool isDamage(const QSqlError &error) {
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == SqliteCorrupt || code == SqliteNotADatabase;
}

Identity identify(QSqlDatabase &db) {
    // One statement, so one read of the file: another process creating the journal at the same
    // moment is seen before or after, never half way (marked but empty, or tables but no mark).
    Identity identity;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT (SELECT application_id FROM pragma_application_id),"
            " (SELECT user_version FROM pragma_user_version),"
            " (SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master"
            "  WHERE name NOT LIKE 'sqlite_%' ORDER BY name)),"
            " (SELECT group_concat(name, ' ') FROM pragma_table_info('jobs')),"
            " (SELECT group_concat(name, ' ') FROM pragma_table_info('rowsets'))")) ||
        !query.next()) {
        identity.error = query.lastError();
        return identity;
    }
    const int id = query.value(0).toInt();
    identity.version = query.value(1).toInt();
    const QString names = query.value(2).toString();
    const QString jobsColumns = query.value(3).toString();
    const QString rowsetsColumns = query.value(4).toString();
    query.finish();
    if (id == Journal::ApplicationId)
        identity.owner = Owner::Ours;
    else if (id == 0 && names.isEmpty() && identity.version == 0)
        identity.owner = Owner::Empty;
    // A journal made before journals carried their mark: exactly the tables this version makes.
    else if (id == 0 && identity.version == 1 &&
             names == QLatin1String("jobs jobs_by_job rowsets") &&
             jobsColumns == jobsColumnNames() && rowsetsColumns == QLatin1String("id hash rows"))
        identity.owner = Owner::OursUnmarked;
    return identity;
}

} // namespace journal_detail

// ---- opening -----------------------------------------------------------------------------------

Journal::Journal(QString path, JournalOptions options)
    : m_path(std::move(path))
    , m_options(options)
    , m_connection(newConnectionName("display.journal")) {}

Journal::~Journal() {
    if (m_inBatch)
        endBatch();
    close();
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

QString Journal::defaultPath(const QString &configPath) {
    return ConfigStore::besideConfig(configPath, u"display-journal.db");
}

void Journal::raise(const QString &problem) {
    if (m_failing) {
        qCDebug(lcJournal).noquote() << "problem (said already):" << problem;
        return; // said already, and nothing has worked since
    }
    qCInfo(lcJournal).noquote() << "problem:" << problem;
    m_failing = true;
    m_problem = m_problem.isEmpty() ? problem : m_problem + QLatin1Char('\n') + problem;
}

QString Journal::takeProblem() {
    return std::exchange(m_problem, QString());
}

bool Journal::fail(const QString &what, const QSqlError &error) {
    qCInfo(lcJournal).noquote() << "could not be" << what << "-" << error.text() << "- code"
                                << error.nativeErrorCode();
    if (isDamage(error) && !m_damageSeen) {
        m_damageSeen = true;
        if (!m_options.moveAsideDamaged) {
            refuse(QStringLiteral("The job journal %1 is damaged (%2); it is left as it is and "
                                  "jobs are not journaled.")
                       .arg(QDir::toNativeSeparators(m_path), error.databaseText()));
            return false;
        }
        close();
        return moveAsideDamaged();
    }
    const QString reason = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    raise(QStringLiteral("The job journal %1 could not be %2 (%3); jobs go on without it.")
              .arg(QDir::toNativeSeparators(m_path), what, reason));
    return false;
}

bool Journal::moveAsideDamaged() {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = m_path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside =
            m_path + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(m_path, aside)) {
        m_failing = false; // a new problem
        raise(QStringLiteral("The job journal %1 is damaged and could not be moved aside; jobs go "
                             "on without it.")
                  .arg(QDir::toNativeSeparators(m_path)));
        m_state = State::Disabled;
        return false;
    }
    // A write-ahead log of the damaged file must not be replayed into the fresh one.
    const QString wal = m_path + QStringLiteral("-wal");
    if (QFileInfo::exists(wal))
        QFile::rename(wal, aside + QStringLiteral("-wal"));
    QFile::remove(m_path + QStringLiteral("-shm"));
    qCInfo(lcJournal).noquote() << "moved the damaged journal aside to" << aside;
    m_failing = false; // a new problem, said whatever was said before
    raise(QStringLiteral("The job journal %1 was damaged; it was moved aside to %2 and a fresh one "
                         "started.")
              .arg(QDir::toNativeSeparators(m_path), QFileInfo(aside).fileName()));
    m_failing = false; // the fresh journal has yet to fail
    return true;
}

void Journal::close() {
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    if (m_state == State::Open)
        m_state = State::Closed;
    m_inBatch = false;
}

bool Journal::exec(const QString &statement) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    return query.exec(statement);
}

// Opens the file (creating it and its schema when create is true), once a damaged file has been
// moved aside if need be. False, with the problem raised, when there is no usable journal.
bool Journal::ensureOpen(bool create) {
    if (m_state == State::Open)
        return true;
    if (m_state == State::Disabled)
        return false;
    if (!create && !QFileInfo::exists(m_path))
        return false;
    m_damageSeen = false;
    if (openOnce())
        return true;
    // A damaged file was moved aside: start the fresh one.
    if (m_damageSeen && m_state == State::Closed)
        return openOnce();
    return false;
}

bool Journal::refuse(const QString &problem) {
    close();
    m_state = State::Disabled;
    m_failing = false;
    raise(problem);
    return false;
}

bool Journal::openOnce() {
    QElapsedTimer timer;
    timer.start();
    const QString shown = QDir::toNativeSeparators(m_path);
    const QString place = placeProblem(m_path);
    if (!place.isEmpty()) {
        return refuse(QStringLiteral("The job journal cannot be kept: %1; it is left as it is and "
                                     "jobs are not journaled.")
                          .arg(place));
    }
    if (!QSqlDatabase::contains(m_connection))
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isValid()) {
        raise(QStringLiteral("The job journal cannot be kept: Qt's SQLite driver (QSQLITE, "
                             "package libqt6sql6-sqlite) is missing; jobs go on without it."));
        m_state = State::Disabled;
        return false;
    }
    // The file is made here rather than by SQLite, which makes it 0644 whatever the umask: made
    // as 0666 less the umask, a folder shared by a group (setgid, umask 002) gives a journal
    // that the operators and the timer can all write. O_NOFOLLOW: never through a link.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int createError = fd < 0 ? errno : 0;
    if (fd >= 0)
        ::close(fd);
    if (fd < 0 && createError != EEXIST) {
        const QFileInfo folder(QFileInfo(m_path).absolutePath());
        QString reason = qt_error_string(createError);
        if (!folder.isDir())
            reason = QStringLiteral("its folder does not exist");
        else if (!folder.isWritable() || createError == EACCES)
            reason = QStringLiteral("its folder is not writable");
        raise(QStringLiteral("The job journal %1 could not be opened (%2); jobs go on without it.")
                  .arg(shown, reason));
        return false;
    }
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_options.busyTimeoutMs));
    if (!db.open()) {
        raise(QStringLiteral("The job journal %1 could not be opened (%2); jobs go on without it.")
                  .arg(shown, db.lastError().databaseText()));
        return false;
    }

    // Nothing is written to a file before it is known to be ours, not even its journal mode.
    const Identity identity = identify(db);
    if (identity.error.isValid()) {
        if (m_options.moveAsideDamaged || !isDamage(identity.error)) {
            fail(QStringLiteral("read"), identity.error);
            close();
            return false;
        }
        return refuse(QStringLiteral("The job journal %1 is not a journal of these programs (%2); "
                                     "it is left as it is and jobs are not journaled.")
                          .arg(shown, identity.error.databaseText()));
    }
    if (identity.owner == Owner::Foreign) {
        return refuse(QStringLiteral("The job journal %1 is a database of another program; it is "
                                     "left as it is and jobs are not journaled.")
                          .arg(shown));
    }
    if (identity.version > SchemaVersion) {
        return refuse(
            QStringLiteral("The job journal %1 was written by a newer version of this "
                           "program (schema %2; this one knows %3); it is left as it is "
                           "and jobs are not journaled.")
                .arg(shown, QString::number(identity.version), QString::number(SchemaVersion)));
    }

    // WAL: a writer never blocks readers, and a commit appends to the log instead of rewriting
    // pages. synchronous=NORMAL: the log is synced at checkpoints, not at every commit; a crash
    // of the program loses nothing committed, a power cut may lose the last few commits but
    // never damages the file.
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
            qCInfo(lcJournal) << "journal_mode=WAL refused:" << query.lastError().text();
        else if (query.next())
            qCDebug(lcJournal) << "journal mode" << query.value(0).toString();
    }
    exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    if (m_options.maxPageCount > 0)
        exec(QStringLiteral("PRAGMA max_page_count=%1").arg(m_options.maxPageCount));
    m_state = State::Open;

    if (identity.owner == Owner::OursUnmarked &&
        !exec(QStringLiteral("PRAGMA application_id=%1").arg(ApplicationId)))
        qCInfo(lcJournal) << "could not mark the journal as ours";
    if (identity.version < SchemaVersion && !createSchema()) {
        close();
        return false;
    }
    qCDebug(lcJournal).noquote() << "opened" << m_path << "in" << timer.elapsed() << "ms";
    return true;
}

bool Journal::createSchema() {
    if (!transaction())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    const auto run = [&](const QString &statement) {
        if (query.exec(statement))
            return true;
        const QSqlError error = query.lastError();
        query.finish();
        rollback();
        fail(QStringLiteral("started"), error);
        return false;
    };
    // Another process may have made it meanwhile.
    if (!run(QStringLiteral("PRAGMA user_version")) || !query.next())
        return false;
    const int found = query.value(0).toInt();
    if (found >= SchemaVersion) {
        query.finish();
        rollback();
        return true;
    }
    // One transaction: a journal is at one version or the next, never half way.
    if (found == 0) {
        for (const char *statement : schema) {
            if (!run(statement ? QString::fromLatin1(statement) : jobsTableStatement()))
                return false;
        }
    }
    for (int version = std::max(found, 1); version < SchemaVersion; ++version) {
        QStringList statements = addedColumnStatements(version + 1);
        for (const char *statement : upgrades.at(version - 1))
            statements << QString::fromLatin1(statement);
        for (const QString &statement : statements) {
            if (!run(statement))
                return false;
        }
    }
    if (!run(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion)) ||
        !run(QStringLiteral("PRAGMA application_id=%1").arg(ApplicationId)))
        return false;
    query.finish();
    if (!commit())
        return false;
    qCInfo(lcJournal).noquote() << "journal schema" << found << "brought to" << SchemaVersion
                                << "in" << m_path;
    return true;
}

// BEGIN IMMEDIATE takes the write lock at once, waiting for it under the busy timeout; a
// deferred transaction that upgrades later may be refused at once.
bool Journal::transaction() {
    return m_inBatch || writeStep(QStringLiteral("BEGIN IMMEDIATE"), false);
}

bool Journal::commit() {
    return m_inBatch || writeStep(QStringLiteral("COMMIT"), true);
}

bool Journal::writeStep(const QString &statement, bool rollBackOnFailure) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(statement))
        return true;
    const QSqlError error = query.lastError();
    query.finish();
    if (rollBackOnFailure)
        rollback();
    fail(QStringLiteral("written"), error);
    return false;
}

void Journal::rollback() {
    if (m_inBatch)
        return;
    if (!exec(QStringLiteral("ROLLBACK")))
        qCDebug(lcJournal) << "rollback refused (nothing to roll back)";
}

bool Journal::startBatch() {
    if (m_inBatch || !ensureOpen(true) || !transaction())
        return false;
    m_inBatch = true;
    return true;
}

bool Journal::endBatch() {
    if (!m_inBatch)
        return false;
    m_inBatch = false;
    return commit();
}
