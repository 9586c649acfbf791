#include "journalsql.h"

#include <QFileInfo>
#include <QSqlQuery>

using namespace journal_detail;

std::optional<ForwardBatch> Journal::unforwarded(int limit, QDateTime now) {
    ForwardBatch batch;
    if (!QFileInfo::exists(m_path))
        return batch; // no journal yet: nothing to forward
    if (!ensureOpen(false))
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT journal, mark FROM forwarding")) || !query.next()) {
        const QSqlError error = query.lastError();
        query.finish();
        fail(QStringLiteral("read"), error);
        return std::nullopt;
    }
    batch.journalId = query.value(0).toString();
    batch.lastId = query.value(1).toLongLong();
    query.finish();
    // Those forwarded unfinished that have ended since: the shared journal completes them.
    if (!query.exec(recordQuery(true, QStringLiteral("WHERE j.id IN (SELECT id FROM "
                                                     "forwarded_unfinished) AND j.finished IS "
                                                     "NOT NULL ORDER BY j.id")))) {
        const QSqlError error = query.lastError();
        query.finish();
        fail(QStringLiteral("read"), error);
        return std::nullopt;
    }
    while (query.next())
        batch.records.append({recordAt(query, false), query.value(RowsColumn).toByteArray()});
    batch.completed = batch.records.size();
    query.finish();
    query.prepare(recordQuery(true, QStringLiteral("WHERE j.id > ? ORDER BY j.id LIMIT ?")));
    query.addBindValue(batch.lastId);
    query.addBindValue(limit);
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        fail(QStringLiteral("read"), error);
        return std::nullopt;
    }
    while (query.next()) {
        JournalRecord record = recordAt(query, false);
        // A job still running is forwarded once it has ended, and everything after it waits, so
        // that the mark never passes a record that is not yet in the shared journal.
        if (!record.finished && record.started.secsTo(now) < ForwardBatch::UnfinishedAfterSeconds)
            break;
        batch.lastId = record.id;
        batch.records.append({std::move(record), query.value(RowsColumn).toByteArray()});
    }
    succeeded();
    return batch;
}

bool Journal::markForwarded(qint64 lastId) {
    if (!ensureOpen(false))
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("UPDATE forwarding SET mark = max(mark, ?)"));
    query.addBindValue(lastId);
    if (!query.exec()) {
        const QSqlError error = query.lastError();
        query.finish();
        fail(QStringLiteral("written"), error);
        return false;
    }
    succeeded();
    return true;
}

bool Journal::markForwarded(const ForwardBatch &batch) {
    if (!ensureOpen(false))
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    bool ok = db.transaction();
    for (const auto &[record, rows] : batch.records) {
        ok = ok &&
             query.prepare(record.finished
                               ? QStringLiteral("DELETE FROM forwarded_unfinished WHERE id = ?")
                               : QStringLiteral("INSERT OR IGNORE INTO forwarded_unfinished "
                                                "VALUES (?)"));
        if (ok) {
            query.addBindValue(record.id);
            ok = query.exec();
        }
    }
    ok = ok && query.prepare(QStringLiteral("UPDATE forwarding SET mark = max(mark, ?)"));
    if (ok) {
        query.addBindValue(batch.lastId);
        ok = query.exec();
    }
    if (!ok || !db.commit()) {
        const QSqlError error = query.lastError().isValid() ? query.lastError() : db.lastError();
        query.finish();
        db.rollback();
        fail(QStringLiteral("written"), error);
        return false;
    }
    succeeded();
    return true;
}
