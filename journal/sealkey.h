#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QString>

#include <optional>

// A key of a sealed journal at one epoch. Time is cut into epochs of epochSeconds from origin;
// the key of epoch n + 1 is the SHA-256 of the key of epoch n, so whoever holds the key of an
// epoch can derive every later one and none before it. The sealing key beside the journal is
// the key of the newest epoch reached; the verification key, printed once when sealing begins
// and kept off the machine, is the key of epoch 0, from which a verifier derives them all. id
// names the pair (a digest of the epoch-0 key): a key of another folder is told by it.
struct SealKey {
    QByteArray id; // 16 bytes
    qint64 origin = 0;
    qint64 epochSeconds = 86400;
    qint64 epoch = 0;
    QByteArray key; // 32 bytes

    static constexpr qint64 KeyBytes = 32;
    // The longest epoch: a year, as --seal-epoch takes.
    static constexpr qint64 MaxEpochSeconds = 366 * 86400;

    // A new pair from the system's cryptographic random source, epoch 0 starting now.
    static SealKey create(const QDateTime &now, qint64 epochSeconds);

    // The epoch a moment belongs to (0 for any moment before the origin).
    qint64 epochAt(const QDateTime &time) const;
    QDateTime epochStart(qint64 epoch) const;
    // This key carried forward to epoch (never back: nothing when epoch is before this one's).
    std::optional<SealKey> advancedTo(qint64 epoch) const;
    // HMAC-SHA256 of message under this key.
    QByteArray seal(QByteArrayView message) const;

    // The verification key as the text to copy: "dsv1:" origin ":" epoch length ":" key in hex.
    // Only of epoch 0.
    QString verificationText() const;
    // Back from that text; nothing when it is not one.
    static std::optional<SealKey> fromVerificationText(QStringView text);

    // The sealing key file's text, and back (nothing, with problem, when it is not one).
    QByteArray fileText() const;
    static std::optional<SealKey> fromFileText(QByteArrayView text, QString &problem);

    friend bool operator==(const SealKey &, const SealKey &) = default;
};

QDebug operator<<(QDebug debug, const SealKey &key);

namespace SealKeyFile {

// The sealing key beside the journal at journalPath: display-journal.seal for
// display-journal.db.
QString pathFor(const QString &journalPath);

// Reads the key at path: a regular file (no link), of a few hundred bytes. Nothing, with the
// reason in problem ("it is missing", "it is not readable", ...), when it cannot be used.
std::optional<SealKey> read(const QString &path, QString &problem);

// Replaces (or creates, 0600) the key at path: written beside it, synced, renamed over it and
// the folder synced, so that a crash leaves the old key or the new one, never neither, and the
// old one is gone from the file system once this returns true. exclusive: fail when a key is
// there already. problem says why it failed.
bool write(const QString &path, const SealKey &key, bool exclusive, QString &problem);

} // namespace SealKeyFile
