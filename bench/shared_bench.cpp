// Times the office's reads of a shared journal that a fleet has filled for a month (or the days
// given), each as a fresh `display-send` process run with the office's reader role against a
// throwaway cluster:
//   send_start_s=<median s of --version, the floor under every figure>
//   shared_history_s=<median s of --history --shared --limit 20>
//   shared_report_s=<median s of --report - --shared, the whole fleet's page>
//   shared_check_s=<median s of --check --shared --expect-every 15m; the stopped sites make it
//   exit 1, which is its answer, not a failure>
//   records=<n> sites=<n> days=<n> idle_devices=<n> runs=<n>
// then, with one record of a 48 MB error and a 48 MB row set added (older data may hold them;
// the shared journal takes neither now), the peak memory of each reader (stderr) and the most:
//   shared_big_mb=<the largest peak resident size of --history, --history --json, --report,
//   --check, MB>
// then what the database holds on disk (MB, and bytes a record of the jobs table with its
// indexes, the figure that scales to a larger fleet):
//   db_mb= jobs_mb= jobs_indexes_mb= <each index>_mb= rowsets_mb= bytes_per_record=
// The records are made by the server itself (generate_series), as the fleet's forwards would
// have left them: an upload every 15 minutes a site, the newest minutes ago, a few distinct row
// sets, board 5 silent some afternoons at some sites, a port error now and then, and two sites
// whose timer stopped half a day ago; and idle devices (100 unless given) that only ever ran a
// board test, at the start of the period, so that nothing but an index of uploads by device
// tells the check quickly that they never had an upload.
// Usage: display-shared-bench [runs] [sites] [days] [idle devices]
// (1,000,000 records: display-shared-bench 5 50 209)

#include "pgcluster.h"

#include "figures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

constexpr int UploadsPerDay = 96;
constexpr int RowSets = 8;
constexpr QLatin1StringView Database{"boards"};
constexpr QLatin1StringView OfficeRole{"office"};
// A throwaway cluster's password; it still goes through a password file, as an office's would.
constexpr QLatin1StringView OfficePassword{"office-bench"};

bool writeWhole(const QString &path, const QByteArray &bytes) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    std::fprintf(stderr, "display-shared-bench: cannot write %s: %s\n", qPrintable(path),
                 qPrintable(file.errorString()));
    return false;
}

// A folder holding only a journal.conf that reaches the database as user.
bool makeFolder(const QString &path, const PgCluster &cluster, const QString &user) {
    if (!QDir().mkpath(path)) {
        std::fprintf(stderr, "display-shared-bench: cannot make %s\n", qPrintable(path));
        return false;
    }
    return writeWhole(path + QStringLiteral("/journal.conf"),
                      QStringLiteral("[shared]\nconnection = %1\nsite = office\n")
                          .arg(cluster.connection(user, Database))
                          .toUtf8());
}

// The fleet's records, straight into the tables as forwarding leaves them: rows as jsonb's text
// and found by its SHA-256, times as UTC ISO 8601 text with milliseconds.
QString fillStatements(int sites, int days, int idle) {
    const int records = days * UploadsPerDay;
    const QString utc = QStringLiteral("'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'");
    return QStringLiteral(
               "\\c %1\n"
               "INSERT INTO display_journal.rowsets (hash, rows) "
               "SELECT sha256(convert_to(r.rows::text, 'UTF8')), r.rows::text "
               "FROM generate_series(0, %2 - 1) v, LATERAL (SELECT jsonb_agg(format("
               "'ROW %s PAGE %s SO2 %s UG/M3', i % 16, i / 16, v * 7 + i % 5) ORDER BY i) AS rows "
               "FROM generate_series(0, 95) i) r;\n"
               "CREATE TEMP TABLE sets AS SELECT (row_number() OVER (ORDER BY hash) - 1)::int "
               "AS variant, hash FROM display_journal.rowsets;\n"
               "INSERT INTO display_journal.jobs (site, journal, record, started, finished, "
               "program, job, port, device, outcome, error, frames, lights, delay, \"user\", "
               "host, boards, unavailable, rowset) "
               "SELECT format('site-%s', lpad(s::text, 2, '0')), md5('journal ' || s), n, "
               "to_char(t AT TIME ZONE 'UTC', %5), "
               "to_char((t + interval '31 seconds') AT TIME ZONE 'UTC', %5), "
               "'send', 'upload', 33, '/dev/ttyUSB0', "
               "CASE WHEN failed THEN 'port-error' ELSE 'complete' END, "
               "CASE WHEN failed THEN 'Cannot open /dev/ttyUSB0 (COM 33): No such file or "
               "directory' END, "
               "CASE WHEN failed THEN 0 ELSE 50 END, "
               "CASE WHEN failed THEN 'ccccccccc' WHEN silent THEN 'cggggrggg' "
               "ELSE 'cgggggggg' END, "
               "5, 'display-send', format('gate-%s', s), '1-8', "
               "CASE WHEN NOT failed AND n % 40 = 0 THEN '[\"so2\"]' ELSE '[]' END, sets.hash "
               "FROM generate_series(1, %4) n CROSS JOIN generate_series(1, %3) s "
               "CROSS JOIN LATERAL (SELECT now() - make_interval(mins => 15 * (%4 - n) + s % 15 "
               "+ CASE WHEN s % 25 = 0 THEN 720 ELSE 0 END) AS t, (n * 7 + s) % 211 = 0 AS "
               "failed, s % 5 = 2 AND (n / 96) % 3 = 0 AND n % 96 BETWEEN 52 AND 68 AS silent) x "
               "JOIN sets ON sets.variant = (s + n / 96) % %2 ORDER BY n, s;\n"
               "INSERT INTO display_journal.jobs (site, journal, record, started, finished, "
               "program, job, port, device, outcome, frames, lights) "
               "SELECT format('site-%s', lpad((i % %3 + 1)::text, 2, '0')), md5('idle ' || i), "
               "1, to_char(t AT TIME ZONE 'UTC', %5), "
               "to_char((t + interval '9 seconds') AT TIME ZONE 'UTC', %5), 'send', 'test', 40, "
               "format('/dev/idle%s', i), 'complete', 9, 'cgggggggg' FROM generate_series(1, %6) "
               "i CROSS JOIN LATERAL (SELECT now() - make_interval(mins => 15 * %4) AS t) x;\n"
               "ANALYZE;\n")
        .arg(Database, QString::number(RowSets), QString::number(sites), QString::number(records),
             utc, QString::number(idle));
}

// One office command timed as a fresh process; its output is thrown away. A status other than
// 0 (or 1 where the command says so by it) ends the bench.
struct Command {
    const char *figure;
    QStringList arguments;
    bool oneIsAnAnswer = false; // --check: 1 says a site is stale, which is not a failure
};

std::optional<double> timeOnce(const Command &command, const QString &folder,
                               const QProcessEnvironment &environment) {
    QProcess send;
    send.setProcessEnvironment(environment);
    send.setWorkingDirectory(folder);
    send.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    send.start(QStringLiteral(DISPLAY_SEND), command.arguments);
    const bool finished = send.waitForFinished(120000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const int status = send.exitCode();
    if (!finished || send.exitStatus() != QProcess::NormalExit ||
        (status != 0 && !(status == 1 && command.oneIsAnAnswer))) {
        std::fprintf(stderr, "display-shared-bench: display-send %s failed (exit %d): %s\n",
                     qPrintable(command.arguments.join(u' ')), status,
                     send.readAllStandardError().constData());
        return std::nullopt;
    }
    return seconds;
}

// The peak resident size of one office command, in MB, as the kernel counts it (VmHWM), read
// until the process ends.
std::optional<double> peakMb(const QStringList &arguments, const QString &folder,
                             const QProcessEnvironment &environment) {
    QProcess send;
    send.setProcessEnvironment(environment);
    send.setWorkingDirectory(folder);
    send.setStandardOutputFile(QProcess::nullDevice());
    send.start(QStringLiteral(DISPLAY_SEND), arguments);
    if (!send.waitForStarted())
        return std::nullopt;
    QFile status(QStringLiteral("/proc/%1/status").arg(send.processId()));
    double peak = 0;
    QElapsedTimer timer;
    timer.start();
    do {
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    peak = std::max(peak,
                                    line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0);
            status.close();
        }
    } while (!send.waitForFinished(2) && timer.elapsed() < 120000);
    if (send.state() != QProcess::NotRunning || send.exitStatus() != QProcess::NormalExit ||
        send.exitCode() > 1) {
        std::fprintf(stderr, "display-shared-bench: display-send %s failed: %s\n",
                     qPrintable(arguments.join(u' ')), send.readAllStandardError().constData());
        return std::nullopt;
    }
    return peak;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int sites = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
    const int days = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;
    const int idle = argc > 4 ? std::max(0, std::atoi(argv[4])) : 100;
    const qint64 records = qint64(sites) * days * UploadsPerDay + idle;

    PgCluster cluster;
    QTemporaryDir root;
    const auto failed = [&](const QString &what) {
        std::fprintf(stderr, "display-shared-bench: %s\n", qPrintable(what));
        return 1;
    };
    if (!cluster.ok())
        return failed(cluster.problem());
    if (!root.isValid())
        return failed(root.errorString());

    // The office's password file: libpq ignores one that others may read.
    const QString passFile = root.filePath(QStringLiteral("pgpass"));
    if (!writeWhole(passFile,
                    QStringLiteral("*:*:*:%1:%2\n").arg(OfficeRole, OfficePassword).toUtf8()) ||
        !QFile::setPermissions(passFile, QFile::ReadOwner | QFile::WriteOwner))
        return failed(QStringLiteral("cannot make %1 private").arg(passFile));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys())
        if (name.startsWith(QStringLiteral("PG")))
            environment.remove(name);
    environment.insert(QStringLiteral("PGPASSFILE"), passFile);

    const QString admin = root.filePath(QStringLiteral("admin"));
    const QString office = root.filePath(QStringLiteral("office"));
    if (!cluster.psql(QStringLiteral("CREATE DATABASE %1;"
                                     "CREATE ROLE %2 LOGIN PASSWORD '%3';")
                          .arg(Database, OfficeRole, OfficePassword)))
        return failed(cluster.problem());
    if (!makeFolder(admin, cluster, QStringLiteral("postgres")) ||
        !makeFolder(office, cluster, OfficeRole))
        return 1;
    QProcess init;
    init.setProcessEnvironment(environment);
    init.setWorkingDirectory(admin);
    init.start(QStringLiteral(DISPLAY_SEND), {QStringLiteral("--shared-init")});
    if (!init.waitForFinished(60000) || init.exitStatus() != QProcess::NormalExit ||
        init.exitCode() != 0)
        return failed(QStringLiteral("display-send --shared-init failed: %1")
                          .arg(QString::fromLocal8Bit(init.readAllStandardError())));
    if (!cluster.psql(QStringLiteral("GRANT %1_display_reader TO %2;").arg(Database, OfficeRole)))
        return failed(cluster.problem());

    QElapsedTimer filling;
    filling.start();
    if (!cluster.psql(fillStatements(sites, days, idle)))
        return failed(cluster.problem());
    std::fprintf(stderr, "%lld records of %d sites made in %.1f s\n",
                 static_cast<long long>(records), sites, double(filling.elapsed()) / 1e3);

    const QList<Command> commands{
        // What a fresh process costs before it reaches the network, for reading the others.
        {"send_start_s", {QStringLiteral("--version")}},
        {"shared_history_s",
         {QStringLiteral("--history"), QStringLiteral("--shared"), QStringLiteral("--limit"),
          QStringLiteral("20")}},
        {"shared_report_s",
         {QStringLiteral("--report"), QStringLiteral("-"), QStringLiteral("--shared")}},
        {"shared_check_s",
         {QStringLiteral("--check"), QStringLiteral("--shared"), QStringLiteral("--expect-every"),
          QStringLiteral("15m")},
         true},
    };
    QStringList figures;
    for (const Command &command : commands) {
        QList<double> seconds;
        QStringList each;
        for (int run = 0; run < runs; ++run) {
            const std::optional<double> once = timeOnce(command, office, environment);
            if (!once)
                return 1;
            seconds << *once;
            each << QString::number(*once, 'f', 3);
        }
        std::fprintf(stderr, "%s: %s\n", command.figure, qPrintable(each.join(u' ')));
        figures << QStringLiteral("%1=%2").arg(QLatin1String(command.figure),
                                               QString::number(median(seconds), 'f', 3));
    }
    std::printf("%s records=%lld sites=%d days=%d idle_devices=%d runs=%d\n",
                qPrintable(figures.join(u' ')), static_cast<long long>(records), sites, days, idle,
                runs);

    // One record as an older journal could hold it, newest of all.
    if (!cluster.psql(
            QStringLiteral(
                "\\c %1\n"
                "INSERT INTO display_journal.rowsets (hash, rows) SELECT sha256(convert_to(r, "
                "'UTF8')), r FROM (SELECT jsonb_agg(repeat('R', 500000))::text AS r FROM "
                "generate_series(1, 96)) x;\n"
                "INSERT INTO display_journal.jobs (site, journal, record, started, finished, "
                "program, job, port, device, outcome, error, frames, lights, rowset) SELECT "
                "'site-big', md5('big'), 1, to_char(now() AT TIME ZONE 'UTC', %2), "
                "to_char(now() AT TIME ZONE 'UTC', %2), 'send', 'upload', 33, '/dev/ttyUSB0', "
                "'complete', repeat('E', 48000000), 50, 'cgggggggg', (SELECT hash FROM "
                "display_journal.rowsets ORDER BY length(rows) DESC LIMIT 1);\n")
                .arg(Database, QStringLiteral("'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'"))))
        return failed(cluster.problem());
    const QList<QStringList> readers{
        {QStringLiteral("--history"), QStringLiteral("--shared"), QStringLiteral("--limit"),
         QStringLiteral("5")},
        {QStringLiteral("--history"), QStringLiteral("--shared"), QStringLiteral("--limit"),
         QStringLiteral("5"), QStringLiteral("--json")},
        {QStringLiteral("--report"), QStringLiteral("-"), QStringLiteral("--shared")},
        {QStringLiteral("--check"), QStringLiteral("--shared"), QStringLiteral("--expect-every"),
         QStringLiteral("15m")},
    };
    double biggest = 0;
    for (const QStringList &reader : readers) {
        const std::optional<double> peak = peakMb(reader, office, environment);
        if (!peak)
            return 1;
        std::fprintf(stderr, "peak of %s: %.1f MB\n", qPrintable(reader.join(u' ')), *peak);
        biggest = std::max(biggest, *peak);
    }
    std::printf("shared_big_mb=%.1f\n", biggest);

    // Sizes in the server's own measure: the table's main fork (pg_relation_size) and its
    // indexes (pg_indexes_size), each index by name, and the row sets with their index.
    QString sizes;
    if (!cluster.psql(
            QStringLiteral(
                "\\c %1\n"
                "SELECT 'db_mb=' || round(pg_database_size('%1') / 1048576.0, 1) || "
                "' jobs_mb=' || round(pg_relation_size('display_journal.jobs') / 1048576.0, 1) || "
                "' jobs_indexes_mb=' || round(pg_indexes_size('display_journal.jobs') / "
                "1048576.0, 1) || (SELECT string_agg(' ' || indexrelname || '_mb=' || "
                "round(pg_relation_size(indexrelid) / 1048576.0, 1), '' ORDER BY indexrelname) "
                "FROM pg_stat_user_indexes WHERE schemaname = 'display_journal' AND relname = "
                "'jobs') || ' rowsets_mb=' || round(pg_total_relation_size("
                "'display_journal.rowsets') / 1048576.0, 2) || ' bytes_per_record=' || "
                "round((pg_relation_size('display_journal.jobs') + "
                "pg_indexes_size('display_journal.jobs'))::numeric / %2)")
                .arg(Database, QString::number(records)),
            &sizes))
        return failed(cluster.problem());
    std::printf("%s\n", qPrintable(sizes));
    return 0;
}
