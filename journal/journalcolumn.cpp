#include "journalcolumn.h"

#include "journalsql.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSqlQuery>

using namespace journal_detail;

namespace {

using enum JournalColumn::Written;

// Adding a field: its member in JournalRecord, its line here with the next schema version, and
// that version's other steps (an index) in the journal's upgrades.
const JournalColumn Columns[] = {
    {"started", "TEXT NOT NULL", 1, AtBegin, &JournalRecord::started},
    {"finished", "TEXT", 1, AtEnd, &JournalRecord::finished},
    {"program", "TEXT NOT NULL", 1, AtBegin, &JournalRecord::program},
    {"job", "TEXT NOT NULL", 1, AtBegin, &JournalRecord::job},
    {"port", "INTEGER NOT NULL", 1, AtBegin, &JournalRecord::port},
    {"device", "TEXT NOT NULL", 1, AtBegin, &JournalRecord::device},
    {"outcome", "TEXT", 1, AtEnd, &JournalRecord::outcome},
    {"error", "TEXT", 1, AtEnd, &JournalRecord::error},
    {"frames", "INTEGER NOT NULL DEFAULT 0", 1, AtEnd, &JournalRecord::frames},
    {"lights", "TEXT NOT NULL DEFAULT 'ccccccccc'", 1, AtEnd, &JournalRecord::lights},
    {"delay", "INTEGER", 1, AtBoth, &JournalRecord::delaySeconds},
    {"user", "TEXT", 2, AtBegin, &JournalRecord::user},
    {"host", "TEXT", 2, AtBegin, &JournalRecord::host},
    {"boards", "TEXT", 2, AtBegin, &JournalRecord::boards},
    {"unavailable", "TEXT", 2, AtEnd, &JournalRecord::unavailable},
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

template <typename T> T fromSql(const QVariant &value);
template <> QDateTime fromSql(const QVariant &value) {
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}
template <> QString fromSql(const QVariant &value) {
    return value.toString();
}
template <> int fromSql(const QVariant &value) {
    return value.toInt();
}
template <typename T> void readSql(T &field, const QSqlQuery &query, int index) {
    field = fromSql<T>(query.value(index));
}
template <typename T> void readSql(std::optional<T> &field, const QSqlQuery &query, int index) {
    if (query.isNull(index))
        field.reset();
    else if constexpr (std::is_same_v<T, QStringList>)
        field = rowsFromJson(query.value(index).toByteArray());
    else
        field = fromSql<T>(query.value(index));
}

QString joined(QStringList parts) {
    return parts.join(QStringLiteral(", "));
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
    QString statement = QStringLiteral("CREATE TABLE IF NOT EXISTS jobs ( id INTEGER PRIMARY KEY,");
    for (const JournalColumn &column : Columns) {
        if (column.since == 1)
            statement += QStringLiteral(" %1 %2,").arg(QLatin1String(column.name),
                                                       QLatin1String(column.sqlType));
    }
    return statement + QStringLiteral(" rowset INTEGER REFERENCES rowsets(id))");
}

QStringList addedColumnStatements(int version) {
    QStringList statements;
    for (const JournalColumn &column : Columns) {
        if (column.since == version)
            statements << QStringLiteral("ALTER TABLE jobs ADD COLUMN %1 %2")
                              .arg(QLatin1String(column.name), QLatin1String(column.sqlType));
    }
    return statements;
}

QString jobsColumnNames(int version) {
    QStringList names{QStringLiteral("id")};
    for (int since = 1; since <= version; ++since) {
        for (const JournalColumn &column : Columns) {
            if (column.since == since)
                names << QLatin1String(column.name);
        }
        if (since == 1)
            names << QStringLiteral("rowset");
    }
    return names.join(QLatin1Char(' '));
}

QString selectedColumns(int version) {
    QStringList columns{QStringLiteral("j.id")};
    for (const JournalColumn &column : Columns)
        columns << (column.since <= version ? QStringLiteral("j.") + QLatin1String(column.name)
                                            : QStringLiteral("NULL"));
    return joined(columns);
}

QString insertStatement() {
    QStringList names;
    for (const JournalColumn &column : Columns) {
        if (column.written != AtEnd)
            names << QLatin1String(column.name);
    }
    names << QStringLiteral("rowset");
    return QStringLiteral("INSERT INTO jobs (%1) VALUES (%2)")
        .arg(joined(names), joined(QStringList(names.size(), QStringLiteral("?"))));
}

QString updateStatement() {
    QStringList assignments;
    for (const JournalColumn &column : Columns) {
        const QLatin1String name(column.name);
        if (column.written == AtEnd)
            assignments << name + QStringLiteral(" = ?");
        else if (column.written == AtBoth)
            assignments << QStringLiteral("%1 = coalesce(?, %1)").arg(name);
    }
    assignments << QStringLiteral("rowset = coalesce(?, rowset)");
    return QStringLiteral("UPDATE jobs SET %1 WHERE id = ?").arg(joined(assignments));
}

QVariantList beginValues(const JournalRecord &record) {
    QVariantList values;
    for (const JournalColumn &column : Columns) {
        if (column.written != AtEnd)
            values << column.value(record);
    }
    return values;
}

QVariantList endValues(const JournalRecord &record) {
    QVariantList values;
    for (const JournalColumn &column : Columns) {
        if (column.written != AtBegin)
            values << column.value(record);
    }
    return values;
}

} // namespace journal_detail
