#include "journalcolumn.h"
#include "journalseal.h"
#include "journalsql.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QUrl>

#include <deque>
#include <sys/stat.h>

using namespace journal_detail;

JournalRecord journalRecord(const JournalStart &start) {
    const auto textOrNull = [](const QString &text) {
        return text.isEmpty() ? std::nullopt : std::optional(text);
    };
    JournalRecord record;
    record.started = start.started;
    record.program = start.program;
    record.job = start.job;
    record.port = start.port;
    record.device = start.device;
    record.lights = QStringLiteral("ccccccccc");
    record.delaySeconds = start.delaySeconds;
    record.rows = start.rows;
    record.user = textOrNull(start.user);
    record.host = textOrNull(start.host);
    record.boards = textOrNull(boardsText(start.boards));
    return record;
}

JournalRecord journalRecord(const JournalStart &start, const JournalEnd &end) {
    JournalRecord record = journalRecord(start);
    record.finished = end.finished;
    record.outcome = end.outcome;
    if (!end.error.isEmpty())
        record.error = end.error;
    record.frames = end.frames;
    record.lights = end.lights;
    if (end.delaySeconds)
        record.delaySeconds = end.delaySeconds;
    if (end.rows)
        record.rows = end.rows;
    record.unavailable = end.unavailable;
    return record;
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
            static const QString statement = insertStatement();
            query.prepare(statement);
            for (const QVariant &value : columnValues(journalRecord(start), false))
                query.addBindValue(value);
            query.addBindValue(rowset);
            ok = query.exec();
            if (!ok)
                error = query.lastError();
        }
        if (ok) {
            const qint64 id = query.lastInsertId().toLongLong();
            query.finish();
            // Sealed in the same transaction: a record is never there without its first seal.
            if (!seal(id, int(SealStage::Begin), start.started) || !commit())
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
    return -1;
}

void Journal::finish(qint64 id, const JournalEnd &end) {
    if (id < 0)
        return;
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
    // A record sealed at its end is never changed again.
    static const QString statement =
        updateStatement() +
        QStringLiteral(" AND NOT EXISTS (SELECT 1 FROM seals WHERE record = ? AND stage = %1)")
            .arg(int(SealStage::End));
    query.prepare(statement);
    // Only the fields the end gives are bound: the start's are in the journal already.
    for (const QVariant &value : columnValues(journalRecord(JournalStart(), end), true))
        query.addBindValue(value);
    query.addBindValue(rowset);
    query.addBindValue(id);
    query.addBindValue(id);
    if (!query.exec() ||
        (query.numRowsAffected() > 0 && !seal(id, int(SealStage::End), end.finished))) {
        if (!query.lastError().isValid())
            return; // the seal's failure is recorded and rolled back
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
}

// ---- reading -----------------------------------------------------------------------------------

namespace journal_detail {

// The stored rows follow id and the fields.
const int RowsColumn = 1 + int(journalColumns().size());

JournalRecord recordAt(const QSqlQuery &query, bool withRows, int first) {
    JournalRecord record;
    record.id = query.value(first).toLongLong();
    int index = first + 1;
    for (const JournalColumn &column : journalColumns())
        column.read(record, query, index++);
    if (withRows && !query.isNull(first + RowsColumn))
        record.rows = rowsFromJson(query.value(first + RowsColumn).toByteArray());
    return record;
}

QString recordQuery(bool withRows, const QString &where, int version) {
    const QString columns = selectedColumns(version);
    // As bytes: the UTF-8 the journal holds, not decoded into a QString and encoded back.
    return withRows ? QStringLiteral("SELECT %1, CAST(r.rows AS BLOB) FROM jobs j LEFT JOIN "
                                     "rowsets r ON r.id = j.rowset %2")
                          .arg(columns, where)
                    : QStringLiteral("SELECT %1 FROM jobs j %2").arg(columns, where);
}

} // namespace journal_detail

QList<JournalRecord> Journal::select(const QString &where, int limit, const QVariantList &values) {
    QList<JournalRecord> records;
    if (limit <= 0 || !ensureOpen(false))
        return records;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(recordQuery(true, where + QStringLiteral(" ORDER BY j.id DESC LIMIT ?")));
    for (const QVariant &value : values)
        query.addBindValue(value);
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
    return select(QString(), limit);
}

std::optional<JournalRecord> Journal::lastUpload() {
    const QList<JournalRecord> records = select(QStringLiteral("WHERE j.job = 'upload'"), 1);
    if (!records.isEmpty())
        return records.first();
    return std::nullopt;
}

std::optional<JournalRecord> Journal::record(qint64 id) {
    const QList<JournalRecord> records =
        select(QStringLiteral("WHERE j.id = ?"), 1, {QVariant(id)});
    return records.isEmpty() ? std::nullopt : std::optional(records.first());
}

std::optional<JournalRecord> Journal::previousOf(const JournalRecord &record) {
    const QList<JournalRecord> records =
        select(QStringLiteral("WHERE j.job = ? AND j.port = ? AND j.device = ? AND j.id < ? AND "
                              "j.outcome IN ('complete', 'port-error')"),
               1, {record.job, record.port, record.device, record.id});
    return records.isEmpty() ? std::nullopt : std::optional(records.first());
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

namespace journal_detail {

bool openForReading(const QString &path, const QString &connection, Identity &identity,
                    QString &problem) {
    const QString shown = QDir::toNativeSeparators(path);
    if (const QString place = placeProblem(path); !place.isEmpty()) {
        problem = QStringLiteral("the job journal cannot be read: %1").arg(place);
        return false;
    }
    problem = openReadOnly(path, connection, identity);
    if (!problem.isEmpty())
        return false;
    if (identity.owner == Owner::Foreign)
        problem = QStringLiteral("%1 is not a job journal of these programs").arg(shown);
    else if (identity.version > Journal::SchemaVersion)
        problem = QStringLiteral("the job journal %1 was written by a newer version of this "
                                 "program (schema %2)")
                      .arg(shown, QString::number(identity.version));
    return problem.isEmpty() && identity.owner != Owner::Empty;
}

} // namespace journal_detail

namespace {

bool exists(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

JournalReading readJournal(
    const QString &path, int limit, bool withRows,
    const std::function<void(const JournalRecord &record, QByteArrayView storedRows)> &each) {
    JournalReading reading;
    const auto handOut = [&](const QSqlQuery &query) {
        const JournalRecord record = recordAt(query, false);
        const QByteArray rows = withRows ? query.value(RowsColumn).toByteArray() : QByteArray();
        ++reading.read;
        each(record, rows);
        return record.id;
    };
    reading.exists = exists(path);
    if (!reading.exists || limit <= 0)
        return reading;
    const QString shown = QDir::toNativeSeparators(path);
    const QString connection = newConnectionName("display.journal.read");
    Identity identity;
    if (openForReading(path, connection, identity, reading.problem)) {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(
            recordQuery(withRows, QStringLiteral("ORDER BY j.id DESC LIMIT ?"), identity.version));
        query.addBindValue(limit);
        qint64 oldestRead = -1;
        if (query.exec()) {
            while (query.next())
                oldestRead = handOut(query);
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
            one.prepare(recordQuery(withRows, QStringLiteral("WHERE j.id = ?"), identity.version));
            for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
                one.addBindValue(*it);
                if (one.exec() && one.next())
                    handOut(one);
                one.finish();
            }
            reading.problem = QStringLiteral("the job journal %1 is damaged (%2); %3 "
                                             "records could be read, the others not")
                                  .arg(shown, error.databaseText(), QString::number(reading.read));
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return reading;
}

JournalLookup readNewest(const QString &path, const QString &job, int port, const QString &device,
                         const QString &outcome) {
    JournalLookup lookup;
    lookup.exists = exists(path);
    if (!lookup.exists)
        return lookup;
    const QString shown = QDir::toNativeSeparators(path);
    const QString connection = newConnectionName("display.journal.read");
    Identity identity;
    if (openForReading(path, connection, identity, lookup.problem)) {
        QSqlQuery query(QSqlDatabase::database(connection, false));
        query.setForwardOnly(true);
        query.prepare(
            recordQuery(false,
                        QStringLiteral("WHERE j.job = ? AND j.port = ? AND "
                                       "j.device = ? AND (coalesce(?, '') = '' OR j.outcome = ?) "
                                       "ORDER BY j.id DESC LIMIT 1"),
                        identity.version));
        for (const QVariant &value : {QVariant(job), QVariant(port), QVariant(device),
                                      QVariant(outcome), QVariant(outcome)})
            query.addBindValue(value);
        if (query.exec() && query.next())
            lookup.record = recordAt(query, false);
        else if (query.lastError().isValid())
            lookup.problem = QStringLiteral("the job journal %1 cannot be read (%2)")
                                 .arg(shown, query.lastError().databaseText());
        query.finish();
    }
    QSqlDatabase::removeDatabase(connection);
    return lookup;
}
