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

bool Journal::openOnce() {
    QElapsedTimer timer;
    timer.start();
    if (!QSqlDatabase::contains(m_connection))
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isValid()) {
        raise(QStringLiteral("The job journal cannot be kept: Qt's SQLite driver (QSQLITE, "
                             "package libqt6sql6-sqlite) is missing; jobs go on without it."));
        m_state = State::Disabled;
        return false;
    }
    db.setDatabaseName(m_path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_options.busyTimeoutMs));
    if (!db.open()) {
        const QFileInfo folder(QFileInfo(m_path).absolutePath());
        QString reason = db.lastError().databaseText();
        if (!folder.isDir())
            reason = QStringLiteral("its folder does not exist");
        else if (!folder.isWritable())
            reason = QStringLiteral("its folder is not writable");
        raise(QStringLiteral("The job journal %1 could not be opened (%2); jobs go on without it.")
                  .arg(QDir::toNativeSeparators(m_path), reason));
        return false;
    }

    int version = 0;
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
            const QSqlError error = query.lastError();
            query.finish();
            fail(QStringLiteral("read"), error);
            close();
            return false;
        }
        version = query.value(0).toInt();
    }
    if (version > SchemaVersion) {
        // Never altered: not even its journal mode.
        db.close();
        m_state = State::Disabled;
        m_failing = false;
        raise(QStringLiteral("The job journal %1 was written by a newer version of this program "
                             "(schema %2; this one knows %3); it is left as it is and jobs are not "
                             "journaled.")
                  .arg(QDir::toNativeSeparators(m_path), QString::number(version),
                       QString::number(SchemaVersion)));
        return false;
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

    if (version < SchemaVersion && !createSchema()) {
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
    if (!run(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion)))
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

QList<JournalRecord> Journal::select(const QString &where, int limit) {
    QList<JournalRecord> records;
    if (limit <= 0 || !ensureOpen(false))
        return records;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT j.id, j.started, j.finished, j.program, j.job, j.port, "
                                 "j.device, j.outcome, j.error, j.frames, j.lights, j.delay, "
                                 "r.rows FROM jobs j LEFT JOIN rowsets r ON r.id = j.rowset %1 "
                                 "ORDER BY j.id DESC LIMIT ?")
                      .arg(where));
    query.addBindValue(limit);
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        if (fail(QStringLiteral("read"), error))
            ensureOpen(true);
        return records;
    }
    while (query.next()) {
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
        if (!query.isNull(12))
            record.rows = rowsFromJson(query.value(12).toString().toUtf8());
        records.append(record);
    }
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
    fields << record.program.leftJustified(7) << record.job.leftJustified(6);
    fields << (record.port > 0
                   ? QStringLiteral("COM %1 %2").arg(QString::number(record.port), record.device)
                   : record.device);
    fields << record.outcome.value_or(QStringLiteral("unfinished"));
    fields << QStringLiteral("%1 frames").arg(record.frames);
    fields << QStringLiteral("lights %1").arg(record.lights);
    if (record.error) {
        QString error = oneLine(*record.error);
        constexpr int Short = 60;
        if (error.size() > Short)
            error = error.left(Short - 3) + QStringLiteral("...");
        fields << error;
    }
    return fields.join(QStringLiteral("  "));
}

namespace {

// A JSON value as text, keys in the order given (QJsonObject would sort them).
QByteArray jsonValue(const QJsonValue &value) {
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QByteArray historyJson(const JournalRecord &record) {
    const auto optionalText = [](const std::optional<QString> &text) {
        return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
    };
    const std::pair<const char *, QJsonValue> fields[] = {
        {"started", isoTime(record.started)},
        {"finished",
         record.finished ? QJsonValue(isoTime(*record.finished)) : QJsonValue(QJsonValue::Null)},
        {"program", record.program},
        {"job", record.job},
        {"port", record.port},
        {"device", record.device},
        {"outcome", optionalText(record.outcome)},
        {"error", optionalText(record.error)},
        {"frames", record.frames},
        {"lights", record.lights},
        {"delay",
         record.delaySeconds ? QJsonValue(*record.delaySeconds) : QJsonValue(QJsonValue::Null)},
        {"rows", record.rows ? QJsonValue(QJsonArray::fromStringList(*record.rows))
                             : QJsonValue(QJsonValue::Null)},
    };
    QByteArray line = "{";
    for (const auto &[key, value] : fields) {
        if (line.size() > 1)
            line += ',';
        line += '"';
        line += key;
        line += "\":";
        line += jsonValue(value);
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
