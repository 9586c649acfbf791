#include "journalcolumn.h"
#include "journalseal.h"
#include "journalsql.h"

#include <QDir>
#include <QFile>
#include <QSqlQuery>

#include <sys/stat.h>

using namespace journal_detail;

namespace journal_detail {

// Every field as the bytes SQLite holds (an integer as its decimal text): what is sealed is what
// is stored, read without a round trip through UTF-16, which verifying 350,000 records would feel.
QString sealedFields() {
    QStringList fields;
    for (const QString &column : selectedColumns(Journal::SchemaVersion).split(u','))
        fields << QStringLiteral("CAST(%1 AS BLOB)").arg(column.trimmed());
    return fields.join(QStringLiteral(", ")) + QStringLiteral(", r.hash");
}

QString sealedFieldsQuery(const QString &where) {
    return QStringLiteral("SELECT %1 FROM jobs j LEFT JOIN rowsets r ON r.id = j.rowset %2")
        .arg(sealedFields(), where);
}

int sealedFieldsCount() {
    return 2 + int(journalColumns().size());
}

namespace {

void appendNumber(QByteArray &message, qint64 number) {
    const quint64 bits = quint64(number);
    for (int shift = 56; shift >= 0; shift -= 8)
        message.append(char((bits >> shift) & 0xff));
}

// Length first, so that no two different lists of fields give the same bytes.
void appendBytes(QByteArray &message, QByteArrayView bytes) {
    appendNumber(message, bytes.size());
    message.append(bytes);
}

void appendField(QByteArray &message, const std::optional<QByteArray> &field) {
    if (!field) {
        message.append('\xff');
        return;
    }
    message.append('\x01');
    appendBytes(message, *field);
}

} // namespace

std::vector<std::optional<QByteArray>> sealedFieldsAt(const QSqlQuery &query, int first) {
    std::vector<std::optional<QByteArray>> fields;
    readSealedFields(query, first, fields);
    return fields;
}

void readSealedFields(const QSqlQuery &query, int first,
                      std::vector<std::optional<QByteArray>> &fields) {
    fields.resize(size_t(sealedFieldsCount() - 1));
    for (size_t field = 0; field < fields.size(); ++field) {
        const int index = first + 1 + int(field);
        if (query.isNull(index))
            fields[field].reset();
        else
            fields[field] = query.value(index).toByteArray();
    }
}

QByteArray sealMessage(const QSqlQuery &query, int first, SealStage stage, qint64 id, qint64 seq,
                       qint64 epoch, QByteArrayView previous) {
    return sealMessage(sealedFieldsAt(query, first), stage, id, seq, epoch, previous);
}

QByteArray sealMessage(const std::vector<std::optional<QByteArray>> &fields, SealStage stage,
                       qint64 id, qint64 seq, qint64 epoch, QByteArrayView previous) {
    QByteArray message("display-seal record 1\n");
    message.reserve(512);
    message.append(char(stage));
    appendNumber(message, id);
    appendNumber(message, seq);
    appendNumber(message, epoch);
    appendBytes(message, previous);
    size_t index = 0;
    for (const JournalColumn &column : journalColumns()) {
        if (stage == SealStage::End || !column.setAtEnd)
            appendField(message, fields.at(index));
        ++index;
    }
    if (stage == SealStage::End)
        appendField(message, fields.at(index)); // the rows' digest
    return message;
}

QByteArray sealingMessage(const SealKey &key, qint64 firstRecord, const QString &since,
                          qint64 epoch) {
    QByteArray message("display-seal sealing 1\n");
    appendBytes(message, key.id);
    appendNumber(message, key.origin);
    appendNumber(message, key.epochSeconds);
    appendNumber(message, firstRecord);
    appendBytes(message, since.toUtf8());
    appendNumber(message, epoch);
    return message;
}

} // namespace journal_detail

QString Journal::sealKeyPath() const {
    return SealKeyFile::pathFor(m_path);
}

void Journal::sayUnsealed(qint64 id, const QString &why) {
    if (m_unsealedSaid == id)
        return;
    m_unsealedSaid = id;
    const QString line = QStringLiteral("Record %1 of the job journal is not sealed: %2.")
                             .arg(QString::number(id), why);
    qCInfo(lcJournal).noquote() << line;
    m_problem = m_problem.isEmpty() ? line : m_problem + QLatin1Char('\n') + line;
}

std::optional<SealKey> Journal::sealingKey(const QDateTime &moment, QString &why) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    std::optional<QByteArray> sealedBy; // the id of the journal's key, once sealing began
    if (query.exec(QStringLiteral("SELECT key_id FROM sealing")) && query.next())
        sealedBy = query.value(0).toByteArray();
    query.finish();
    const QString shown = QDir::toNativeSeparators(sealKeyPath());
    QString problem;
    std::optional<SealKey> key = SealKeyFile::read(sealKeyPath(), problem);
    if (!key) {
        // Neither a sealing record nor a key: a folder that does not seal.
        struct stat st {};
        if (sealedBy || ::lstat(QFile::encodeName(sealKeyPath()).constData(), &st) == 0)
            why = QStringLiteral("the sealing key %1 cannot be used (%2)").arg(shown, problem);
        return std::nullopt;
    }
    if (sealedBy && *sealedBy != key->id) {
        why = QStringLiteral("the sealing key %1 belongs to another journal").arg(shown);
        return std::nullopt;
    }
    const qint64 epoch = key->epochAt(moment);
    if (epoch > key->epoch) {
        key = key->advancedTo(epoch);
        if (!SealKeyFile::write(sealKeyPath(), *key, false, problem)) {
            why = QStringLiteral("the sealing key %1 could not be carried to epoch %2 (%3)")
                      .arg(shown, QString::number(epoch), problem);
            return std::nullopt;
        }
    }
    if (!sealedBy) {
        // A key beside a journal that has no sealing record (a fresh journal after a damaged one
        // was moved aside): sealing begins again here, which --verify says.
        QSqlQuery last(QSqlDatabase::database(m_connection, false));
        qint64 first = 1;
        if (last.exec(QStringLiteral("SELECT coalesce(max(id), 0) FROM jobs")) && last.next())
            first = last.value(0).toLongLong();
        last.finish();
        const QString since = isoTime(moment);
        const QByteArray seal = key->seal(sealingMessage(*key, first, since, key->epoch));
        query.prepare(QStringLiteral("INSERT INTO sealing VALUES (?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant &value :
             {QVariant(key->id), QVariant(key->origin), QVariant(key->epochSeconds),
              QVariant(first), QVariant(since), QVariant(key->epoch), QVariant(seal)})
            query.addBindValue(value);
        if (!query.exec()) {
            why = QStringLiteral("sealing could not begin (%1)").arg(query.lastError().text());
            return std::nullopt;
        }
    }
    return key;
}

bool Journal::seal(qint64 id, int stage, const QDateTime &moment) {
    QString why;
    const std::optional<SealKey> key = sealingKey(moment, why);
    if (!key) {
        if (!why.isEmpty())
            sayUnsealed(id, why);
        return true;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    qint64 seq = 0;
    QByteArray previous;
    bool ok = query.exec(QStringLiteral("SELECT seq, seal FROM seals ORDER BY seq DESC LIMIT 1"));
    if (ok && query.next()) {
        seq = query.value(0).toLongLong();
        previous = query.value(1).toByteArray();
    } else if (ok) {
        // The first seal follows the sealing record's.
        ok = query.exec(QStringLiteral("SELECT seal FROM sealing")) && query.next();
        if (ok)
            previous = query.value(0).toByteArray();
    }
    if (ok) {
        query.finish();
        static const QString statement = sealedFieldsQuery(QStringLiteral("WHERE j.id = ?"));
        ok = query.prepare(statement);
        query.addBindValue(id);
        ok = ok && query.exec() && query.next();
    }
    if (ok) {
        const QByteArray seal =
            key->seal(sealMessage(query, 0, SealStage(stage), id, seq + 1, key->epoch, previous));
        query.finish();
        ok = query.prepare(QStringLiteral("INSERT INTO seals VALUES (?, ?, ?, ?, ?)"));
        for (const QVariant &value : {QVariant(seq + 1), QVariant(id), QVariant(stage),
                                      QVariant(key->epoch), QVariant(seal)})
            query.addBindValue(value);
        ok = ok && query.exec();
    }
    if (!ok) {
        const QSqlError error = query.lastError();
        query.finish();
        rollback();
        fail(QStringLiteral("written"), error);
        return false;
    }
    return true;
}

std::optional<QString> Journal::startSealing(qint64 epochSeconds, QString &problem, QDateTime now) {
    const QString shown = QDir::toNativeSeparators(sealKeyPath());
    if (!ensureOpen(true) || !transaction()) {
        problem = takeProblem();
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    qint64 first = 1;
    bool ok = query.exec(QStringLiteral("SELECT (SELECT count(*) FROM sealing),"
                                        " (SELECT coalesce(max(id), 0) + 1 FROM jobs)")) &&
              query.next();
    if (ok && query.value(0).toInt() > 0) {
        query.finish();
        rollback();
        problem = QStringLiteral("the job journal %1 is sealed already")
                      .arg(QDir::toNativeSeparators(m_path));
        return std::nullopt;
    }
    if (ok)
        first = query.value(1).toLongLong();
    query.finish();
    const SealKey key = SealKey::create(now, epochSeconds);
    const QString since = isoTime(now);
    if (ok) {
        query.prepare(QStringLiteral("INSERT INTO sealing VALUES (?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant &value :
             {QVariant(key.id), QVariant(key.origin), QVariant(key.epochSeconds), QVariant(first),
              QVariant(since), QVariant(key.epoch),
              QVariant(key.seal(sealingMessage(key, first, since, key.epoch)))})
            query.addBindValue(value);
        ok = query.exec();
    }
    if (!ok) {
        problem = QStringLiteral("the job journal %1 could not be written (%2)")
                      .arg(QDir::toNativeSeparators(m_path), query.lastError().text());
        query.finish();
        rollback();
        return std::nullopt;
    }
    query.finish();
    QString why;
    if (!SealKeyFile::write(sealKeyPath(), key, true, why)) {
        rollback();
        problem = QStringLiteral("the sealing key %1 could not be written (%2)").arg(shown, why);
        return std::nullopt;
    }
    if (!commit()) {
        QFile::remove(sealKeyPath());
        problem = takeProblem();
        return std::nullopt;
    }
    return key.verificationText();
}

QString Journal::advanceSealing(QDateTime now) {
    QString problem;
    if (!SealKeyFile::read(sealKeyPath(), problem))
        return {}; // not sealed here, or said by the next job
    // Under the journal's write lock, as the seals are made: two processes carry the key
    // forward one after the other.
    if (!ensureOpen(true) || !transaction())
        return takeProblem();
    QString why;
    std::optional<SealKey> key = SealKeyFile::read(sealKeyPath(), why);
    if (key && key->epochAt(now) > key->epoch &&
        !SealKeyFile::write(sealKeyPath(), *key->advancedTo(key->epochAt(now)), false, problem))
        why = QStringLiteral("the sealing key %1 could not be carried forward (%2)")
                  .arg(QDir::toNativeSeparators(sealKeyPath()), problem);
    rollback();
    return why;
}
