#include "journalsql.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>

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
    query.finish();
    if (!batch.records.isEmpty() && !readSeals(batch))
        return std::nullopt;
    succeeded();
    return batch;
}

bool Journal::readSeals(ForwardBatch &batch) {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const auto failed = [this, &query] {
        const QSqlError error = query.lastError();
        query.finish();
        fail(QStringLiteral("read"), error);
        return false;
    };
    // A journal from before sealing has neither table: nothing to send.
    if (!db.tables().contains(QStringLiteral("sealing")))
        return true;
    if (!query.exec(QStringLiteral("SELECT key_id, origin, epoch_seconds, first_record, since, "
                                   "epoch, seal FROM sealing")))
        return failed();
    if (!query.next())
        return true;
    batch.sealing = JournalSealing{query.value(0).toByteArray(), query.value(1).toLongLong(),
                                   query.value(2).toLongLong(),  query.value(3).toLongLong(),
                                   query.value(4).toString(),    query.value(5).toLongLong(),
                                   query.value(6).toByteArray()};
    query.finish();
    // The seals of the batch's records, and those made in between for records still to come:
    // the office follows the chain through them.
    qint64 first = -1;
    qint64 last = -1;
    query.prepare(QStringLiteral("SELECT min(seq), max(seq) FROM seals WHERE record = ?"));
    for (const auto &[record, rows] : batch.records) {
        query.addBindValue(record.id);
        if (!query.exec())
            return failed();
        if (query.next() && !query.isNull(0)) {
            const qint64 low = query.value(0).toLongLong();
            const qint64 high = query.value(1).toLongLong();
            first = first < 0 ? low : std::min(first, low);
            last = std::max(last, high);
        }
        query.finish();
    }
    if (first < 0)
        return true;
    const auto readAll = [&batch, &query] {
        if (!query.exec())
            return false;
        while (query.next())
            batch.seals.append({query.value(0).toLongLong(), query.value(1).toLongLong(),
                                query.value(2).toInt(), query.value(3).toLongLong(),
                                query.value(4).toByteArray()});
        query.finish();
        return true;
    };
    if (last - first < ForwardBatch::MaxSealsPerRecord * batch.records.size()) {
        query.prepare(QStringLiteral("SELECT seq, record, stage, epoch, seal FROM seals WHERE "
                                     "seq BETWEEN ? AND ? ORDER BY seq"));
        query.addBindValue(first);
        query.addBindValue(last);
        return readAll() || failed();
    }
    // Too many made in between (a record that ran for long beside many others): the records'
    // own seals only, and the office's walk meets a gap in the chain there.
    query.prepare(QStringLiteral("SELECT seq, record, stage, epoch, seal FROM seals WHERE "
                                 "record = ? ORDER BY seq"));
    for (const auto &[record, rows] : batch.records) {
        query.addBindValue(record.id);
        if (!readAll())
            return failed();
    }
    std::sort(batch.seals.begin(), batch.seals.end(),
              [](const JournalSeal &a, const JournalSeal &b) { return a.seq < b.seq; });
    return true;
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
