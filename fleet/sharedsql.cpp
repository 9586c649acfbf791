#include "sharedsql.h"

#include <QSqlDriver>

namespace shared_sql {

std::optional<QSqlError> endTransaction(QSqlDatabase &db, Statements &sql) {
    if (sql.error().isValid()) {
        const QSqlError error = sql.error();
        sql.finish();
        db.rollback();
        return error;
    }
    sql.finish();
    if (!db.commit())
        return db.lastError();
    return std::nullopt;
}

QString quoted(const QSqlDatabase &db, const QString &identifier) {
    return db.driver()->escapeIdentifier(identifier, QSqlDriver::FieldName);
}

} // namespace shared_sql
