#include "sharedjournal.h"

#include "journalcolumn.h"
#include "journalsql.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace journal_detail;

namespace {

using SharedSchema::table;

// A record's sealed fields as the shared journal reads them: each as the text the site sent, an
// integer cast to its decimal text, which is what the site's SQLite held; the rows last.
QString sealedColumns() {
    QStringList columns;
    for (const JournalColumn &column : journalColumns()) {
        const QString name = QLatin1String(column.name);
        if (!SharedSchema::recordColumns().contains(name))
            columns << QStringLiteral("NULL");
        else if (QLatin1String(column.sqlType).startsWith(QLatin1String("INTEGER")))
            columns << QStringLiteral("j.\"%1\"::text").arg(name);
        else
            columns << QStringLiteral("j.\"%1\"").arg(name);
    }
    return columns.join(QStringLiteral(", ")) + QStringLiteral(", r.rows");
}

// One site's journal in the shared journal as the seal walk reads it. The shared journal keeps a
// list as the server rewrote it (jsonb's spacing): it is written again as the site's journal
// wrote it, and the rows' digest is computed here from the rows, so that a change to them at
// the office breaks the record's seal.
class SharedSealedRecords final : public SealedRecords {
public:
    SharedSealedRecords(QSqlDatabase database, QString journal, JournalSealing sealing)
        : m_db(std::move(database))
        , m_journal(std::move(journal))
        , m_sealing(std::move(sealing)) {}

    const QSqlError &error() const { return m_error; }

    std::optional<JournalSealing> sealing() override { return m_sealing; }
    bool receivesLater() const override { return true; }

    qint64 highestRecord() override {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("SELECT coalesce(max(record), 0) FROM %1 WHERE journal = ?")
                          .arg(table("jobs")));
        query.addBindValue(m_journal);
        return run(query) && query.next() ? query.value(0).toLongLong() : 0;
    }

    void eachSeal(const std::function<void(const Seal &)> &each) override {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT s.seq, s.record, s.stage, s.epoch, s.seal, j.record "
                                     "IS NOT NULL, %1 FROM %2 s LEFT JOIN %3 j ON j.journal = "
                                     "s.journal AND j.record = s.record LEFT JOIN %4 r ON r.hash "
                                     "= j.rowset WHERE s.journal = ? ORDER BY s.seq")
                          .arg(sealedColumns(), table("seals"), table("jobs"), table("rowsets")));
        query.addBindValue(m_journal);
        if (!run(query))
            return;
        Seal seal;
        while (query.next()) {
            seal.seal = {query.value(0).toLongLong(), query.value(1).toLongLong(),
                         query.value(2).toInt(), query.value(3).toLongLong(),
                         query.value(4).toByteArray()};
            if (query.value(5).toBool())
                seal.fields = fieldsAt(query, 6);
            else
                seal.fields.reset();
            each(seal);
        }
    }

    std::optional<SealedFields> fieldsOf(qint64 id) override {
        QSqlQuery query(m_db);
        query.prepare(QStringLiteral("SELECT %1 FROM %2 j LEFT JOIN %3 r ON r.hash = j.rowset "
                                     "WHERE j.journal = ? AND j.record = ?")
                          .arg(sealedColumns(), table("jobs"), table("rowsets")));
        query.addBindValue(m_journal);
        query.addBindValue(id);
        if (!run(query) || !query.next())
            return std::nullopt;
        return fieldsAt(query, 0);
    }

    void eachRecord(const std::function<void(const Record &)> &each) override {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT record, \"finished\" IS NOT NULL, coalesce("
                                     "\"finished\", \"started\"), \"started\" FROM %1 WHERE "
                                     "journal = ? ORDER BY record")
                          .arg(table("jobs")));
        query.addBindValue(m_journal);
        if (!run(query))
            return;
        while (query.next())
            each({query.value(0).toLongLong(), query.value(1).toBool(), query.value(3).toString(),
                  query.value(2).toString()});
    }

private:
    bool run(QSqlQuery &query) {
        if (query.exec())
            return true;
        if (!m_error.isValid())
            m_error = query.lastError();
        return false;
    }

    // As the site's journal wrote it: a list of names as its compact JSON.
    static QByteArray asWritten(const QByteArray &json) {
        const std::optional<QStringList> names = rowsFromJson(json);
        return names ? rowsJson(*names) : json;
    }

    static SealedFields fieldsAt(const QSqlQuery &query, int first) {
        static const int unavailable = [] {
            int index = 0;
            for (const JournalColumn &column : journalColumns()) {
                if (qstrcmp(column.name, "unavailable") == 0)
                    break;
                ++index;
            }
            return index;
        }();
        const int count = int(journalColumns().size());
        SealedFields fields;
        fields.reserve(size_t(count + 1));
        for (int index = 0; index < count; ++index) {
            if (query.isNull(first + index))
                fields.emplace_back();
            else if (index == unavailable)
                fields.emplace_back(asWritten(query.value(first + index).toByteArray()));
            else
                fields.emplace_back(query.value(first + index).toString().toUtf8());
        }
        if (query.isNull(first + count))
            fields.emplace_back();
        else
            fields.emplace_back(QCryptographicHash::hash(
                asWritten(query.value(first + count).toByteArray()), QCryptographicHash::Sha256));
        return fields;
    }

    QSqlDatabase m_db;
    const QString m_journal;
    const JournalSealing m_sealing;
    QSqlError m_error;
};

} // namespace

SealVerification SharedJournal::verifySeals(const QString &site, const SealKey &verificationKey) {
    SealVerification verification;
    if (!versionKnown()) {
        verification.problem = m_problem;
        return verification;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One snapshot for the whole walk: records still arriving do not show half of themselves.
    db.transaction();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT s.journal, s.key_id, s.origin, s.epoch_seconds, "
                                 "s.first_record, s.since, s.epoch, s.seal FROM %1 s WHERE "
                                 "EXISTS (SELECT 1 FROM %2 j WHERE j.journal = s.journal AND "
                                 "j.site = ?) ORDER BY s.key_id = ? DESC, s.received DESC LIMIT 1")
                      .arg(table("sealings"), table("jobs")));
    query.addBindValue(site);
    query.addBindValue(verificationKey.id);
    if (!query.exec()) {
        fail(QStringLiteral("the shared journal could not be read"), query.lastError());
        db.rollback();
        verification.problem = m_problem;
        return verification;
    }
    if (!query.next()) {
        db.rollback();
        verification.status = SealVerification::NotVerified;
        verification.problem =
            QStringLiteral("site %1 has no sealed records in the shared journal").arg(site);
        return verification;
    }
    SharedSealedRecords records(db, query.value(0).toString(),
                                {query.value(1).toByteArray(), query.value(2).toLongLong(),
                                 query.value(3).toLongLong(), query.value(4).toLongLong(),
                                 query.value(5).toString(), query.value(6).toLongLong(),
                                 query.value(7).toByteArray()});
    query.finish();
    verification = ::verifySeals(records, verificationKey);
    db.rollback();
    if (records.error().isValid()) {
        fail(QStringLiteral("the shared journal could not be read"), records.error());
        verification = {};
        verification.problem = m_problem;
    }
    return verification;
}
