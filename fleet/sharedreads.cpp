#include "sharedjournal.h"

#include "journalcolumn.h"
#include "journalsql.h"
#include "sharedsql.h"

using namespace journal_detail;

namespace {

using SharedSchema::table;

// The record's fields in the local journal's order, each name quoted ("user" is a keyword of
// PostgreSQL's), with prefix: a field the shared journal does not keep is read as NULL.
QString columnList(const QString &prefix = {}) {
    QStringList names;
    for (const JournalColumn &column : journalColumns()) {
        const QString name = QLatin1String(column.name);
        names << (SharedSchema::recordColumns().contains(name)
                      ? QStringLiteral("%1\"%2\"").arg(prefix, name)
                      : QStringLiteral("NULL"));
    }
    return names.join(QStringLiteral(", "));
}

// The record's fields as history() shows them: a text longer than the shared journal takes now
// cut there, with a mark, by the server, so that an older record of megabytes is never read
// whole.
QString cutColumnList(const QString &prefix) {
    QString list = columnList(prefix);
    const std::pair<const char *, int> limits[] = {{"device", SharedSchema::MaxName},
                                                   {"user", SharedSchema::MaxName},
                                                   {"host", SharedSchema::MaxName},
                                                   {"boards", SharedSchema::MaxName},
                                                   {"error", SharedSchema::MaxError}};
    for (const auto &[name, limit] : limits) {
        const QString quoted = QStringLiteral("%1\"%2\"").arg(prefix, QLatin1String(name));
        list.replace(quoted, QStringLiteral("CASE WHEN length(%1) > %2 THEN left(%1, %2) || "
                                            "'\u2026' ELSE %1 END")
                                 .arg(quoted, QString::number(limit)));
    }
    return list;
}
// The longest text 96 rows of MaxRow characters make as JSON (each character escaped).
constexpr int MaxRowsText = 96 * (SharedSchema::MaxRow * 6 + 3) + 2;

// A record's own time, unless it is later than the server's receipt of it allows: such a record
// is taken as unfinished, never as fresh.
QString aheadOf(const QString &prefix) {
    return QStringLiteral("(display_journal.iso_time(%1\"finished\") > %1received + interval "
                          "'%2 seconds')")
        .arg(prefix, QString::number(SharedJournal::AheadToleranceSeconds));
}
QString readColumnList(const QString &prefix) {
    QString list = cutColumnList(prefix);
    const QString ahead = aheadOf(prefix);
    for (const char *name : {"finished", "outcome"}) {
        const QString quoted = QStringLiteral("%1\"%2\"").arg(prefix, QLatin1String(name));
        list.replace(quoted,
                     QStringLiteral("CASE WHEN %1 THEN NULL ELSE %2 END").arg(ahead, quoted));
    }
    return list;
}

} // namespace

bool SharedJournal::history(int limit, const QString &site, const Each &each) {
    if (!versionKnown())
        return false;
    // Newest received first: a record's own time is the site's word, its receipt the server's.
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    // The records chosen first, then their texts cut and their rows found: the cuts and the
    // join for limit records, not for every record the order passes over.
    if (!query.prepare(QStringLiteral("SELECT j.site, j.record, %1, CASE WHEN length(r.rows) <= %5 "
                                      "THEN r.rows END FROM (SELECT * FROM %2 j %4 ORDER BY "
                                      "j.received DESC, j.journal, j.record DESC LIMIT ?) j LEFT "
                                      "JOIN %3 r ON r.hash = j.rowset ORDER BY j.received DESC, "
                                      "j.journal, j.record DESC")
                           .arg(cutColumnList(QStringLiteral("j.")), table("jobs"),
                                table("rowsets"),
                                site.isEmpty() ? QString() : QStringLiteral("WHERE j.site = ?"),
                                QString::number(MaxRowsText))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    if (!site.isEmpty())
        query.addBindValue(site);
    query.addBindValue(limit);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        each(query.value(0).toString(), recordAt(query, false, 1),
             query.value(1 + RowsColumn).toByteArray());
    }
    return true;
}

bool SharedJournal::records(const QDateTime &from, const QDateTime &to, const QString &site,
                            const EachOfSite &each) {
    if (!versionKnown())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT j.site, j.journal, j.record, %1 FROM %2 j WHERE j.started "
                           ">= ? AND j.started <= ? %3 ORDER BY j.site, j.started DESC, "
                           "j.journal, j.record DESC")
                .arg(readColumnList(QStringLiteral("j.")), table("jobs"),
                     site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?"))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    query.addBindValue(isoTime(from));
    query.addBindValue(isoTime(to));
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        each(query.value(0).toString(), query.value(1).toString(), recordAt(query, false, 2));
    }
    return true;
}

bool SharedJournal::recordsAfter(const QDateTime &end, const QString &site, After &after) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(
            QStringLiteral("SELECT count(*), max(j.started) FROM %1 j WHERE j.started "
                           "> ? %2")
                .arg(table("jobs"), site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?"))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    query.addBindValue(isoTime(end));
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec() || !query.next())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    after = {query.value(0).toLongLong(), query.value(1).toString()};
    return true;
}

QByteArray SharedJournal::storedRows(const QString &journal, qint64 record) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("SELECT CASE WHEN length(r.rows) <= %3 THEN r.rows END "
                                      "FROM %1 j JOIN %2 r ON r.hash = j.rowset WHERE j.journal = "
                                      "? AND j.record = ?")
                           .arg(table("jobs"), table("rowsets"), QString::number(MaxRowsText))))
        return {};
    query.addBindValue(journal);
    query.addBindValue(record);
    if (!query.exec() || !query.next())
        return {};
    return query.value(0).toByteArray();
}

bool SharedJournal::deviceStates(const QString &site, QList<DeviceState> &states) {
    if (!versionKnown())
        return false;
    // The devices one after the other through jobs_by_device, at most MaxDevicesChecked a site,
    // then each one's newest upload and newest complete upload through the indexes of uploads
    // by device: a few index lookups a device, however many records the years have kept and
    // whatever else a site's records hold. An upload is as fresh as the earlier of its own end and
    // its receipt; one whose end is ahead of its receipt is never fresh, and the newest upload's
    // lead is said.
    const QString oneSite = site.isEmpty() ? QString() : QStringLiteral("AND j.site = ?");
    const QString newest = QStringLiteral(
        "(SELECT %1 FROM %2 j WHERE j.site = d.site AND j.port = d.port AND j.device = d.device "
        "AND j.job = 'upload' %3 ORDER BY j.started DESC LIMIT 1)");
    const QString ownEnd = QStringLiteral("display_journal.iso_time(j.\"finished\")");
    // The newest upload's own time and its receipt, in ms since the epoch.
    const QString madeAndReceived =
        newest.arg(QStringLiteral("(extract(epoch FROM coalesce(%1, display_journal.iso_time("
                                  "j.\"started\"))) * 1000)::bigint || ' ' || (extract(epoch "
                                  "FROM j.received) * 1000)::bigint")
                       .arg(ownEnd),
                   table("jobs"), QString());
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral(
                "WITH RECURSIVE d AS ((SELECT j.site, j.port, j.device, 1 AS n FROM %1 j WHERE "
                "true %2 ORDER BY j.site, j.port, j.device LIMIT 1) UNION ALL SELECT n.site, "
                "n.port, n.device, CASE WHEN n.site = d.site THEN d.n + 1 ELSE 1 END FROM d, "
                "LATERAL ((SELECT j.site, j.port, j.device FROM %1 j WHERE d.n <= %6 AND "
                "(j.site, j.port, j.device) > (d.site, d.port, d.device) %2 ORDER BY j.site, "
                "j.port, j.device LIMIT 1) UNION ALL (SELECT j.site, j.port, j.device FROM %1 j "
                "WHERE d.n > %6 AND j.site > d.site %2 ORDER BY j.site, j.port, j.device LIMIT "
                "1)) n) SELECT d.site, d.port, d.device, %3, %4, %5, d.n > %6, %7 FROM d ORDER "
                "BY d.site, d.port, d.device")
                .arg(table("jobs"), oneSite,
                     newest.arg(QStringLiteral("to_char(least(%1, j.received) AT TIME ZONE 'UTC', "
                                               "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
                                    .arg(ownEnd),
                                table("jobs"),
                                QStringLiteral("AND j.outcome = 'complete' AND NOT %1")
                                    .arg(aheadOf(QStringLiteral("j.")))),
                     newest.arg(QStringLiteral("coalesce(j.outcome, 'unfinished')"), table("jobs"),
                                QString()),
                     newest.arg(QStringLiteral("CASE WHEN %1 THEN extract(epoch FROM %2 - "
                                               "j.received)::bigint END")
                                    .arg(aheadOf(QStringLiteral("j.")), ownEnd),
                                table("jobs"), QString()),
                     QString::number(MaxDevicesChecked), madeAndReceived)))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    for (int bound = 0; bound < 3 && !site.isEmpty(); ++bound)
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        if (query.value(6).toBool()) { // a device past the limit: its site has more
            if (!states.isEmpty())
                states.last().moreDevices = true;
            continue;
        }
        DeviceState state{query.value(0).toString(),
                          query.value(1).toInt(),
                          query.value(2).toString(),
                          std::nullopt,
                          query.value(4).toString(),
                          std::nullopt,
                          false,
                          std::nullopt,
                          std::nullopt};
        if (!query.isNull(3))
            state.lastComplete =
                QDateTime::fromString(query.value(3).toString(), Qt::ISODateWithMs).toUTC();
        if (!query.isNull(5))
            state.aheadSeconds = query.value(5).toLongLong();
        const QStringList times = query.value(7).toString().split(QLatin1Char(' '));
        if (times.size() == 2) {
            state.lastMade = QDateTime::fromMSecsSinceEpoch(times.at(0).toLongLong(), Qt::UTC);
            state.lastReceived = QDateTime::fromMSecsSinceEpoch(times.at(1).toLongLong(), Qt::UTC);
        }
        states.append(state);
    }
    return true;
}

bool SharedJournal::retirements(const QString &site, QList<Retirement> &list) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT r.site, coalesce(r.device, ''), (extract(epoch FROM r.retired) "
                           "* 1000)::bigint, (SELECT (extract(epoch FROM min(j.received)) * "
                           "1000)::bigint FROM %2 j WHERE j.site = r.site AND (r.device IS NULL OR "
                           "j.device = r.device) AND j.received > r.retired) FROM %1 r %3 ORDER "
                           "BY r.site, r.device NULLS FIRST")
                .arg(table("retired"), table("jobs"),
                     site.isEmpty() ? QString() : QStringLiteral("WHERE r.site = ?"))))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    if (!site.isEmpty())
        query.addBindValue(site);
    if (!query.exec())
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    while (query.next()) {
        Retirement &retirement = list.emplaceBack();
        retirement.site = query.value(0).toString();
        retirement.device = query.value(1).toString();
        retirement.retired = QDateTime::fromMSecsSinceEpoch(query.value(2).toLongLong(), Qt::UTC);
        if (!query.isNull(3))
            retirement.back = QDateTime::fromMSecsSinceEpoch(query.value(3).toLongLong(), Qt::UTC);
    }
    return true;
}

const SharedJournal::Retirement *
SharedJournal::standing(const QList<Retirement> &list, const QString &site, const QString &device) {
    for (const Retirement &retirement : list) {
        if (!retirement.back && retirement.site == site &&
            (retirement.device.isEmpty() || retirement.device == device))
            return &retirement;
    }
    return nullptr;
}

QString SharedJournal::spokenDuration(qint64 seconds) {
    const std::pair<qint64, const char *> units[] = {
        {365 * 86400, "year"}, {86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
    for (const auto &[size, name] : units) {
        if (seconds >= size || size == 1) {
            const qint64 count = seconds / size;
            return QStringLiteral("%1 %2%3").arg(QString::number(count), QLatin1String(name),
                                                 count == 1 ? QString() : QStringLiteral("s"));
        }
    }
    return {};
}

QString SharedJournal::receiptWords(const QDateTime &made, const QDateTime &received,
                                    const QDateTime &now, qint64 expectEverySeconds) {
    const QString madeAgo = spokenDuration(std::max<qint64>(0, made.secsTo(now)));
    if (receivedLate(made, received, expectEverySeconds))
        return QStringLiteral("last upload made %1 ago, received %2 late")
            .arg(madeAgo, spokenDuration(made.secsTo(received)));
    return QStringLiteral("last upload received %1 ago, made %2 ago")
        .arg(spokenDuration(std::max<qint64>(0, received.secsTo(now))), madeAgo);
}
