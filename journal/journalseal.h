#pragma once

// What sealing a record and verifying its seal share; not part of the journal's interface.

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

class QSqlQuery;
struct SealKey;

namespace journal_detail {

// A record is sealed twice: when it begins (the fields it never changes after) and when it ends
// (every field and the digest of its rows). Each seal is a link of one chain, numbered in the
// order the seals were made, that starts at the journal's sealing record.
enum class SealStage { Begin = 0, End = 1 };

// A seal is made within this long of the moment it seals (the record's start or end): a record
// whose epoch is later than the one its time plus this belongs to was sealed afterwards, by
// someone holding a later key.
constexpr qint64 SealGraceSeconds = 300;

// A record's sealed fields as a SELECT lists them: id, every field (journalColumns) and its rows'
// digest, from jobs j and rowsets r; and the SELECT of them from jobs j, then where.
QString sealedFields();
QString sealedFieldsQuery(const QString &where);
// The number of columns that query reads, from id to the digest.
int sealedFieldsCount();

// What a seal covers: the stage, the record's number (id), the seal's number in the chain, its
// epoch, the previous seal and the record's fields as the query read them (from first, the id
// column).
QByteArray sealMessage(const QSqlQuery &query, int first, SealStage stage, qint64 id, qint64 seq,
                       qint64 epoch, QByteArrayView previous);
// The same of fields already read (SealedFields, in sealverifier.h).
QByteArray sealMessage(const std::vector<std::optional<QByteArray>> &fields, SealStage stage,
                       qint64 id, qint64 seq, qint64 epoch, QByteArrayView previous);
// A record's fields from the query's columns first + 1 on (first is its id).
std::vector<std::optional<QByteArray>> sealedFieldsAt(const QSqlQuery &query, int first);
// The same into fields, reusing what they hold: the walk reads one record after the other.
void readSealedFields(const QSqlQuery &query, int first,
                      std::vector<std::optional<QByteArray>> &fields);

// What the sealing record covers: the key's id, origin and epoch length, the first record
// sealed, when sealing began and its epoch.
QByteArray sealingMessage(const SealKey &key, qint64 firstRecord, const QString &since,
                          qint64 epoch);

} // namespace journal_detail
