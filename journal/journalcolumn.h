#pragma once

#include "journal.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <span>
#include <variant>

class QSqlQuery;

// One field of a job's record as the journal keeps it: its column in the jobs table, which is
// also its key in --history --json and its heading in --history --csv. The type of the record's
// member says how it is stored and shown: a time as UTC ISO 8601 text with milliseconds, a list
// of names as a JSON array, an unset optional as NULL (null in JSON, an empty cell in CSV).
// The rows are not among them: each distinct set of 96 is kept once in a table of its own
// (rowsets), which jobs refers to as rowset, and every rendering writes them last.
struct JournalColumn {
    using Member =
        std::variant<QDateTime JournalRecord::*, std::optional<QDateTime> JournalRecord::*,
                     QString JournalRecord::*, std::optional<QString> JournalRecord::*,
                     int JournalRecord::*, std::optional<int> JournalRecord::*,
                     std::optional<QStringList> JournalRecord::*>;
    const char *name;
    const char *sqlType; // INTEGER or TEXT with their constraints, which any SQL database reads
    int since;           // the schema version that added it
    bool setAtEnd;       // the job's end gives it (unless the end leaves it unset)
    Member member;

    // The field as a statement binds it, and back from a query's column.
    QVariant value(const JournalRecord &record) const;
    void read(JournalRecord &record, const QSqlQuery &query, int index) const;

    // Calls visitor with the record's field (a const reference of the member's type).
    template <typename Visitor> void visit(const JournalRecord &record, Visitor &&visitor) const {
        std::visit([&](auto field) { visitor(record.*field); }, member);
    }
};

// The record's fields in the order the renderings write them (the rows follow).
std::span<const JournalColumn> journalColumns();

namespace journal_detail {

// The jobs table as schema version 1 made it (id, the fields of version 1, rowset), and the names
// of its columns, space-separated.
QString jobsTableStatement();
QString jobsColumnNames();
// What brings the jobs table from version - 1 to version: a column added for each of its fields.
QStringList addedColumnStatements(int version);
// id and every field, as a SELECT from jobs j lists them; a field newer than version is read as
// NULL, so a journal is read as it is, never upgraded, by a command that only reads.
QString selectedColumns(int version);
// The INSERT of a whole record, then its rowset; the UPDATE of the fields a job's end gives,
// each kept where the end leaves it unset, then rowset and id. The values of a record's fields
// in the same order (without rowset and id): all of them, or those the end gives.
QString insertStatement();
QString updateStatement();
QVariantList columnValues(const JournalRecord &record, bool atEnd);

} // namespace journal_detail
