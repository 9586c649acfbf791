#include "sealverifier.h"

#include "journalcolumn.h"
#include "journalseal.h"
#include "journalsql.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMessageAuthenticationCode>
#include <QSet>
#include <QSqlQuery>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace journal_detail;

namespace {

// The keys of every epoch from the verification key, each derived once: the seals come in epoch
// order, so one step forward at a time.
class KeyChain {
public:
    KeyChain(const SealKey &first, qint64 lastEpoch)
        : m_first(first)
        , m_current(first)
        , m_lastEpoch(lastEpoch) {}

    // Nothing for an epoch that cannot be (before the first, or after now).
    const SealKey *at(qint64 epoch) {
        if (epoch < 0 || epoch > m_lastEpoch)
            return nullptr;
        if (epoch < m_current.epoch) {
            m_current = m_first;
            m_code.reset();
        }
        if (epoch != m_current.epoch || !m_code) {
            m_current = *m_current.advancedTo(epoch);
            m_code.reset();
        }
        return &m_current;
    }

    // The seal of message under the key at() gave last: one code object an epoch, not one a
    // seal, as the seals of an epoch come together.
    QByteArray seal(QByteArrayView message) {
        if (!m_code)
            m_code.emplace(QCryptographicHash::Sha256, m_current.key);
        QMessageAuthenticationCode &code = *m_code;
        code.reset();
        code.addData(message.data(), message.size());
        return code.result();
    }

private:
    const SealKey m_first;
    SealKey m_current;
    const qint64 m_lastEpoch;
    std::optional<QMessageAuthenticationCode> m_code; // none, or the current key's
};

// What the walk learnt of one record.
enum RecordFlag : quint8 {
    BeginSealed = 1,
    EndSealed = 2,
    BadSeal = 4, // a seal of it did not verify, or was made too late
};

// Where a field is among a record's SealedFields.
size_t fieldIndex(const char *name) {
    size_t index = 0;
    for (const JournalColumn &column : journalColumns()) {
        if (qstrcmp(column.name, name) == 0)
            break;
        ++index;
    }
    return index;
}

// Findings of single records merged into ranges where they follow one another.
QList<SealFinding> merged(std::vector<SealFinding> found) {
    std::stable_sort(found.begin(), found.end(),
                     [](const SealFinding &a, const SealFinding &b) { return a.first < b.first; });
    QList<SealFinding> findings;
    for (SealFinding &finding : found) {
        if (!findings.isEmpty()) {
            SealFinding &previous = findings.last();
            if (previous.kind == finding.kind && previous.kind != SealFinding::Kind::OutOfOrder &&
                finding.first <= previous.last + 1) {
                previous.last = std::max(previous.last, finding.last);
                previous.detail.clear();
                continue;
            }
        }
        findings.append(std::move(finding));
    }
    return findings;
}

struct Walk {
    Walk(SealedRecords &journal, const SealKey &key, const QDateTime &time)
        : records(journal)
        , verificationKey(key)
        , now(time) {}

    SealedRecords &records;
    const SealKey &verificationKey;
    const QDateTime now;
    SealVerification result;
    std::vector<SealFinding> found;
    std::vector<quint8> flags; // by record id
    qint64 firstRecord = 1;
    QByteArray sealingSeal;

    void add(SealFinding::Kind kind, qint64 first, qint64 last = -1, const QString &detail = {}) {
        found.push_back({kind, first, last < 0 ? first : last, detail});
    }
    quint8 *flagsOf(qint64 id) {
        return id >= 0 && id < qint64(flags.size()) ? &flags[size_t(id)] : nullptr;
    }

    bool sealing(KeyChain &keys);
    void seals(KeyChain &keys);
    void eachRecord();
};

bool Walk::sealing(KeyChain &keys) {
    const std::optional<JournalSealing> sealing = records.sealing();
    if (!sealing) {
        result.status = SealVerification::NotVerified;
        result.problem = QStringLiteral("the job journal is not sealed");
        return false;
    }
    if (sealing->keyId != verificationKey.id) {
        result.status = SealVerification::CannotVerify;
        result.problem = QStringLiteral("the verification key is not this journal's");
        return false;
    }
    firstRecord = sealing->firstRecord;
    sealingSeal = sealing->seal;
    const SealKey *key = keys.at(sealing->epoch);
    if (!key || sealing->origin != verificationKey.origin ||
        sealing->epochSeconds != verificationKey.epochSeconds ||
        key->seal(sealingMessage(verificationKey, firstRecord, sealing->since, sealing->epoch)) !=
            sealingSeal) {
        add(SealFinding::Kind::SealingChanged, firstRecord, firstRecord,
            QStringLiteral("does not match its seal"));
    } else if (sealing->epoch > 0) {
        add(SealFinding::Kind::SealingChanged, firstRecord, firstRecord,
            QStringLiteral("shows that sealing began again on %1, after its key was made: the "
                           "records before may be in a journal moved aside")
                .arg(sealTimeText(verificationKey.epochStart(sealing->epoch))));
    }
    return true;
}

void Walk::seals(KeyChain &keys) {
    static const size_t started = fieldIndex("started");
    static const size_t finished = fieldIndex("finished");
    const qint64 highest = qint64(flags.size()) - 1;
    QHash<qint64, QString> latestStart; // per epoch: the earliest time its seals may carry
    qint64 expectedSeq = 1;
    qint64 lastEpoch = 0;
    qint64 lastBegun = 0;
    QByteArray previous = sealingSeal;
    QSet<std::pair<qint64, qint64>> swapsSaid;
    records.eachSeal([&](const SealedRecords::Seal &each) {
        const auto &[seq, id, stageNumber, epoch, stored] = each.seal;
        const auto stage = SealStage(stageNumber);
        // A gap in the chain: removed seals, whose records are named by the pass over the
        // records. The seal after it cannot be checked against the one it followed.
        const bool chained = seq == expectedSeq;
        expectedSeq = seq + 1;
        const QByteArray followed = std::exchange(previous, stored);
        if (!each.fields) {
            if (id >= firstRecord && !(records.receivesLater() && id > highest))
                add(SealFinding::Kind::Missing, id);
            return;
        }
        const SealedFields &fields = *each.fields;
        quint8 *const flags = flagsOf(id);
        if (!flags)
            return;
        *flags |= stage == SealStage::Begin ? BeginSealed : EndSealed;
        if (!chained)
            return;
        const SealKey *key = keys.at(epoch);
        if (!key) {
            *flags |= BadSeal;
            add(SealFinding::Kind::LaterEpoch, id, id,
                QStringLiteral("in epoch %1, which has not begun").arg(epoch));
            return;
        }
        if (keys.seal(sealMessage(fields, stage, id, seq, epoch, followed)) != stored) {
            *flags |= BadSeal;
            // Records swapped: each one's fields match the other's seal.
            bool swapped = false;
            for (const qint64 other : {id - 1, id + 1}) {
                const std::optional<SealedFields> theirs = records.fieldsOf(other);
                if (theirs &&
                    key->seal(sealMessage(*theirs, stage, id, seq, epoch, followed)) == stored) {
                    swapped = true;
                    const std::pair pair{std::min(id, other), std::max(id, other)};
                    if (!swapsSaid.contains(pair)) {
                        swapsSaid.insert(pair);
                        add(SealFinding::Kind::OutOfOrder, pair.first, pair.second);
                    }
                }
            }
            if (!swapped)
                add(SealFinding::Kind::Changed, id);
            return;
        }
        // The seal covers the rows' digest: rows changed in place no longer match it.
        if (stage == SealStage::End && each.rowsChanged) {
            *flags |= BadSeal;
            add(SealFinding::Kind::Changed, id, id, QStringLiteral("its rows"));
        }
        // Keys only go forward, and records begin in the order of their numbers.
        if (epoch < lastEpoch || (stage == SealStage::Begin && id < lastBegun)) {
            *flags |= BadSeal;
            add(SealFinding::Kind::OutOfOrder, id);
        }
        lastEpoch = std::max(lastEpoch, epoch);
        if (stage == SealStage::Begin)
            lastBegun = std::max(lastBegun, id);
        // The time sealed must belong to the epoch (or the grace before it): ISO texts of UTC
        // times compare as the times do.
        auto earliest = latestStart.constFind(epoch);
        if (earliest == latestStart.cend())
            earliest = latestStart.insert(
                epoch, isoTime(key->epochStart(epoch).addSecs(-SealGraceSeconds)));
        const std::optional<QByteArray> &timeField =
            fields[stage == SealStage::Begin ? started : finished];
        const QString time = timeField ? QString::fromUtf8(*timeField) : QString();
        if (time < *earliest) {
            *flags |= BadSeal;
            add(SealFinding::Kind::LaterEpoch, id, id,
                QStringLiteral("in epoch %1; its %2 time belongs to epoch %3")
                    .arg(QString::number(epoch),
                         stage == SealStage::Begin ? QStringLiteral("start")
                                                   : QStringLiteral("end"),
                         QString::number(
                             key->epochAt(QDateTime::fromString(time, Qt::ISODateWithMs)))));
        }
    });
}

void Walk::eachRecord() {
    qint64 previousId = 0;
    QString verifiedTime;
    QString previousStart;
    records.eachRecord([&](const SealedRecords::Record &record) {
        const qint64 id = record.id;
        const bool ended = record.ended;
        if (id < firstRecord) {
            add(SealFinding::Kind::PrecedeSealing, id);
            previousId = id;
            return;
        }
        // Records are numbered one after the other and never removed: a gap is a removal.
        if (id > previousId + 1 && id - 1 >= firstRecord)
            add(SealFinding::Kind::Missing, std::max(previousId + 1, firstRecord), id - 1);
        // Records are numbered as they begin: one that begins well after the next was moved
        // (its time changed and the chain sealed again).
        const QString &start = record.started;
        if (previousStart > start &&
            QDateTime::fromString(start, Qt::ISODateWithMs)
                    .secsTo(QDateTime::fromString(previousStart, Qt::ISODateWithMs)) >
                SealGraceSeconds)
            add(SealFinding::Kind::OutOfOrder, previousId);
        previousStart = start;
        previousId = id;
        quint8 *const flagged = flagsOf(id);
        if (!flagged)
            return; // a record added while the journal was read
        const quint8 flags = *flagged;
        if (!(flags & BeginSealed) || (ended && !(flags & EndSealed)))
            add(SealFinding::Kind::NotSealed, id);
        else if (!ended && !(flags & EndSealed))
            add(SealFinding::Kind::Unfinished, id);
        else if (!ended)
            add(SealFinding::Kind::Changed, id); // its end was sealed and then removed
        if (!(flags & BadSeal) && (flags & BeginSealed) && (ended == bool(flags & EndSealed))) {
            ++result.sealedRecords;
            result.verifiedThrough = id;
            verifiedTime = record.time;
        }
    });
    if (result.verifiedThrough > 0)
        result.verifiedTime = QDateTime::fromString(verifiedTime, Qt::ISODateWithMs);
}

// The local journal as the walk reads it: the seals joined to their records' fields, each
// field the bytes SQLite holds.
class LocalSealedRecords final : public SealedRecords {
public:
    explicit LocalSealedRecords(QSqlDatabase database)
        : m_db(std::move(database)) {}

    std::optional<JournalSealing> sealing() override {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT key_id, origin, epoch_seconds, first_record, "
                                       "since, epoch, seal FROM sealing")) ||
            !query.next())
            return std::nullopt;
        return JournalSealing{query.value(0).toByteArray(), query.value(1).toLongLong(),
                              query.value(2).toLongLong(),  query.value(3).toLongLong(),
                              query.value(4).toString(),    query.value(5).toLongLong(),
                              query.value(6).toByteArray()};
    }

    qint64 highestRecord() override {
        QSqlQuery query(m_db);
        return query.exec(QStringLiteral("SELECT max(id) FROM jobs")) && query.next()
                   ? std::max<qint64>(query.value(0).toLongLong(), 0)
                   : 0;
    }

    void eachSeal(const std::function<void(const Seal &)> &each) override {
        const QSet<qint64> badRows = badRowsets();
        const int rowset = 5 + sealedFieldsCount();
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        // The rowset's id is read to name a changed one; the digest is what the seal covers.
        query.exec(QStringLiteral("SELECT s.seq, s.record, s.stage, s.epoch, s.seal, %1, "
                                  "j.rowset FROM seals s LEFT JOIN jobs j ON j.id = s.record "
                                  "LEFT JOIN rowsets r ON r.id = j.rowset ORDER BY s.seq")
                       .arg(sealedFields()));
        Seal seal;
        while (query.next()) {
            seal.seal = {query.value(0).toLongLong(), query.value(1).toLongLong(),
                         query.value(2).toInt(), query.value(3).toLongLong(),
                         query.value(4).toByteArray()};
            if (query.isNull(5))
                seal.fields.reset();
            else
                readSealedFields(query, 5, seal.fields ? *seal.fields : seal.fields.emplace());
            seal.rowsChanged = badRows.contains(query.value(rowset).toLongLong());
            each(seal);
        }
    }

    std::optional<SealedFields> fieldsOf(qint64 id) override {
        if (!m_neighbour) {
            m_neighbour.emplace(m_db);
            m_neighbour->prepare(sealedFieldsQuery(QStringLiteral("WHERE j.id = ?")));
        }
        m_neighbour->addBindValue(id);
        std::optional<SealedFields> fields;
        if (m_neighbour->exec() && m_neighbour->next())
            fields = sealedFieldsAt(*m_neighbour, 0);
        m_neighbour->finish();
        return fields;
    }

    void eachRecord(const std::function<void(const Record &)> &each) override {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.exec(QStringLiteral("SELECT id, finished IS NOT NULL, coalesce(finished, "
                                  "started), started FROM jobs ORDER BY id"));
        while (query.next())
            each({query.value(0).toLongLong(), query.value(1).toBool(), query.value(3).toString(),
                  query.value(2).toString()});
    }

private:
    // Row sets whose rows no longer match their digest.
    QSet<qint64> badRowsets() {
        QSet<qint64> bad;
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.exec(QStringLiteral("SELECT id, hash, CAST(rows AS BLOB) FROM rowsets"));
        while (query.next()) {
            if (QCryptographicHash::hash(query.value(2).toByteArray(),
                                         QCryptographicHash::Sha256) !=
                query.value(1).toByteArray())
                bad.insert(query.value(0).toLongLong());
        }
        return bad;
    }

    QSqlDatabase m_db;
    std::optional<QSqlQuery> m_neighbour;
};

} // namespace

SealVerification verifySeals(SealedRecords &records, const SealKey &verificationKey,
                             const QDateTime &now) {
    Walk walk(records, verificationKey, now);
    KeyChain keys(verificationKey, verificationKey.epochAt(now) + 1);
    if (!walk.sealing(keys))
        return std::move(walk.result);
    walk.flags.assign(size_t(records.highestRecord() + 1), 0);
    walk.seals(keys);
    walk.eachRecord();
    walk.result.findings = merged(std::move(walk.found));
    walk.result.status = std::any_of(walk.result.findings.cbegin(), walk.result.findings.cend(),
                                     [](const SealFinding &finding) { return finding.breaks(); })
                             ? SealVerification::NotVerified
                             : SealVerification::Verified;
    return std::move(walk.result);
}

SealVerification verifySeals(const QString &path, const SealKey &verificationKey,
                             const QDateTime &now) {
    SealVerification verification;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        verification.problem =
            QStringLiteral("no job journal at %1").arg(QDir::toNativeSeparators(path));
        return verification;
    }
    const QString connection = newConnectionName("display.journal.verify");
    {
        Identity identity;
        QString problem;
        if (!openForReading(path, connection, identity, problem)) {
            verification.problem =
                problem.isEmpty() ? QStringLiteral("the job journal is not sealed") : problem;
            verification.status =
                problem.isEmpty() ? SealVerification::NotVerified : SealVerification::CannotVerify;
        } else if (identity.version < 5) {
            verification.problem = QStringLiteral("the job journal is not sealed");
            verification.status = SealVerification::NotVerified;
        } else {
            LocalSealedRecords records(QSqlDatabase::database(connection, false));
            verification = verifySeals(records, verificationKey, now);
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return verification;
}
