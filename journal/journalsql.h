#pragma once

// What the journal's store, its records and its renderings share; not part of the journal's
// interface.

#include "journal.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <optional>

namespace journal_detail {

constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

inline QString isoTime(const QDateTime &time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// A connection name no other Journal or reading uses; prefix says which kind it is.
QString newConnectionName(const char *prefix);

// What SQLite would meet at the journal's path: a link at the journal or at its -wal or -shm file
// would be followed (as root, creating or changing the file it points to), so none is opened.
// Empty when all three are regular files or absent. SQLite opens the path itself later, so a link
// put there between this look and that open is not seen: whoever can do that can already write
// the journal's folder.
QString placeProblem(const QString &path);

bool isDamage(const QSqlError &error);

// The 96 rows (or the names of unavailable values) as the JSON array the journal stores them
// as, and back; nothing when it is not one.
QByteArray rowsJson(const QStringList &rows);
std::optional<QStringList> rowsFromJson(QByteArrayView json);

// Whose database a file is, from its application id, its schema version and its tables.
enum class Owner { Ours, Empty, OursUnmarked, Foreign };
struct Identity {
    Owner owner = Owner::Foreign;
    int version = 0;
    QSqlError error; // valid when the file could not be read
};
Identity identify(QSqlDatabase &db);

// A SELECT of id, the record's fields (those newer than version as NULL) and, withRows, the
// stored rows as bytes, from jobs j (and rowsets r), then where; and a record from its row, whose
// id is in column first and the fields (and rows) after it.
extern const int RowsColumn;
QString recordQuery(bool withRows, const QString &where, int version = Journal::SchemaVersion);
JournalRecord recordAt(const QSqlQuery &query, bool withRows, int first = 0);

// Opens the journal at path read-only as the connection named connection, for one reading. True
// when it holds records to read; otherwise problem says why it cannot be read (empty when it
// simply holds none).
bool openForReading(const QString &path, const QString &connection, Identity &identity,
                    QString &problem);

} // namespace journal_detail
