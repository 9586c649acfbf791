#pragma once

#include "sealkey.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QString>

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

// Walks the journal at path, read without changing anything, against the verification key:
// every seal recomputed with the key of its epoch, the chain followed, each record's epoch
// compared with its time (now bounds the epochs there can be).
SealVerification verifySeals(const QString &path, const SealKey &verificationKey,
                             const QDateTime &now = QDateTime::currentDateTimeUtc());

// Reads a verification key from a file (a regular file of a few lines: the key is never given on
// a command line). Nothing, with the reason in problem, when the file holds none.
std::optional<SealKey> readVerificationKey(const QString &path, QString &problem);
