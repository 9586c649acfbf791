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
                query.exec(QStringLiteral("PRAGMA application_id=%1").arg(Journal::ApplicationId));
            query.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return written;
}

// A journal as the programs made it before it kept who ran a job, where, the boards expected and
// the values unavailable (schema 1): an upload, then a board test. marked: with the mark of our
// journals (the oldest had none).
inline bool writeVersion1Journal(const QString &path, bool marked = true) {
    const char *const statements[] = {
        "CREATE TABLE rowsets (id INTEGER PRIMARY KEY, hash BLOB NOT NULL UNIQUE,"
        " rows TEXT NOT NULL)",
        "CREATE TABLE jobs (id INTEGER PRIMARY KEY, started TEXT NOT NULL, finished TEXT,"
        " program TEXT NOT NULL, job TEXT NOT NULL, port INTEGER NOT NULL, device TEXT NOT NULL,"
        " outcome TEXT, error TEXT, frames INTEGER NOT NULL DEFAULT 0,"
        " lights TEXT NOT NULL DEFAULT 'ccccccccc', delay INTEGER,"
        " rowset INTEGER REFERENCES rowsets(id))",
        "CREATE INDEX jobs_by_job ON jobs(job)",
        "INSERT INTO rowsets VALUES (1, x'00', '[\"a\",\"b\"]')",
        "INSERT INTO jobs VALUES (1, '2026-12-08T14:05:01.250Z', '2026-12-08T14:05:27.254Z',"
        " 'console', 'upload', 33, '/dev/ttyUSB0', 'complete', NULL, 52, 'cgggggggg', 7, 1)",
        "INSERT INTO jobs VALUES (2, '2026-12-08T15:00:00.000Z', '2026-12-08T15:00:04.512Z',"
        " 'send', 'test', 0, '/dev/pts/4', 'complete', NULL, 9, 'rgggggggr', NULL, NULL)",
        "PRAGMA user_version=1",
    };
    const QString connection = QStringLiteral("version 1 journal");
    bool written = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        written = db.open();
        QSqlQuery query(db);
        for (const char *statement : statements)
            written = written && query.exec(QString::fromLatin1(statement));
        if (marked)
            written =
                written &&
                query.exec(QStringLiteral("PRAGMA application_id=%1").arg(Journal::ApplicationId));
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return written;
}
