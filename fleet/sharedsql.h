#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <optional>

// What the shared journal's parts share on one connection: statements run in a row, a
// transaction ended on one path, identifiers quoted, the server's words in one line.
namespace shared_sql {

// Runs statements on one connection and keeps the first failure: PostgreSQL prepares only
// queries and changes of rows, so a statement without values is sent as it is.
class Statements {
public:
    explicit Statements(const QSqlDatabase &db)
        : m_query(db) {}

    bool run(const QString &statement, const QVariantList &values = {}) {
        if (m_error.isValid())
            return false;
        bool done = false;
        if (values.isEmpty()) {
            done = m_query.exec(statement);
        } else if (m_query.prepare(statement)) {
            for (const QVariant &value : values)
                m_query.addBindValue(value);
            done = m_query.exec();
        }
        if (!done)
            m_error = m_query.lastError();
        return done;
    }
    // The first column of the first row, or nothing when there is none (or it failed).
    std::optional<QVariant> value(const QString &statement, const QVariantList &values = {}) {
        if (!run(statement, values) || !m_query.next())
            return std::nullopt;
        return m_query.value(0);
    }
    const QSqlError &error() const { return m_error; }
    void finish() { m_query.finish(); }

private:
    QSqlQuery m_query;
    QSqlError m_error;
};

// Commits when every statement ran; otherwise rolls back and gives the first failure.
std::optional<QSqlError> endTransaction(QSqlDatabase &db, Statements &sql);

QString quoted(const QSqlDatabase &db, const QString &identifier);

} // namespace shared_sql
