#pragma once

#include "journal.h"
#include "testfiles.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

// Journals in the states the programs must cope with, made and read straight on disk.

// Where the programs keep the journal for the display.cfg in folder.
inline QString journalIn(const QString &folder) {
    return QDir(folder).filePath(QStringLiteral("display-journal.db"));
}

// The first value one statement gives on the database at path, through a connection of its
// own that is closed again before returning; null when it gives none.
inline QVariant scalar(const QString &path, const QString &statement) {
    const QString connection = QStringLiteral("scalar");
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(statement) && query.next())
                value = query.value(0);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return value;
}

// A journal as a newer version of the programs leaves it: a schema this one does not know,
// holding one record of its own.
inline bool writeNewerJournal(const QString &path) {
    const QString connection = QStringLiteral("newer journal");
    bool written = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            written =
                query.exec(QStringLiteral("CREATE TABLE jobs (id INTEGER PRIMARY KEY, what)")) &&
                query.exec(QStringLiteral("INSERT INTO jobs (what) VALUES ('from the future')")) &&
                query.exec(
                    QStringLiteral("PRAGMA user_version=%1").arg(Journal::SchemaVersion + 1)) &&
                query.exec(
                    QStringLiteral("PRAGMA application_id=%1").arg(Journal::ApplicationId));
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return written;
}
