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

QString range(qint64 first, qint64 last) {
    return first == last
               ? QString::number(first)
               : QStringLiteral("%1–%2").arg(QString::number(first), QString::number(last));
}

QString shownTime(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

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

int columnIndex(const char *name) {
    int index = 1;
    for (const JournalColumn &column : journalColumns()) {
        if (qstrcmp(column.name, name) == 0)
            return index;
        ++index;
    }
    return -1;
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
    Walk(QSqlDatabase database, const SealKey &key, const QDateTime &time)
        : db(std::move(database))
        , verificationKey(key)
        , now(time) {}

    QSqlDatabase db;
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
    QSet<qint64> badRowsets();
    void seals(KeyChain &keys, const QSet<qint64> &badRows);
    void records();
};

bool Walk::sealing(KeyChain &keys) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT key_id, origin, epoch_seconds, first_record, since, "
                                   "epoch, seal FROM sealing")) ||
        !query.next()) {
        result.status = SealVerification::NotVerified;
        result.problem = QStringLiteral("the job journal is not sealed");
        return false;
    }
    if (query.value(0).toByteArray() != verificationKey.id) {
        result.status = SealVerification::CannotVerify;
        result.problem = QStringLiteral("the verification key is not this journal's");
        return false;
    }
    firstRecord = query.value(3).toLongLong();
    const QString since = query.value(4).toString();
    const qint64 epoch = query.value(5).toLongLong();
    sealingSeal = query.value(6).toByteArray();
    const SealKey *key = keys.at(epoch);
    SealKey claimed = verificationKey;
    claimed.origin = query.value(1).toLongLong();
    claimed.epochSeconds = query.value(2).toLongLong();
    if (!key || claimed.origin != verificationKey.origin ||
        claimed.epochSeconds != verificationKey.epochSeconds ||
        key->seal(sealingMessage(verificationKey, firstRecord, since, epoch)) != sealingSeal) {
        add(SealFinding::Kind::SealingChanged, firstRecord, firstRecord,
            QStringLiteral("does not match its seal"));
    } else if (epoch > 0) {
        add(SealFinding::Kind::SealingChanged, firstRecord, firstRecord,
            QStringLiteral("shows that sealing began again on %1, after its key was made: the "
                           "records before may be in a journal moved aside")
                .arg(shownTime(verificationKey.epochStart(epoch))));
    }
    return true;
}

QSet<qint64> Walk::badRowsets() {
    QSet<qint64> bad;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("SELECT id, hash, CAST(rows AS BLOB) FROM rowsets"));
    while (query.next()) {
        if (QCryptographicHash::hash(query.value(2).toByteArray(), QCryptographicHash::Sha256) !=
            query.value(1).toByteArray())
            bad.insert(query.value(0).toLongLong());
    }
    return bad;
}

void Walk::seals(KeyChain &keys, const QSet<qint64> &badRows) {
    const int started = 5 + columnIndex("started");
    const int finished = 5 + columnIndex("finished");
    const int rowsetHash = 5 + sealedFieldsCount() - 1;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The rowset's id is read to name a changed one; the digest is what the seal covers.
    query.exec(QStringLiteral("SELECT s.seq, s.record, s.stage, s.epoch, s.seal, %1, j.rowset "
                              "FROM seals s LEFT JOIN jobs j ON j.id = s.record LEFT JOIN rowsets "
                              "r ON r.id = j.rowset ORDER BY s.seq")
                   .arg(sealedFields()));
    QSqlQuery neighbour(db);
    neighbour.prepare(sealedFieldsQuery(QStringLiteral("WHERE j.id = ?")));
    QHash<qint64, QString> latestStart; // per epoch: the earliest time its seals may carry
    qint64 expectedSeq = 1;
    qint64 lastEpoch = 0;
    qint64 lastBegun = 0;
    QByteArray previous = sealingSeal;
    QSet<std::pair<qint64, qint64>> swapsSaid;
    while (query.next()) {
        const qint64 seq = query.value(0).toLongLong();
        const qint64 id = query.value(1).toLongLong();
        const auto stage = SealStage(query.value(2).toInt());
        const qint64 epoch = query.value(3).toLongLong();
        const QByteArray stored = query.value(4).toByteArray();
        // A gap in the chain: removed seals, whose records are named by the pass over the
        // records. The seal after it cannot be checked against the one it followed.
        const bool chained = seq == expectedSeq;
        expectedSeq = seq + 1;
        const QByteArray followed = std::exchange(previous, stored);
        if (query.isNull(5)) {
            if (id >= firstRecord)
                add(SealFinding::Kind::Missing, id);
            continue;
        }
        quint8 *const flags = flagsOf(id);
        if (!flags)
            continue;
        *flags |= stage == SealStage::Begin ? BeginSealed : EndSealed;
        if (!chained)
            continue;
        const SealKey *key = keys.at(epoch);
        if (!key) {
            *flags |= BadSeal;
            add(SealFinding::Kind::LaterEpoch, id, id,
                QStringLiteral("in epoch %1, which has not begun").arg(epoch));
            continue;
        }
        if (keys.seal(sealMessage(query, 5, stage, id, seq, epoch, followed)) != stored) {
            *flags |= BadSeal;
            // Records swapped: each one's fields match the other's seal.
            bool swapped = false;
            for (const qint64 other : {id - 1, id + 1}) {
                neighbour.addBindValue(other);
                if (neighbour.exec() && neighbour.next() &&
                    key->seal(sealMessage(neighbour, 0, stage, id, seq, epoch, followed)) ==
                        stored) {
                    swapped = true;
                    const std::pair pair{std::min(id, other), std::max(id, other)};
                    if (!swapsSaid.contains(pair)) {
                        swapsSaid.insert(pair);
                        add(SealFinding::Kind::OutOfOrder, pair.first, pair.second);
                    }
                }
                neighbour.finish();
            }
            if (!swapped)
                add(SealFinding::Kind::Changed, id);
            continue;
        }
        // The seal covers the rows' digest: rows changed in place no longer match it.
        if (stage == SealStage::End && badRows.contains(query.value(rowsetHash + 1).toLongLong())) {
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
        const QString time = query.value(stage == SealStage::Begin ? started : finished).toString();
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
    }
}

void Walk::records() {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("SELECT id, finished IS NOT NULL, coalesce(finished, started), "
                              "started FROM jobs ORDER BY id"));
    qint64 previousId = 0;
    QString verifiedTime;
    QString previousStart;
    while (query.next()) {
        const qint64 id = query.value(0).toLongLong();
        const bool ended = query.value(1).toBool();
        if (id < firstRecord) {
            add(SealFinding::Kind::PrecedeSealing, id);
            previousId = id;
            continue;
        }
        // Records are numbered one after the other and never removed: a gap is a removal.
        if (id > previousId + 1 && id - 1 >= firstRecord)
            add(SealFinding::Kind::Missing, std::max(previousId + 1, firstRecord), id - 1);
        // Records are numbered as they begin: one that begins well after the next was moved
        // (its time changed and the chain sealed again).
        const QString start = query.value(3).toString();
        if (previousStart > start &&
            QDateTime::fromString(start, Qt::ISODateWithMs)
                    .secsTo(QDateTime::fromString(previousStart, Qt::ISODateWithMs)) >
                SealGraceSeconds)
            add(SealFinding::Kind::OutOfOrder, previousId);
        previousStart = start;
        previousId = id;
        quint8 *const flagged = flagsOf(id);
        if (!flagged)
            continue; // a record added while the journal was read
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
            verifiedTime = query.value(2).toString();
        }
    }
    if (result.verifiedThrough > 0)
        result.verifiedTime = QDateTime::fromString(verifiedTime, Qt::ISODateWithMs);
}

} // namespace

const char *SealFinding::kindName(Kind kind) {
    switch (kind) {
    case Kind::PrecedeSealing:
        return "precedes-sealing";
    case Kind::Unfinished:
        return "unfinished";
    case Kind::Changed:
        return "changed";
    case Kind::Missing:
        return "missing";
    case Kind::NotSealed:
        return "not-sealed";
    case Kind::OutOfOrder:
        return "out-of-order";
    case Kind::LaterEpoch:
        return "later-epoch";
    case Kind::SealingChanged:
        return "sealing-changed";
    }
    return "";
}

QString SealFinding::text() const {
    const bool one = first == last;
    const QString records =
        (one ? QStringLiteral("record ") : QStringLiteral("records ")) + range(first, last);
    const QString more = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (kind) {
    case Kind::PrecedeSealing:
        return QStringLiteral("%1 %2 sealing").arg(records, one ? "precedes" : "precede");
    case Kind::Unfinished:
        return QStringLiteral("%1 never ended (a crash, or a job still running); %2 sealed")
            .arg(records, one ? "its start is" : "their starts are");
    case Kind::Changed:
        return QStringLiteral("%1 %2 changed: %3 not match %4 seal%5")
            .arg(records, one ? "was" : "were", one ? "it does" : "they do", one ? "its" : "their",
                 more);
    case Kind::Missing:
        return QStringLiteral("%1 %2 missing").arg(records, one ? "is" : "are");
    case Kind::NotSealed:
        return QStringLiteral("%1 %2 not sealed: added, or written without the sealing key")
            .arg(records, one ? "is" : "are");
    case Kind::OutOfOrder:
        return one ? QStringLiteral("record %1 is out of order").arg(first)
                   : QStringLiteral("records %1 and %2 are out of order: each carries the "
                                    "other's seal")
                         .arg(QString::number(first), QString::number(last));
    case Kind::LaterEpoch:
        return QStringLiteral("%1 %2 sealed in a later epoch than %3 time belongs to%4")
            .arg(records, one ? "was" : "were", one ? "its" : "their", more);
    case Kind::SealingChanged:
        return QStringLiteral("the journal's sealing record (sealing from record %1) %2")
            .arg(QString::number(first), detail);
    }
    return {};
}

QByteArray SealFinding::json() const {
    return QByteArrayLiteral("{\"finding\":\"") + kindName(kind) +
           "\",\"first\":" + QByteArray::number(first) + ",\"last\":" + QByteArray::number(last) +
           ",\"breaks\":" + (breaks() ? "true" : "false") + ",\"text\":" + jsonString(text()) + '}';
}

QDebug operator<<(QDebug debug, const SealFinding &finding) {
    QDebugStateSaver saver(debug);
    debug.noquote().nospace() << "SealFinding(" << finding.text() << ')';
    return debug;
}

QString SealVerification::verifiedLine() const {
    if (verifiedThrough <= 0)
        return QStringLiteral("no sealed record verified");
    return QStringLiteral("verified through record %1 (%2): %3 sealed %4")
        .arg(QString::number(verifiedThrough), shownTime(verifiedTime),
             QString::number(sealedRecords),
             sealedRecords == 1 ? QStringLiteral("record") : QStringLiteral("records"));
}

QString SealVerification::summary() const {
    if (status == CannotVerify || !problem.isEmpty())
        return QStringLiteral("Seals not verified: %1.").arg(problem);
    const auto firstBreak =
        std::find_if(findings.cbegin(), findings.cend(),
                     [](const SealFinding &finding) { return finding.breaks(); });
    QString line = QStringLiteral("Seals: %1").arg(verifiedLine());
    if (firstBreak == findings.cend())
        return line + QStringLiteral("; every sealed record verifies.");
    return line + QStringLiteral("; first break: %1.").arg(firstBreak->text());
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
            Walk walk(QSqlDatabase::database(connection, false), verificationKey, now);
            KeyChain keys(verificationKey, verificationKey.epochAt(now) + 1);
            if (walk.sealing(keys)) {
                QSqlQuery highest(walk.db);
                const qint64 most =
                    highest.exec(QStringLiteral("SELECT max(id) FROM jobs")) && highest.next()
                        ? highest.value(0).toLongLong()
                        : 0;
                highest.finish();
                walk.flags.assign(size_t(std::max<qint64>(most, 0) + 1), 0);
                walk.seals(keys, walk.badRowsets());
                walk.records();
                walk.result.findings = merged(std::move(walk.found));
                walk.result.status =
                    std::any_of(walk.result.findings.cbegin(), walk.result.findings.cend(),
                                [](const SealFinding &finding) { return finding.breaks(); })
                        ? SealVerification::NotVerified
                        : SealVerification::Verified;
            }
            verification = std::move(walk.result);
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return verification;
}

std::optional<SealKey> readVerificationKey(const QString &path, QString &problem) {
    QFile file(path);
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("%1 is not a readable file").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    if (st.st_size > 4096 || !file.open(QIODevice::ReadOnly)) {
        problem =
            QStringLiteral("%1 holds no verification key").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    const std::optional<SealKey> key =
        SealKey::fromVerificationText(QString::fromLatin1(file.read(4096)));
    if (!key)
        problem =
            QStringLiteral("%1 holds no verification key").arg(QDir::toNativeSeparators(path));
    return key;
}
