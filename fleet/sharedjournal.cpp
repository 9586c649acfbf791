#include "sharedjournal.h"

#include "bytetext.h"
#include "journalsql.h"
#include "sharedsql.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <mutex>

using namespace journal_detail;
using namespace shared_sql;
using SharedSchema::table;

namespace {

// The forward's batch as sharedschema.h describes it: its own keys, whatever --history --json
// writes.
QByteArray batchJson(const ForwardBatch &batch) {
    const auto text = [](const std::optional<QString> &value) {
        return value ? jsonString(*value) : QByteArray("null");
    };
    QByteArray json = "[";
    for (const auto &[record, rows] : batch.records) {
        if (json.size() > 1)
            json += ',';
        json += "{\"record\":" + QByteArray::number(record.id);
        json += ",\"started\":" + jsonString(isoTime(record.started));
        json += ",\"finished\":" +
                (record.finished ? jsonString(isoTime(*record.finished)) : QByteArray("null"));
        json += ",\"program\":" + jsonString(record.program);
        json += ",\"job\":" + jsonString(record.job);
        json += ",\"port\":" + QByteArray::number(record.port);
        json += ",\"device\":" + jsonString(record.device);
        json += ",\"outcome\":" + text(record.outcome);
        json += ",\"error\":" + text(record.error);
        json += ",\"frames\":" + QByteArray::number(record.frames);
        json += ",\"lights\":" + jsonString(record.lights);
        json += ",\"delay\":" +
                (record.delaySeconds ? QByteArray::number(*record.delaySeconds) : "null");
        json += ",\"user\":" + text(record.user);
        json += ",\"host\":" + text(record.host);
        json += ",\"boards\":" + text(record.boards);
        json += ",\"unavailable\":" +
                (record.unavailable ? rowsJson(*record.unavailable) : QByteArray("null"));
        // The rows as the local journal stores them: a JSON array, which the server checks.
        json += ",\"rows\":" + (record.rows      ? rowsJson(*record.rows)
                                : rows.isEmpty() ? QByteArray("null")
                                                 : QByteArray(rows));
        json += '}';
    }
    json += ']';
    if (!batch.sealing)
        return json;
    // A sealed journal's batch: its records, with what the office verifies them by.
    static_assert(ForwardBatch::MaxSealsPerRecord * SharedSchema::MaxBatch <=
                  SharedSchema::MaxSeals);
    const JournalSealing &sealing = *batch.sealing;
    QByteArray sealed = "{\"sealing\":{\"key\":\"" + sealing.keyId.toHex() +
                        "\",\"origin\":" + QByteArray::number(sealing.origin) +
                        ",\"epochSeconds\":" + QByteArray::number(sealing.epochSeconds) +
                        ",\"first\":" + QByteArray::number(sealing.firstRecord) +
                        ",\"since\":" + jsonString(sealing.since) +
                        ",\"epoch\":" + QByteArray::number(sealing.epoch) + ",\"seal\":\"" +
                        sealing.seal.toHex() + "\"},\"seals\":[";
    for (const JournalSeal &seal : batch.seals) {
        if (!sealed.endsWith('['))
            sealed += ',';
        sealed += "{\"seq\":" + QByteArray::number(seal.seq) +
                  ",\"record\":" + QByteArray::number(seal.record) +
                  ",\"stage\":" + QByteArray::number(seal.stage) +
                  ",\"epoch\":" + QByteArray::number(seal.epoch) + ",\"seal\":\"" +
                  seal.seal.toHex() + "\"}";
    }
    return sealed + "],\"records\":" + json + '}';
}

// Qt's PostgreSQL driver frees each prepared statement on the server when its query goes, and
// warns on standard error when it cannot: always after the connection was lost or its
// transaction failed, which problem() has said already, in one line. Every other message passes.
QtMessageHandler previousHandler = nullptr;
void quietDriver(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Unable to free statement:")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

QString SharedJournal::connectionValue(const char *keyword) const {
    const auto keywords = JournalConf::connectionKeywords(m_config.connection);
    for (const auto &[key, value] : keywords.value_or(QList<std::pair<QString, QString>>())) {
        if (key == QLatin1String(keyword))
            return value;
    }
    return {};
}

SharedJournal::SharedJournal(SharedJournalConfig config)
    : m_config(std::move(config))
    , m_connection(newConnectionName("display.shared")) {}

SharedJournal::~SharedJournal() {
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool SharedJournal::fail(const QString &what, const QSqlError &error) {
    const QString words = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    m_problem = QStringLiteral("%1 (%2)").arg(what, oneLine(JournalConf::explainedFailure(words)));
    return false;
}

bool SharedJournal::open(bool readOnly) {
    static std::once_flag quieted;
    std::call_once(quieted, [] { previousHandler = qInstallMessageHandler(quietDriver); });
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    if (!db.isValid()) {
        m_problem = QStringLiteral("Qt's PostgreSQL driver (QPSQL, package libqt6sql6-psql) is "
                                   "missing");
        return false;
    }
    // Everything is in the connection string: QPSQL adds host, database and user only when set.
    db.setConnectOptions(
        JournalConf::withTimeouts(m_config.connection, QCoreApplication::applicationName()));
    if (!db.open()) {
        // A login of no fleet may not even connect: say who can change that.
        if (db.lastError().databaseText().contains(QLatin1String("CONNECT privilege"))) {
            m_problem = QStringLiteral("the login %1 may not connect to the database %2: its "
                                       "administrator runs display-send --shared-add-site %1 "
                                       "SITE, or --shared-add-reader %1 for an office")
                            .arg(connectionValue("user"), connectionValue("dbname"));
            return false;
        }
        return fail(QStringLiteral("the shared journal could not be reached"), db.lastError());
    }
    QSqlQuery query(db);
    // The server's notices ("already exists, skipping") are not the operator's business.
    query.exec(QStringLiteral("SET client_min_messages = warning"));
    if (readOnly && !query.exec(QStringLiteral("SET default_transaction_read_only = on")))
        return fail(QStringLiteral("the shared journal could not be read"), query.lastError());
    return true;
}
bool SharedJournal::versionKnown() {
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    Statements sql(db);
    const std::optional<QVariant> version =
        sql.value(QStringLiteral("SELECT coalesce(max(version), 0) FROM %1").arg(table("meta")));
    if (!version) {
        const QString why = oneLine(sql.error().databaseText());
        m_problem = sql.error().nativeErrorCode() == QLatin1String("42P01")
                        ? QStringLiteral("the shared journal is not set up in this database: its "
                                         "administrator runs display-send --shared-init")
                        : QStringLiteral("the shared journal could not be read (%1)").arg(why);
        return false;
    }
    if (version->toInt() != SharedSchema::Version) {
        m_problem =
            QStringLiteral("the shared journal is schema %1; this display-send knows %2: "
                           "run --shared-init with the newer one")
                .arg(QString::number(version->toInt()), QString::number(SharedSchema::Version));
        return false;
    }
    return true;
}

bool SharedJournal::insert(const ForwardBatch &batch, qint64 &added) {
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    bool done = query.prepare(
        QStringLiteral("SELECT display_journal.forward_batch(?, ?, CAST(? AS jsonb))"));
    if (done) {
        query.addBindValue(batch.journalId);
        query.addBindValue(saidSite());
        query.addBindValue(QString::fromUtf8(batchJson(batch)));
        done = query.exec() && query.next();
    }
    if (!done)
        return refusedWith(query.lastError(),
                           QStringLiteral("the shared journal did not take the records"));
    added += query.value(0).toLongLong();
    return true;
}

// The function's own refusals say everything in their own words.
bool SharedJournal::refusedWith(const QSqlError &error, const QString &what) {
    m_refusal = error.nativeErrorCode();
    if (!m_refusal.startsWith(QLatin1String("DJ")))
        return fail(what, error);
    m_problem = oneLine(error.databaseText());
    return false;
}

QVariant SharedJournal::saidSite() const {
    return m_config.siteGiven ? QVariant(m_config.site) : QVariant(QMetaType(QMetaType::QString));
}

SharedJournal::Forwarded SharedJournal::forward(Journal &local, int batchSize) {
    Forwarded forwarded;
    const auto localFailed = [&] {
        m_problem = oneLine(local.takeProblem());
        forwarded.ok = false;
        forwarded.localProblem = true;
        return forwarded;
    };
    const auto refused = [&] {
        forwarded.ok = false;
        forwarded.wrongSite = m_refusal == SharedSchema::OtherSite;
        return forwarded;
    };
    if (!versionKnown())
        return refused();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("SELECT display_journal.site_of_login(?)"))) {
        refusedWith(query.lastError(), QStringLiteral("the shared journal could not be read"));
        return refused();
    }
    query.addBindValue(saidSite());
    if (!query.exec() || !query.next()) {
        refusedWith(query.lastError(), QStringLiteral("the shared journal could not be read"));
        return refused();
    }
    forwarded.site = query.value(0).toString();
    query.finish();
    for (;;) {
        const std::optional<ForwardBatch> batch = local.unforwarded(batchSize);
        if (!batch)
            return localFailed();
        if (batch->records.isEmpty())
            return forwarded;
        if (!insert(*batch, forwarded.added))
            return refused();
        // Committed (one statement): a forward cut off before the mark moves sends the batch
        // again, and the server keeps the first copy.
        if (!local.markForwarded(*batch))
            return localFailed();
        forwarded.records += batch->records.size();
        if (batch->records.size() - batch->completed < batchSize)
            return forwarded; // the rest (if any) waits for a job still running
    }
}
