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
