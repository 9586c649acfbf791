#include "journal.h"

#include "pageset.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcJournal, "display.journal", QtWarningMsg)

namespace {

constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

QAtomicInteger<quint64> connectionCounter;

QString isoTime(const QDateTime &time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime fromIsoTime(const QString &text) {
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.toUTC();
}

QByteArray rowsJson(const QStringList &rows) {
    return QJsonDocument(QJsonArray::fromStringList(rows)).toJson(QJsonDocument::Compact);
}

std::optional<QStringList> rowsFromJson(const QByteArray &json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    QStringList rows;
    for (const QJsonValue &value : document.array())
        rows.append(value.toString());
    return rows;
}

// The schema of version 1. Times are UTC ISO 8601 text with milliseconds, readable as they are
// in the sqlite3 shell. Each distinct set of 96 rows is held once in rowsets, found by the
// SHA-256 of its JSON text.
const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS rowsets ("
    " id INTEGER PRIMARY KEY,"
    " hash BLOB NOT NULL UNIQUE,"
    " rows TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS jobs ("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL,"
    " finished TEXT,"
    " program TEXT NOT NULL,"
    " job TEXT NOT NULL,"
    " port INTEGER NOT NULL,"
    " device TEXT NOT NULL,"
    " outcome TEXT,"
    " error TEXT,"
    " frames INTEGER NOT NULL DEFAULT 0,"
    " lights TEXT NOT NULL DEFAULT 'ccccccccc',"
    " delay INTEGER,"
    " rowset INTEGER REFERENCES rowsets(id))",
    // The newest upload (the SEND tooltip) without a scan past board tests.
    "CREATE INDEX IF NOT EXISTS jobs_by_job ON jobs(job)",
};

// What SQLite would meet at the journal's path: a link at the journal or at its -wal or -shm file
// would be followed (as root, creating or changing the file it points to), so none is opened.
// Empty when all three are regular files or absent. SQLite opens the path itself later, so a link
// put there between this look and that open is not seen: whoever can do that can already write
// the journal's folder.
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

// Whose database a file is, from its application id, its schema version and its tables.
enum class Owner { Ours, Empty, OursUnmarked, Foreign };
struct Identity {
    Owner owner = Owner::Foreign;
    int version = 0;
    QSqlError error; // valid when the file could not be read
};

QStringList columnsOf(QSqlDatabase &db, const QString &table) {
    QStringList columns;
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table))) {
        while (query.next())
            columns << query.value(1).toString();
    }
    return columns;
}

Identity identify(QSqlDatabase &db) {
    Identity identity;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const auto first = [&](const QString &statement) -> std::optional<QVariant> {
        if (!query.exec(statement) || !query.next()) {
            identity.error = query.lastError();
            query.finish();
            return std::nullopt;
        }
        const QVariant value = query.value(0);
        query.finish();
        return value;
    };
    const std::optional<QVariant> id = first(QStringLiteral("PRAGMA application_id"));
    if (!id)
        return identity;
    const std::optional<QVariant> version = first(QStringLiteral("PRAGMA user_version"));
    if (!version)
        return identity;
    identity.version = version->toInt();
    if (id->toInt() == Journal::ApplicationId) {
        identity.owner = Owner::Ours;
        return identity;
    }
    if (id->toInt() != 0)
        return identity;
    QStringList names;
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE name NOT LIKE "
                                   "'sqlite_%' ORDER BY name"))) {
        identity.error = query.lastError();
        return identity;
    }
    while (query.next())
        names << query.value(0).toString();
    query.finish();
    if (names.isEmpty() && identity.version == 0) {
        identity.owner = Owner::Empty;
        return identity;
    }
    // A journal made before journals carried their mark: exactly the tables this version makes.
    const QStringList jobsColumns{"id",     "started", "finished", "program", "job",
                                  "port",   "device",  "outcome",  "error",   "frames",
                                  "lights", "delay",   "rowset"};
    if (identity.version == 1 && names == QStringList{"jobs", "jobs_by_job", "rowsets"} &&
        columnsOf(db, QStringLiteral("jobs")) == jobsColumns &&
        columnsOf(db, QStringLiteral("rowsets")) == QStringList{"id", "hash", "rows"})
        identity.owner = Owner::OursUnmarked;
    return identity;
}

QVariant nullable(const std::optional<int> &value) {
    return value ? QVariant(*value) : QVariant(QMetaType(QMetaType::Int));
}

QString oneLine(QString text) {
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

// Stored text as a terminal may be shown it: a backslash as \\, control characters (C1 and
// DEL included) as \xNN, line separators and invisible format characters (a right-to-left
// override) as \uNNNN, so a device name or an error text can neither move the cursor nor split
// or disguise a record.
QString terminalText(const QString &text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            shown += QLatin1String("\\\\");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Format || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph)
            shown += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

} // namespace

QDebug operator<<(QDebug debug, const JournalRecord &record) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "JournalRecord(" << record.id << ", " << isoTime(record.started) << " to "
                    << (record.finished ? isoTime(*record.finished) : QStringLiteral("-")) << ", "
                    << record.program << ' ' << record.job << ", port " << record.port << ' '
                    << record.device << ", "
                    << record.outcome.value_or(QStringLiteral("unfinished"));
    if (record.error)
        debug << " (" << *record.error << ')';
    debug << ", " << record.frames << " frames, lights " << record.lights;
    if (record.delaySeconds)
        debug << ", delay " << *record.delaySeconds;
    if (record.rows)
        debug << ", " << record.rows->size() << " rows";
    debug << ')';
    return debug;
}

// ---- opening -----------------------------------------------------------------------------------

Journal::Journal(QString path, JournalOptions options)
    : m_path(std::move(path))
    , m_options(options)
    , m_connection(QStringLiteral("display.journal.%1").arg(++connectionCounter)) {}

Journal::~Journal() {
    try {
        if (m_inBatch)
            endBatch();
        close();
        if (QSqlDatabase::contains(m_connection))
            QSqlDatabase::removeDatabase(m_connection);
    } catch (...) {
    }
}

QString Journal::defaultPath(const QString &configPath) {
    const QFileInfo config(configPath.isEmpty() ? QStringLiteral("display.cfg") : configPath);
    return QDir(config.absolutePath()).filePath(QStringLiteral("display-journal.db"));
}

QStringList Journal::rowsOf(const PageSet &pages) {
    QStringList rows;
    rows.reserve(PageSet::RowCount);
    for (int index = 0; index < PageSet::RowCount; ++index)
        rows.append(pages.row(index));
    return rows;
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
    const int code = error.nativeErrorCode().toInt() & 0xff;
    qCInfo(lcJournal).noquote() << "could not be" << what << "-" << error.text() << "- code"
                                << code;
    if ((code == SqliteCorrupt || code == SqliteNotADatabase) && !m_damageSeen) {
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
    if (query.value(0).toInt() >= SchemaVersion) {
        query.finish();
        rollback();
        return true;
    }
    for (const char *statement : schema) {
        if (!run(QString::fromLatin1(statement)))
            return false;
    }
    if (!run(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion)) ||
        !run(QStringLiteral("PRAGMA application_id=%1").arg(ApplicationId)))
        return false;
    query.finish();
    if (!commit())
        return false;
    qCInfo(lcJournal).noquote() << "created the journal schema in" << m_path;
    return true;
}

// BEGIN IMMEDIATE takes the write lock at once, waiting for it under the busy timeout; a
// deferred transaction that upgrades later may be refused at once.
bool Journal::transaction() {
    if (m_inBatch)
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    const QSqlError error = query.lastError();
    query.finish();
    fail(QStringLiteral("written"), error);
    return false;
}

bool Journal::commit() {
    if (m_inBatch)
        return true;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    const QSqlError error = query.lastError();
    query.finish();
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
    try {
        if (m_inBatch || !ensureOpen(true) || !transaction())
            return false;
        m_inBatch = true;
        return true;
    } catch (...) {
        return false;
    }
}

bool Journal::endBatch() {
    try {
        if (!m_inBatch)
            return false;
        m_inBatch = false;
        return commit();
    } catch (...) {
        return false;
    }
}

// ---- writing -----------------------------------------------------------------------------------

std::optional<qint64> Journal::rowSetId(const QStringList &rows, QSqlError &error) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QByteArray json = rowsJson(rows);
    const QByteArray hash = QCryptographicHash::hash(json, QCryptographicHash::Sha256);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id FROM rowsets WHERE hash = ?"));
    query.addBindValue(hash);
    if (!query.exec()) {
        error = query.lastError();
        return std::nullopt;
    }
    if (query.next())
        return query.value(0).toLongLong();
    query.prepare(QStringLiteral("INSERT INTO rowsets (hash, rows) VALUES (?, ?)"));
    query.addBindValue(hash);
    query.addBindValue(QString::fromUtf8(json));
    if (!query.exec()) {
        error = query.lastError();
        return std::nullopt;
    }
    return query.lastInsertId().toLongLong();
}

qint64 Journal::begin(const JournalStart &start) {
    try {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!ensureOpen(true) || !transaction())
                return -1;
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            QSqlQuery query(db);
            QVariant rowset{QMetaType(QMetaType::LongLong)};
            bool ok = true;
            QSqlError error;
            if (start.rows) {
                const std::optional<qint64> id = rowSetId(*start.rows, error);
                if (id)
                    rowset = *id;
                else
                    ok = false;
            }
            if (ok) {
                query.prepare(
                    QStringLiteral("INSERT INTO jobs (started, program, job, port, device, delay, "
                                   "rowset) VALUES (?, ?, ?, ?, ?, ?, ?)"));
                query.addBindValue(isoTime(start.started));
                query.addBindValue(start.program);
                query.addBindValue(start.job);
                query.addBindValue(start.port);
                // A port number with no device has a null device text, which NOT NULL refuses.
                query.addBindValue(start.device.isNull() ? QStringLiteral("") : start.device);
                query.addBindValue(nullable(start.delaySeconds));
                query.addBindValue(rowset);
                ok = query.exec();
                if (!ok)
                    error = query.lastError();
            }
            if (ok) {
                const qint64 id = query.lastInsertId().toLongLong();
                query.finish();
                if (!commit())
                    return -1;
                if (!m_inBatch)
                    succeeded();
                qCDebug(lcJournal) << "began record" << id << start.program << start.job;
                return id;
            }
            query.finish();
            rollback();
            if (!fail(QStringLiteral("written"), error))
                return -1;
            // The file was damaged and moved aside: once more on a fresh one.
        }
    } catch (...) {
        qCWarning(lcJournal) << "begin: unexpected exception";
    }
    return -1;
}

void Journal::finish(qint64 id, const JournalEnd &end) {
    if (id < 0)
        return;
    try {
        if (!ensureOpen(true) || !transaction())
            return;
        QSqlError error;
        QVariant rowset{QMetaType(QMetaType::LongLong)};
        if (end.rows) {
            const std::optional<qint64> rowsetId = rowSetId(*end.rows, error);
            if (!rowsetId) {
                rollback();
                fail(QStringLiteral("written"), error);
                return;
            }
            rowset = *rowsetId;
        }
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        query.prepare(QStringLiteral("UPDATE jobs SET finished = ?, outcome = ?, error = ?, "
                                     "frames = ?, lights = ?, delay = coalesce(?, delay), "
                                     "rowset = coalesce(?, rowset) WHERE id = ?"));
        query.addBindValue(isoTime(end.finished));
        query.addBindValue(end.outcome);
        query.addBindValue(end.error.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                               : QVariant(end.error));
        query.addBindValue(end.frames);
        query.addBindValue(end.lights);
        query.addBindValue(nullable(end.delaySeconds));
        query.addBindValue(rowset);
        query.addBindValue(id);
        if (!query.exec()) {
            error = query.lastError();
            query.finish();
            rollback();
            fail(QStringLiteral("written"), error);
            return;
        }
        query.finish();
        if (commit() && !m_inBatch)
            succeeded();
        qCDebug(lcJournal) << "finished record" << id << end.outcome;
    } catch (...) {
        qCWarning(lcJournal) << "finish: unexpected exception";
    }
}

// ---- reading -----------------------------------------------------------------------------------

namespace {

constexpr auto RecordColumns =
    "j.id, j.started, j.finished, j.program, j.job, j.port, j.device, j.outcome, j.error, "
    "j.frames, j.lights, j.delay";

JournalRecord recordAt(const QSqlQuery &query, bool withRows) {
    JournalRecord record;
    record.id = query.value(0).toLongLong();
    record.started = fromIsoTime(query.value(1).toString());
    if (!query.isNull(2))
        record.finished = fromIsoTime(query.value(2).toString());
    record.program = query.value(3).toString();
    record.job = query.value(4).toString();
    record.port = query.value(5).toInt();
    record.device = query.value(6).toString();
    if (!query.isNull(7))
        record.outcome = query.value(7).toString();
    if (!query.isNull(8))
        record.error = query.value(8).toString();
    record.frames = query.value(9).toInt();
    record.lights = query.value(10).toString();
    if (!query.isNull(11))
        record.delaySeconds = query.value(11).toInt();
    if (withRows && !query.isNull(12))
        record.rows = rowsFromJson(query.value(12).toString().toUtf8());
    return record;
}

QString recordQuery(bool withRows, const QString &where) {
    return withRows ? QStringLiteral("SELECT %1, r.rows FROM jobs j LEFT JOIN rowsets r ON r.id = "
                                     "j.rowset %2")
                          .arg(QLatin1String(RecordColumns), where)
                    : QStringLiteral("SELECT %1 FROM jobs j %2")
                          .arg(QLatin1String(RecordColumns), where);
}

} // namespace

QList<JournalRecord> Journal::select(const QString &where, int limit) {
    QList<JournalRecord> records;
    if (limit <= 0 || !ensureOpen(false))
        return records;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(recordQuery(true, where + QStringLiteral(" ORDER BY j.id DESC LIMIT ?")));
    query.addBindValue(limit);
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        if (fail(QStringLiteral("read"), error))
            ensureOpen(true);
        return records;
    }
    while (query.next())
        records.append(recordAt(query, true));
    return records;
}

QList<JournalRecord> Journal::history(int limit) {
    try {
        return select(QString(), limit);
    } catch (...) {
        return {};
    }
}

std::optional<JournalRecord> Journal::lastUpload() {
    try {
        const QList<JournalRecord> records = select(QStringLiteral("WHERE j.job = 'upload'"), 1);
        if (!records.isEmpty())
            return records.first();
    } catch (...) {
    }
    return std::nullopt;
}

// ---- reading without writing -------------------------------------------------------------------

namespace {

// Opens the journal at path read-only on connection, or says why not. A journal in WAL mode
// whose folder the reader cannot write may refuse a read-only open (its -shm cannot be made):
// it is then read as an immutable file, which sees what was checkpointed into the file itself.
QString openReadOnly(const QString &path, const QString &connection, Identity &identity) {
    const QString shown = QDir::toNativeSeparators(path);
    // Without a -wal file the journal file holds every record, and reading it as immutable
    // creates nothing beside it (no -wal, no -shm): the same bytes, read without a trace.
    const bool walLeft = QFileInfo::exists(path + QStringLiteral("-wal"));
    for (const bool immutable : {false, true}) {
        if (!immutable && !walLeft)
            continue;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        if (!db.isValid())
            return QStringLiteral("the job journal cannot be read: Qt's SQLite driver (QSQLITE, "
                                  "package libqt6sql6-sqlite) is missing");
        if (immutable) {
            QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
            url.setQuery(QStringLiteral("immutable=1"));
            db.setDatabaseName(url.toString(QUrl::FullyEncoded));
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        } else {
            db.setDatabaseName(path);
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        }
        QSqlError error;
        if (db.open()) {
            identity = identify(db);
            if (!identity.error.isValid())
                return {};
            error = identity.error;
        } else {
            error = db.lastError();
        }
        db.close();
        if (isDamage(error) || immutable) {
            return QStringLiteral("the job journal %1 cannot be read (%2)")
                .arg(shown, error.databaseText());
        }
        qCInfo(lcJournal) << "read-only open refused, reading it as immutable:" << error.text();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connection);
    }
    return {};
}

} // namespace

JournalReading readJournal(const QString &path, int limit, bool withRows,
                           const std::function<void(const JournalRecord &)> &each) {
    JournalReading reading;
    struct stat st {};
    reading.exists = ::lstat(QFile::encodeName(path).constData(), &st) == 0;
    if (!reading.exists || limit <= 0)
        return reading;
    const QString shown = QDir::toNativeSeparators(path);
    if (const QString place = placeProblem(path); !place.isEmpty()) {
        reading.problem = QStringLiteral("the job journal cannot be read: %1").arg(place);
        return reading;
    }
    const QString connection = QStringLiteral("display.journal.read.%1").arg(++connectionCounter);
    try {
        Identity identity;
        reading.problem = openReadOnly(path, connection, identity);
        if (reading.problem.isEmpty()) {
            QSqlDatabase db = QSqlDatabase::database(connection, false);
            if (identity.owner == Owner::Foreign) {
                reading.problem =
                    QStringLiteral("%1 is not a job journal of these programs").arg(shown);
            } else if (identity.version > Journal::SchemaVersion) {
                reading.problem = QStringLiteral("the job journal %1 was written by a newer "
                                                 "version of this program (schema %2)")
                                      .arg(shown, QString::number(identity.version));
            } else if (identity.owner != Owner::Empty) {
                QSqlQuery query(db);
                query.setForwardOnly(true);
                query.prepare(recordQuery(withRows, QStringLiteral("ORDER BY j.id DESC LIMIT ?")));
                query.addBindValue(limit);
                qint64 oldestRead = -1;
                if (query.exec()) {
                    while (query.next()) {
                        const JournalRecord record = recordAt(query, withRows);
                        oldestRead = record.id;
                        ++reading.read;
                        each(record);
                    }
                }
                QSqlError error = query.lastError();
                query.finish();
                if (error.isValid() && reading.read < limit) {
                    // The newest end is damaged (a truncated file loses its last pages first):
                    // what can be read from the oldest end is read, and handed out newest first.
                    const qint64 wanted = limit - reading.read;
                    std::deque<qint64> ids;
                    QSqlQuery scan(db);
                    scan.setForwardOnly(true);
                    if (scan.exec(QStringLiteral("SELECT id FROM jobs ORDER BY id"))) {
                        while (scan.next()) {
                            const qint64 id = scan.value(0).toLongLong();
                            if (oldestRead >= 0 && id >= oldestRead)
                                break;
                            ids.push_back(id);
                            if (qint64(ids.size()) > wanted)
                                ids.pop_front();
                        }
                    }
                    scan.finish();
                    QSqlQuery one(db);
                    one.prepare(recordQuery(withRows, QStringLiteral("WHERE j.id = ?")));
                    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
                        one.addBindValue(*it);
                        if (one.exec() && one.next()) {
                            ++reading.read;
                            each(recordAt(one, withRows));
                        }
                        one.finish();
                    }
                    reading.problem =
                        QStringLiteral("the job journal %1 is damaged (%2); %3 "
                                       "records could be read, the others not")
                            .arg(shown, error.databaseText(), QString::number(reading.read));
                }
            }
        }
    } catch (...) {
        reading.problem = QStringLiteral("the job journal %1 could not be read").arg(shown);
    }
    QSqlDatabase::removeDatabase(connection);
    return reading;
}

// ---- renderings --------------------------------------------------------------------------------

QString historyLine(const JournalRecord &record) {
    QStringList fields;
    fields << record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (record.finished) {
        const qint64 ms = record.started.msecsTo(*record.finished);
        fields << QStringLiteral("%1 s").arg(double(ms) / 1000.0, 6, 'f', 1);
    } else {
        fields << QStringLiteral("     - ");
    }
    fields << terminalText(record.program).leftJustified(7)
           << terminalText(record.job).leftJustified(6);
    const QString device = terminalText(record.device);
    fields << (record.port > 0
                   ? QStringLiteral("COM %1 %2").arg(QString::number(record.port), device)
                   : device);
    fields << terminalText(record.outcome.value_or(QStringLiteral("unfinished")));
    fields << QStringLiteral("%1 frames").arg(record.frames);
    fields << QStringLiteral("lights %1").arg(terminalText(record.lights));
    if (record.error) {
        QString error = oneLine(*record.error);
        constexpr int Short = 60;
        if (error.size() > Short)
            error = error.left(Short - 3) + QStringLiteral("...");
        fields << terminalText(error);
    }
    return fields.join(QStringLiteral("  "));
}

namespace {

// text as a JSON string. JSON allows DEL and the C1 controls raw, and a terminal acts on them:
// they are escaped as the C0 ones must be. Written directly rather than through QJsonDocument:
// --history --json of a whole journal writes hundreds of thousands of records.
void appendJsonString(QByteArray &out, QStringView text) {
    out += '"';
    qsizetype plain = 0; // where the run of characters taken as they are began
    const char16_t *const chars = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = chars[i];
        const bool control = u < 0x20 || (u >= 0x7f && u < 0xa0);
        if (!control && u != u'"' && u != u'\\')
            continue;
        out += text.sliced(plain, i - plain).toUtf8();
        plain = i + 1;
        switch (u) {
        case u'"':
            out += "\\\"";
            break;
        case u'\\':
            out += "\\\\";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += "0123456789abcdef"[u >> 4];
            out += "0123456789abcdef"[u & 0xf];
        }
    }
    out += text.sliced(plain).toUtf8();
    out += '"';
}

} // namespace

QByteArray historyJson(const JournalRecord &record) {
    QByteArray line;
    line.reserve(record.rows ? 4096 : 512);
    const auto key = [&line](const char *name) {
        line += line.isEmpty() ? "{\"" : ",\"";
        line += name;
        line += "\":";
    };
    const auto text = [&](const char *name, const std::optional<QString> &value) {
        key(name);
        if (value)
            appendJsonString(line, *value);
        else
            line += "null";
    };
    const auto number = [&](const char *name, const std::optional<int> &value) {
        key(name);
        line += value ? QByteArray::number(*value) : QByteArrayLiteral("null");
    };
    text("started", isoTime(record.started));
    text("finished", record.finished ? std::optional(isoTime(*record.finished)) : std::nullopt);
    text("program", record.program);
    text("job", record.job);
    number("port", record.port);
    text("device", record.device);
    text("outcome", record.outcome);
    text("error", record.error);
    number("frames", record.frames);
    text("lights", record.lights);
    number("delay", record.delaySeconds);
    key("rows");
    if (record.rows) {
        line += '[';
        for (qsizetype index = 0; index < record.rows->size(); ++index) {
            if (index > 0)
                line += ',';
            appendJsonString(line, record.rows->at(index));
        }
        line += ']';
    } else {
        line += "null";
    }
    line += '}';
    return line;
}

QString lastUploadSummary(const std::optional<JournalRecord> &upload) {
    if (!upload)
        return {};
    const QString when = upload->started.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    QString result;
    if (!upload->finished || !upload->outcome) {
        result = QStringLiteral("it did not finish");
    } else if (*upload->outcome == QLatin1String("port-error")) {
        result = QStringLiteral("the port failed");
    } else if (*upload->outcome == QLatin1String("aborted")) {
        result = QStringLiteral("it was stopped before the end");
    } else {
        QStringList silent;
        for (int board = 1; board <= BoardAddress::Highest; ++board) {
            if (board >= upload->lights.size() || upload->lights.at(board) != QLatin1Char('g'))
                silent << QString::number(board);
        }
        if (silent.isEmpty())
            result = QStringLiteral("all boards answered");
        else if (silent.size() == BoardAddress::Highest)
            result = QStringLiteral("no board answered");
        else if (silent.size() == 1)
            result = QStringLiteral("board %1 did not answer").arg(silent.first());
        else
            result = QStringLiteral("boards %1 and %2 did not answer")
                         .arg(silent.mid(0, silent.size() - 1).join(QStringLiteral(", ")),
                              silent.last());
    }
    return QStringLiteral("Last sent %1; %2").arg(when, result);
}

QString lastUploadSummary(const QList<JournalRecord> &records) {
    for (const JournalRecord &record : records) {
        if (record.job == QLatin1String("upload"))
            return lastUploadSummary(std::optional<JournalRecord>(record));
    }
    return {};
}
