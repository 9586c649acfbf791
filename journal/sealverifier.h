#pragma once

#include "journal.h"
#include "sealkey.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// One thing --verify found, about the records first to last.
struct SealFinding {
    enum class Kind {
        PrecedeSealing, // records from before sealing began: nothing to verify
        Unfinished,     // begun and sealed, never ended: a crash, or a job still running
        Changed,        // a record does not match its seal (changed, or added with a forged one)
        Missing,        // a record removed
        NotSealed,      // a record without its seal (added, or written without the sealing key)
        OutOfOrder,     // records moved
        LaterEpoch,     // sealed with a key of a later epoch than its time belongs to
        SealingChanged, // the journal's sealing record does not verify, or began again later
    };
    Kind kind = Kind::Changed;
    qint64 first = 0;
    qint64 last = 0;
    QString detail; // for a single record: what exactly (the epochs, the record it swapped with)

    // Whether it means the journal is not as it was sealed (exit status 1).
    bool breaks() const { return kind != Kind::PrecedeSealing && kind != Kind::Unfinished; }
    // One line: "record 57 is missing", "records 1–41 precede sealing".
    QString text() const;
    // The same as one JSON object (no line end).
    QByteArray json() const;
    static const char *kindName(Kind kind);

    friend bool operator==(const SealFinding &, const SealFinding &) = default;
};

QDebug operator<<(QDebug debug, const SealFinding &finding);

// What --verify says of a journal.
struct SealVerification {
    enum Status { Verified = 0, NotVerified = 1, CannotVerify = 3 };
    Status status = CannotVerify;
    QString problem;             // why it could not verify (a foreign key, an unreadable journal)
    QList<SealFinding> findings; // by record
    qint64 verifiedThrough = 0;  // the newest record whose seals all verify, 0 when none
    QDateTime verifiedTime;      // its end (or start, when it never ended)
    qint64 sealedRecords = 0;    // records whose seals all verify

    // "verified through record 350 (2026-03-01 14:05 UTC)", the first line --verify prints.
    QString verifiedLine() const;
    // One line for the top of a report: what verified and where the first break is.
    QString summary() const;
};

// A record's fields as its seals cover them, in the order of journalColumns() and then its rows'
// digest: each the bytes the local journal stores (an integer as its decimal text, a list as its
// compact JSON array, the digest as the SHA-256 of the rows' JSON), nothing for NULL.
using SealedFields = std::vector<std::optional<QByteArray>>;

// A sealed journal as the verifier reads it, wherever it is kept: the local journal, or a site's
// copy of it in the shared journal. Each is read once, in order.
class SealedRecords {
public:
    struct Seal {
        JournalSeal seal;
        std::optional<SealedFields> fields; // nothing when its record is not there
        bool rowsChanged = false;           // the rows no longer match their stored digest
    };
    struct Record {
        qint64 id = 0;
        bool ended = false;
        QString started; // as stored
        QString time;    // its end, or its start while it has none
    };
    virtual ~SealedRecords() = default;

    // The sealing record; nothing when the journal was never sealed.
    virtual std::optional<JournalSealing> sealing() = 0;
    // The highest record number there (0 for none).
    virtual qint64 highestRecord() = 0;
    // Whether a seal of a record after the highest is one whose record is still on its way (a
    // copy the site forwards to) rather than one removed.
    virtual bool receivesLater() const { return false; }
    // Every seal in the order of its number.
    virtual void eachSeal(const std::function<void(const Seal &)> &each) = 0;
    // The fields of one record, for telling swapped records from changed ones.
    virtual std::optional<SealedFields> fieldsOf(qint64 id) = 0;
    // Every record in the order of its number.
    virtual void eachRecord(const std::function<void(const Record &)> &each) = 0;
};

// A time as the findings show it: "2026-12-09 11:43 UTC".
QString sealTimeText(const QDateTime &time);

// Walks the records against the verification key: every seal recomputed with the key of its
// epoch, the chain followed, each record's epoch compared with its time (now bounds the epochs
// there can be).
SealVerification verifySeals(SealedRecords &records, const SealKey &verificationKey,
                             const QDateTime &now = QDateTime::currentDateTimeUtc());
// The same of the journal at path, read without changing anything.
SealVerification verifySeals(const QString &path, const SealKey &verificationKey,
                             const QDateTime &now = QDateTime::currentDateTimeUtc());

// Reads a verification key from a file (a regular file of a few lines: the key is never given on
// a command line). Nothing, with the reason in problem, when the file holds none.
std::optional<SealKey> readVerificationKey(const QString &path, QString &problem);
