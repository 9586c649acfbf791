#include "journalcolumn.h"

#include "journalsql.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSqlQuery>

#include <functional>

using namespace journal_detail;

namespace {

// Adding a field: its member in JournalRecord, its line here with the next schema version, and
// that version's other steps (an index) in the journal's upgrades.
const JournalColumn Columns[] = {
    {"started", "TEXT NOT NULL", 1, false, &JournalRecord::started},
    {"finished", "TEXT", 1, true, &JournalRecord::finished},
    {"program", "TEXT NOT NULL", 1, false, &JournalRecord::program},
    {"job", "TEXT NOT NULL", 1, false, &JournalRecord::job},
    {"port", "INTEGER NOT NULL", 1, false, &JournalRecord::port},
    {"device", "TEXT NOT NULL", 1, false, &JournalRecord::device},
    {"outcome", "TEXT", 1, true, &JournalRecord::outcome},
    {"error", "TEXT", 1, true, &JournalRecord::error},
    {"frames", "INTEGER NOT NULL DEFAULT 0", 1, true, &JournalRecord::frames},
    {"lights", "TEXT NOT NULL DEFAULT 'ccccccccc'", 1, true, &JournalRecord::lights},
    {"delay", "INTEGER", 1, true, &JournalRecord::delaySeconds},
    {"user", "TEXT", 2, false, &JournalRecord::user},
    {"host", "TEXT", 2, false, &JournalRecord::host},
    {"boards", "TEXT", 2, false, &JournalRecord::boards},
    {"unavailable", "TEXT", 2, true, &JournalRecord::unavailable},
};

QVariant sqlValue(const QDateTime &time) {
    return isoTime(time);
}
// A null QString is bound as NULL, which NOT NULL refuses: a port number with no device.
QVariant sqlValue(const QString &text) {
    return text.isNull() ? QStringLiteral("") : text;
}
QVariant sqlValue(int number) {
    return number;
}
QVariant sqlValue(const QStringList &names) {
    return QString::fromUtf8(rowsJson(names));
}
template <typename T> QVariant sqlValue(const std::optional<T> &value) {
    return value ? sqlValue(*value) : QVariant(sqlValue(T()).metaType());
}

template <typename T> void readSql(T &field, const QSqlQuery &query, int index) {
    if constexpr (std::is_same_v<T, QDateTime>)
        field = QDateTime::fromString(query.value(index).toString(), Qt::ISODateWithMs).toUTC();
    else
        field = query.value(index).value<T>();
}
template <typename T> void readSql(std::optional<T> &field, const QSqlQuery &query, int index) {
    if (query.isNull(index))
        field.reset();
    else if constexpr (std::is_same_v<T, QStringList>)
        field = rowsFromJson(query.value(index).toByteArray());
    else
        readSql(field.emplace(), query, index);
}

// pattern (%1 the name, %2 the type) for each column that kept accepts.
QStringList listed(const char *pattern, const std::function<bool(const JournalColumn &)> &kept) {
    QStringList items;
    for (const JournalColumn &column : Columns) {
        if (kept(column))
            items << QString::fromLatin1(pattern)
                         .replace(QLatin1String("%1"), QLatin1String(column.name))
                         .replace(QLatin1String("%2"), QLatin1String(column.sqlType));
    }
    return items;
}
bool versionOne(const JournalColumn &column) {
    return column.since == 1;
}

} // namespace

QVariant JournalColumn::value(const JournalRecord &record) const {
    QVariant bound;
    visit(record, [&bound](const auto &field) { bound = sqlValue(field); });
    return bound;
}

void JournalColumn::read(JournalRecord &record, const QSqlQuery &query, int index) const {
    std::visit([&](auto field) { readSql(record.*field, query, index); }, member);
}

std::span<const JournalColumn> journalColumns() {
    return Columns;
}

namespace journal_detail {

QByteArray rowsJson(const QStringList &rows) {
    return QJsonDocument(QJsonArray::fromStringList(rows)).toJson(QJsonDocument::Compact);
}

std::optional<QStringList> rowsFromJson(QByteArrayView json) {
    // Most records name no unavailable value: a reader of every record need not parse them all.
    if (json == QByteArrayView("[]"))
        return QStringList();
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray());
    if (!document.isArray())
        return std::nullopt;
    QStringList rows;
    for (const QJsonValue &value : document.array())
        rows.append(value.toString());
    return rows;
}

QString jobsTableStatement() {
    return QStringLiteral("CREATE TABLE IF NOT EXISTS jobs ( id INTEGER PRIMARY KEY,%1 rowset "
                          "INTEGER REFERENCES rowsets(id))")
        .arg(listed(" %1 %2,", versionOne).join(QString()));
}

QString jobsColumnNames() {
    return QStringLiteral("id %1 rowset").arg(listed("%1", versionOne).join(QLatin1Char(' ')));
}

QStringList addedColumnStatements(int version) {
    return listed("ALTER TABLE jobs ADD COLUMN %1 %2",
                  [version](const JournalColumn &column) { return column.since == version; });
}

QString selectedColumns(int version) {
    QStringList columns{QStringLiteral("j.id")};
    for (const JournalColumn &column : Columns)
        columns << (column.since <= version ? QStringLiteral("j.") + QLatin1String(column.name)
                                            : QStringLiteral("NULL"));
    return columns.join(QStringLiteral(", "));
}

QString insertStatement() {
    const QStringList names = listed("%1", [](const JournalColumn &) { return true; });
    return QStringLiteral("INSERT INTO jobs (%1, rowset) VALUES (%2?)")
        .arg(names.join(QStringLiteral(", ")), QStringLiteral("?, ").repeated(names.size()));
}

QString updateStatement() {
    return QStringLiteral("UPDATE jobs SET %1, rowset = coalesce(?, rowset) WHERE id = ?")
        .arg(listed("%1 = coalesce(?, %1)", [](const JournalColumn &column) {
                 return column.setAtEnd;
             }).join(QStringLiteral(", ")));
}

QVariantList columnValues(const JournalRecord &record, bool atEnd) {
    QVariantList values;
    for (const JournalColumn &column : Columns) {
        if (column.setAtEnd || !atEnd)
            values << column.value(record);
    }
    return values;
}

} // namespace journal_detail
