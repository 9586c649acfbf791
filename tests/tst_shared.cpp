// The shared journal against a real PostgreSQL server: a throwaway cluster of the test's own.

#include "jobrecords.h"
#include "journalconf.h"
#include "pgcluster.h"
#include "programrun.h"
#include "ptycable.h"
#include "sharedjournal.h"
#include "testfiles.h"

#include "failure.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What --check --shared said, and what its alert command wrote to alerts.txt.
struct Checked : ProgramResult {
    QString alerts;
};

// A server on 127.0.0.1 whose kernel takes connections, and that never answers them.
struct SilentServer {
    SilentServer() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~SilentServer() { ::close(fd); }
    QString connection() const {
        return QStringLiteral("host=127.0.0.1 port=%1 connect_timeout=30").arg(port);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int port = 0;
};

const QHash<QString, QString> Passwords{
    {"admin", "admin-secret"},      {"gate_north", "north-secret"},
    {"gate_south", "south-secret"}, {"office", "office-secret"},
    {"gate_east", "east-secret"},   {"gate_killed", "killed-secret"},
    {"gate_stray", "stray-secret"}, {"gate_future", "future-secret"},
    {"office_trap", "trap-secret"}, {"gate_cut", "cut-secret"},
    {"gate_words", "words-secret"}, {"gate_sealed", "sealed-secret"}};

// A record of the forward's batch, a complete upload on port 7; fields replaced as given.
QString batchRecord(const QString &replaced = {}) {
    return QStringLiteral(
               R"([{"record":1,"started":"2026-01-01T00:00:00.000Z",)"
               R"("finished":"2026-01-01T00:00:30.000Z","program":"send","job":"upload",)"
               R"("port":7,"device":"/dev/ttyS6","outcome":"complete","error":null,)"
               R"("frames":52,"lights":"cgggggggg","delay":5,"user":null,"host":null,)"
               R"("boards":null,"unavailable":null,"rows":null%1}])")
        .arg(replaced);
}

const QStringList SiteRows = [] {
    QStringList rows;
    for (int i = 0; i < 96; ++i)
        rows << QStringLiteral("row %1").arg(i);
    return rows;
}();

} // namespace

class TestShared : public QObject {
    Q_OBJECT

    PgCluster *m_cluster = nullptr;
    QTemporaryDir m_root;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();

    // A folder for site (its journal.conf logs in as user, to the database after an '@' or
    // boards), made once.
    QString folder(const QString &site, const QString &user, bool withSite = true,
                   const QString &connection = {}) {
        const QString path = m_root.filePath(site);
        QDir().mkpath(path);
        const QString database =
            user.contains(u'@') ? user.section(u'@', 1) : QStringLiteral("boards");
        writeBytes(path + QStringLiteral("/journal.conf"),
                   QStringLiteral("[shared]\nconnection = %1\n%2")
                       .arg(connection.isEmpty()
                                ? m_cluster->connection(user.section(u'@', 0, 0), database)
                                : connection,
                            withSite ? QStringLiteral("site = %1\n").arg(site) : QString())
                       .toUtf8());
        return path;
    }
    // A batch as a site's login hands it to the server itself; false with the server's words.
    bool forwardAs(const QString &login, const QString &journal, const QString &batch) {
        return m_cluster->psql(
            QStringLiteral("\\c boards\nSELECT display_journal.forward_batch('%1', NULL, '%2')")
                .arg(journal, batch),
            nullptr, login, Passwords.value(login));
    }
    // Records in folder's journal: count uploads, started an hour ago and on.
    void record(const QString &folder, int count) {
        Journal journal(folder + QStringLiteral("/display-journal.db"));
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-3600);
        journal.startBatch();
        for (int i = 0; i < count; ++i) {
            const qint64 id = journal.begin(uploadStarted(SiteRows, start.addSecs(i)));
            journal.finish(id, uploadCompleted(start.addSecs(i + 1)));
        }
        journal.endBatch();
    }
    // display-send's quick build: the jobs' reply windows are not what these tests check.
    QProcess *start(const QStringList &arguments, const QString &folder) {
        auto *const process = new QProcess(this);
        startProgram(*process, QStringLiteral(DISPLAY_SEND_QUICK), arguments, folder,
                     m_environment);
        return process;
    }
    ProgramResult send(const QStringList &arguments, const QString &folder) {
        return runProgram(QStringLiteral(DISPLAY_SEND_QUICK), arguments, folder, m_environment,
                          90'000);
    }
    // What the office reads: the number of records of site (every site when empty).
    int sharedCount(const QString &site = {}) {
        QString out;
        const QString where =
            site.isEmpty() ? QString() : QStringLiteral(" WHERE site = '%1'").arg(site);
        if (!m_cluster->psql(
                QStringLiteral("\\c boards\nSELECT count(*) FROM display_journal.jobs") + where,
                &out, QStringLiteral("postgres")))
            return -1;
        return out.trimmed().toInt();
    }

    // North's 1200 records and south's 3 in the shared journal, as twoSitesForward leaves them,
    // for a test run on its own.
    bool sitesForwarded() {
        if (QFileInfo::exists(m_root.filePath(QStringLiteral("north/display-journal.db"))))
            return true;
        for (const auto &[site, count] : {std::pair{"north", 1200}, std::pair{"south", 3}}) {
            const QString path = folder(site, QStringLiteral("gate_") + site);
            record(path, count);
            if (send({QStringLiteral("--forward")}, path).status != 0)
                return false;
        }
        return true;
    }
    // A complete upload of site's device on port 7, made and received minutes ago.
    bool upload(const QString &site, const QString &device, int made, int received) {
        static int number = 0;
        return m_cluster->psql(
            QStringLiteral(
                "\\c boards\nINSERT INTO display_journal.jobs (site, journal, record, "
                "started, finished, program, job, port, device, outcome, received) "
                "SELECT '%1', repeat('9', 32), %2, t, t, 'send', 'upload', 7, '%3', "
                "'complete', now() - interval '%5 minutes' FROM to_char(now() AT TIME "
                "ZONE 'UTC' - interval '%4 minutes', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') t")
                .arg(site, QString::number(++number), device, QString::number(made),
                     QString::number(received)));
    }
    // --check --shared with an alert that writes the words echoed, its variables, to alerts.txt
    // in folder.
    Checked
    checkWithAlert(const QStringList &arguments, const QString &folder,
                   const QString &echoed = QStringLiteral(
                       "$DISPLAY_SITE|$DISPLAY_OUTCOME|$DISPLAY_RECEIVED_LATE|$DISPLAY_ERROR")) {
        QFile::remove(folder + "/alerts.txt");
        Checked result{send(QStringList{"--check", "--shared", "--alert",
                                        QStringLiteral("echo \"%1\" >> alerts.txt").arg(echoed)} +
                                arguments,
                            folder),
                       {}};
        result.alerts = QString::fromUtf8(fileBytes(folder + "/alerts.txt"));
        return result;
    }

private Q_SLOTS:
    void initTestCase() {
        m_cluster = new PgCluster;
        if (!m_cluster->ok())
            QFAIL(qPrintable(m_cluster->problem()));
        QVERIFY2(m_cluster->psql(
                     QStringLiteral("CREATE ROLE admin LOGIN CREATEROLE PASSWORD 'admin-secret';"
                                    "CREATE DATABASE boards OWNER admin;"
                                    "CREATE DATABASE other OWNER admin;"
                                    "CREATE DATABASE empty;"
                                    "CREATE ROLE gate_west LOGIN PASSWORD 'west-secret';")),
                 qPrintable(m_cluster->problem()));
        // Passwords as a site keeps them: a file of its own, readable by its owner only.
        const QString passFile = m_root.filePath(QStringLiteral("pgpass"));
        QFile pass(passFile);
        QVERIFY(pass.open(QIODevice::WriteOnly));
        for (auto it = Passwords.cbegin(); it != Passwords.cend(); ++it) {
            pass.write(QStringLiteral("*:*:*:%1:%2\n").arg(it.key(), it.value()).toUtf8());
            if (it.key() != QLatin1String("admin"))
                QVERIFY2(m_cluster->psql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'")
                                             .arg(it.key(), it.value())),
                         qPrintable(m_cluster->problem()));
        }
        pass.write("*:*:*:gate_west:not-its-password\n*:*:*:gate_ghost:no-such-role\n");
        pass.close();
        QFile::setPermissions(passFile, QFile::ReadOwner | QFile::WriteOwner);
        m_environment.insert(QStringLiteral("PGPASSFILE"), passFile);
        qputenv("PGPASSFILE", passFile.toLocal8Bit());
        // Services that journal.conf may name, read where libpq reads them.
        const QString services = m_root.filePath(QStringLiteral("pg_service.conf"));
        writeBytes(services, "[local]\nhost=/run/postgresql\n[weak]\n# over TCP\nhost = db\n"
                             "sslmode=require\n[remote]\nhost=db.example\n");
        qputenv("PGSERVICEFILE", services.toLocal8Bit());

        // Each fleet its own roles: named after its database.
        for (const QString &database : {QStringLiteral("boards"), QStringLiteral("other")}) {
            const ProgramResult first = send(
                {QStringLiteral("--shared-init")},
                folder(QStringLiteral("admin-") + database, QStringLiteral("admin@") + database));
            QVERIFY2(first.status == 0 && first.out.contains(QStringLiteral("created the role "
                                                                            "%1_display_site")
                                                                 .arg(database)),
                     qPrintable(first.out + first.err));
        }
        const QString admin = m_root.filePath(QStringLiteral("admin-boards"));
        const QList<QStringList> setUp{{"--shared-init"},
                                       {"--shared-add-site", "gate_north", "north"},
                                       {"--shared-add-site", "gate_north", "north"},
                                       {"--shared-add-site", "gate_south", "south"},
                                       {"--shared-add-site", "gate_east", "east"},
                                       {"--shared-add-site", "gate_killed", "killed"},
                                       {"--shared-add-site", "gate_future", "future"},
                                       {"--shared-add-site", "gate_cut", "cut"},
                                       {"--shared-add-site", "gate_words", "words"},
                                       {"--shared-add-site", "gate_sealed", "sealed"},
                                       {"--shared-add-reader", "office"},
                                       {"--shared-add-reader", "office_trap"}};
        for (qsizetype step = 0; step < setUp.size(); ++step) {
            const ProgramResult done = send(setUp.at(step), admin);
            // But for --shared-init, which warns of admin's CREATEROLE (administratorWarned).
            QVERIFY2(done.status == 0 && (step == 0 || done.err.isEmpty()),
                     qPrintable(done.out + done.err));
            // Run again with the same words, each changes nothing.
            QVERIFY2(step != 2 || done.out.contains(QLatin1String("nothing was changed")),
                     qPrintable(done.out));
        }
        QCOMPARE(send({"--shared-add-site", "gate_north", "south"}, admin).status, 2);
        // A schema this program does not know, in the other fleet's database.
        QVERIFY(m_cluster->psql(
            QStringLiteral("\\c other\nUPDATE display_journal.meta SET version = 1")));
        // A site whose clock is 72 years ahead: its upload of 2099 is never fresh.
        QVERIFY2(forwardAs(QStringLiteral("gate_future"), QString(32, u'f'),
                           batchRecord().replace(QLatin1String("2026-01-01"),
                                                 QLatin1String("2099-01-01"))),
                 qPrintable(m_cluster->problem()));
        // Records as the server may hold them: site odd's device named to retitle and clear
        // the office's terminal, uploaded to a minute ago; site many's 25 devices, none uploaded
        // to this year; an older record whose error runs far past what the journal takes now.
        // And a server that drops site cut's connection half-way through its forward.
        QVERIFY2(
            m_cluster->psql(QStringLiteral(
                "\\c boards\nINSERT INTO display_journal.jobs (site, journal, record, started, "
                "finished, program, job, port, device, outcome, error) SELECT 'odd', "
                "repeat('0', 32), 1, t, t, 'send', 'upload', 7, E'\\x1b]0;owned\\x07\\x1b[2J' "
                "|| chr(8238), 'complete', NULL FROM to_char(now() AT TIME ZONE 'UTC' - "
                "interval '1 minute', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') t UNION ALL SELECT "
                "s, md5(s), d, '2026-01-01T00:00:00.000Z', "
                "'2026-01-01T00:00:30.000Z', 'send', 'upload', 7, 'd' || d, 'complete', NULL "
                "FROM (VALUES ('many', 25), ('few', 21)) v(s, n), generate_series(1, n) d "
                "UNION ALL SELECT 'old', repeat('c', 32), 1, "
                "'2026-01-01T00:00:00.000Z', NULL, 'send', 'test', 1, 'd', NULL, "
                "repeat('e', 100000);"
                "CREATE FUNCTION public.cut() RETURNS trigger LANGUAGE plpgsql SECURITY "
                "DEFINER AS $$BEGIN IF NEW.site = 'cut' THEN PERFORM "
                "pg_terminate_backend(pg_backend_pid()); END IF; RETURN NEW; END$$;"
                "CREATE TRIGGER cut BEFORE INSERT ON display_journal.jobs FOR EACH ROW "
                "EXECUTE FUNCTION public.cut();")),
            qPrintable(m_cluster->problem()));
        // An office whose search path finds an "=" on text that writes before the built-in one:
        // every read of the shared journal's records (north's, forwarded below) then tries to
        // write, and only its session's being read-only stops it.
        QVERIFY2(m_cluster->psql(QStringLiteral(
                     "\\c boards\n"
                     "CREATE SCHEMA trap; CREATE TABLE trap.reads (at timestamptz);"
                     "CREATE FUNCTION trap.noted(a text, b text) RETURNS boolean LANGUAGE plpgsql "
                     "SECURITY DEFINER SET search_path = pg_catalog AS "
                     "$$BEGIN INSERT INTO trap.reads VALUES (now()); RETURN a = b; END$$;"
                     "CREATE OPERATOR trap.= (FUNCTION = trap.noted, LEFTARG = text, "
                     "RIGHTARG = text);"
                     "GRANT USAGE ON SCHEMA trap TO office_trap;"
                     "ALTER ROLE office_trap SET search_path = trap, pg_catalog;")),
                 qPrintable(m_cluster->problem()));
        folder(QStringLiteral("office"), QStringLiteral("office"));
    }
    void cleanupTestCase() { delete m_cluster; }

    void journalConf_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("problem"); // empty: read
        const QString ok = QStringLiteral("[shared]\nconnection = host=db dbname=boards\n");
        QTest::newRow("plain") << ok << "";
        QTest::newRow("a comment and a site") << "# x\n" + ok + "site = gate-north\n"
                                              << "";
        QTest::newRow("lines ended by a lone CR")
            << "[shared]\rconnection = host=db dbname=boards\rsite = gate-north\r"
            << "";
        QTest::newRow("no connection") << "[shared]\nsite = x\n"
                                       << "no connection";
        QTest::newRow("a semicolon") << "[shared]\nconnection = host=db;dbname=x\n"
                                     << "\";\"";
        QTest::newRow("a password") << "[shared]\nconnection = host=db password=x\n"
                                    << "line 2: connection holds a password";
        QTest::newRow("a password with spaces around =")
            << "[shared]\nconnection = host=db password = x\n"
            << "line 2: connection holds a password";
        QTest::newRow("a password in capitals") << "[shared]\nconnection = host=db PASSWORD=x\n"
                                                << "line 2: connection holds a password";
        QTest::newRow("sslpassword, the client key's passphrase: refused")
            << "[shared]\nconnection = host=db sslpassword=x\n"
            << "line 2: connection holds a password";
        QTest::newRow("a connection ending in a backslash")
            << "[shared]\nconnection = host=db dbname=x\\\n"
            << "line 2: connection ends in a backslash";
        QTest::newRow("a URI") << "[shared]\nconnection = postgresql://db/boards\n"
                               << "not a keyword/value string";
        QTest::newRow("an open quote") << "[shared]\nconnection = options='-c x\n"
                                       << "not a keyword/value string";
        QTest::newRow("another section") << ok + "[other]\n"
                                         << "line 3: \"[other]\" is not";
        QTest::newRow("an unknown key") << ok + "user = x\n"
                                        << "line 3: \"user\" is not a key";
        QTest::newRow("a bad site") << ok + "site = a b\n"
                                    << "line 3: site \"a b\"";
        QTest::newRow("a key before the section") << "site = x\n" + ok << "line 1: a key before";
        QTest::newRow("sslmode=disable to a TCP host: refused")
            << "[shared]\nconnection = host=db sslmode=disable\n"
            << "line 2: sslmode=disable over TCP";
        QTest::newRow("sslmode=verify-ca to a hostaddr: refused")
            << "[shared]\nconnection = hostaddr=192.0.2.1 sslmode=verify-ca\n"
            << "line 2: sslmode=verify-ca over TCP";
        QTest::newRow("sslmode=disable to a TCP host, insecure = yes: read")
            << "[shared]\nconnection = host=db sslmode=disable\ninsecure = yes\n"
            << "";
        QTest::newRow("sslmode=disable on a socket: read")
            << "[shared]\nconnection = host=/run/postgresql sslmode=disable\n"
            << "";
        QTest::newRow("a service to a TCP host, sslmode=require in it: refused")
            << "[shared]\nconnection = service=weak\n"
            << "line 2: sslmode=require over TCP";
        QTest::newRow("sslmode=disable to a service on a socket: read")
            << "[shared]\nconnection = service=local sslmode=disable\n"
            << "";
        QTest::newRow("an sslmode libpq does not know")
            << "[shared]\nconnection = host=db sslmode=on\n"
            << "line 2: sslmode \"on\" is not one of";
        QTest::newRow("insecure neither yes nor no") << ok + "insecure = maybe\n"
                                                     << "line 3: insecure is \"maybe\"";
    }
    void journalConf() {
        QFETCH(QString, text);
        QFETCH(QString, problem);
        try {
            const SharedJournalConfig config = JournalConf::parse(text, QStringLiteral("j.conf"));
            QVERIFY2(problem.isEmpty(), qPrintable(config.connection));
        } catch (const Failure &failure) {
            QVERIFY2(!problem.isEmpty() && failure.text().contains(problem),
                     qPrintable(failure.text()));
        }
    }

    // Whoever holds the password of a login with CREATEROLE may make themselves more than the
    // fleet's administrator: --shared-init says so, and still does its work.
    void administratorWarned_data() {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("warning"); // empty: none
        QTest::newRow("a login with CREATEROLE")
            << "admin"
            << "display-send: the login admin has CREATEROLE and can log in: ";
        QTest::newRow("the superuser") << "postgres"
                                       << "";
    }
    void administratorWarned() {
        QFETCH(QString, login);
        QFETCH(QString, warning);
        const ProgramResult done = send({QStringLiteral("--shared-init")},
                                        folder(QStringLiteral("init-") + login, login + "@boards"));
        QCOMPARE(done.status, 0);
        QVERIFY2(done.out.contains(QLatin1String("nothing was changed")), qPrintable(done.out));
        QVERIFY2(warning.isEmpty() ? done.err.isEmpty()
                                   : done.err.startsWith(warning) && done.err.count(u'\n') == 1 &&
                                         done.err.contains(QLatin1String("NOCREATEROLE")),
                 qPrintable(done.err));
    }

    void timeoutsAdded_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("opened");
        const QString added =
            QStringLiteral(" connect_timeout=2 tcp_user_timeout=10000 application_name=x "
                           "options='-c statement_timeout=30000'");
        QTest::newRow("a TCP host: verify-full added") << "host=db"
                                                       << "host=db sslmode=verify-full" + added;
        QTest::newRow("a socket: no sslmode") << "host=/run/postgresql"
                                              << "host=/run/postgresql" + added;
        QTest::newRow("its own timeout, options and sslmode kept")
            << "host=db connect_timeout=9 options='-c statement_timeout=5' sslmode=disable"
            << "host=db connect_timeout=9 options='-c statement_timeout=5' sslmode=disable "
               "tcp_user_timeout=10000 application_name=x";
        QTest::newRow("a service's TCP host: verify-full added")
            << "service=remote"
            << "service=remote sslmode=verify-full" + added;
        QTest::newRow("a service's own sslmode kept") << "service=weak"
                                                      << "service=weak" + added;
        QTest::newRow("options without a statement timeout")
            << "options=-csearch_path=a"
            << "options=-csearch_path=a connect_timeout=2 tcp_user_timeout=10000 "
               "application_name=x options='-csearch_path=a -c statement_timeout=30000'";
    }
    void timeoutsAdded() {
        QFETCH(QString, given);
        QFETCH(QString, opened);
        QCOMPARE(JournalConf::withTimeouts(given, QStringLiteral("x")), opened);
    }

    // Two sites forward; each record arrives once, however often or however many at once the
    // forward runs, and whatever cut one off before it moved its mark.
    void twoSitesForward() {
        const QString north = folder(QStringLiteral("north"), QStringLiteral("gate_north"));
        const QString south = folder(QStringLiteral("south"), QStringLiteral("gate_south"));
        record(north, 1200);
        record(south, 3);
        // The journal as it was before any forward moved its mark.
        const QString northJournal = north + QStringLiteral("/display-journal.db");
        const QString unforwarded = m_root.filePath(QStringLiteral("north-unforwarded.db"));
        QVERIFY(QFile::copy(northJournal, unforwarded));
        // Two at once at the same site.
        QProcess *const one = start({QStringLiteral("--forward")}, north);
        QProcess *const two = start({QStringLiteral("--forward")}, north);
        const ProgramResult first = finish(*one, 90'000);
        const ProgramResult second = finish(*two, 90'000);
        QVERIFY2(first.status == 0 && second.status == 0, qPrintable(first.err + second.err));
        QVERIFY2(first.out.startsWith(QLatin1String("Forwarded ")), qPrintable(first.out));
        QCOMPARE(send({QStringLiteral("--forward")}, south).status, 0);
        QCOMPARE(sharedCount(QStringLiteral("north")), 1200);
        QCOMPARE(sharedCount(QStringLiteral("south")), 3);
        // A forward killed after the server committed, before the mark moved: sent again, kept
        // once.
        QVERIFY(QFile::remove(northJournal) && QFile::copy(unforwarded, northJournal));
        const ProgramResult again = send({QStringLiteral("--forward")}, north);
        QCOMPARE(again.status, 0);
        QVERIFY2(again.out.startsWith(QLatin1String("Forwarded 1200 ")), qPrintable(again.out));
        QCOMPARE(sharedCount(QStringLiteral("north")), 1200);
        // Killed half-way through a backlog, then run again.
        const QString west = folder(QStringLiteral("killed"), QStringLiteral("gate_killed"));
        record(west, 6000);
        QProcess *const killed = start({QStringLiteral("--forward")}, west);
        QTRY_VERIFY_WITH_TIMEOUT(sharedCount(QStringLiteral("killed")) > 0, 30000);
        killed->kill();
        finish(*killed);
        QVERIFY(sharedCount(QStringLiteral("killed")) < 6000);
        QCOMPARE(send({QStringLiteral("--forward")}, west).status, 0);
        QCOMPARE(sharedCount(QStringLiteral("killed")), 6000);
        // One set of rows kept once for all of them.
        QString rowsets;
        QVERIFY(m_cluster->psql(
            QStringLiteral("\\c boards\nSELECT count(*) FROM display_journal.rowsets"), &rowsets));
        QCOMPARE(rowsets.trimmed(), QStringLiteral("1"));

        // The office reads them back, newest first, all sites or one.
        const QString office = m_root.filePath(QStringLiteral("office"));
        const ProgramResult all = send({QStringLiteral("--history"), QStringLiteral("--shared"),
                                        QStringLiteral("--limit"), QStringLiteral("5")},
                                       office);
        QVERIFY2(all.status == 0, qPrintable(all.err));
        QCOMPARE(all.out.count(u'\n'), 5);
        const ProgramResult json =
            send({QStringLiteral("--history"), QStringLiteral("--shared"), QStringLiteral("--site"),
                  QStringLiteral("south"), QStringLiteral("--json")},
                 office);
        const QStringList lines = json.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        const QJsonObject object = QJsonDocument::fromJson(lines.first().toUtf8()).object();
        QCOMPARE(object.value(QLatin1String("site")).toString(), QStringLiteral("south"));
        QCOMPARE(object.value(QLatin1String("rows")).toArray().size(), 96);
        QCOMPARE(object.value(QLatin1String("user")).toString(), QStringLiteral("operator"));
        const ProgramResult csv =
            send({QStringLiteral("--history"), QStringLiteral("--shared"), QStringLiteral("--csv"),
                  QStringLiteral("--limit"), QStringLiteral("1")},
                 office);
        QVERIFY2(csv.out.startsWith(QStringLiteral("site,started,")), qPrintable(csv.out));
    }

    // A sealed site forwards; the office verifies its copy with the site's key, and names what
    // the server's superuser changed there afterwards. The rows run in order.
    void sharedVerify_data() {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::newRow("as forwarded: verified") << QString() << 0 << "verified through record 4";
        QTest::newRow("a device changed at the office: named")
            << "UPDATE display_journal.jobs SET device = 'COM 9' WHERE site = 'sealed' AND "
               "record = 2"
            << 1 << "record 2 was changed";
        QTest::newRow("a record deleted at the office: named")
            << "DELETE FROM display_journal.jobs WHERE site = 'sealed' AND record = 3" << 1
            << "record 3 is missing";
    }
    void sharedVerify() {
        QFETCH(QString, tamper);
        QFETCH(int, status);
        QFETCH(QString, said);
        const QString site = folder(QStringLiteral("sealed"), QStringLiteral("gate_sealed"));
        const QString keyFile = site + QStringLiteral("/verification.key");
        if (!QFileInfo::exists(keyFile)) {
            QString problem;
            Journal journal(site + QStringLiteral("/display-journal.db"));
            const std::optional<QString> key = journal.startSealing(
                86400, problem, QDateTime::currentDateTimeUtc().addSecs(-7200));
            QVERIFY2(key, qPrintable(problem));
            QVERIFY(writeBytes(keyFile, key->toLatin1()));
            record(site, 4);
            const ProgramResult forwarded = send({QStringLiteral("--forward")}, site);
            QVERIFY2(forwarded.status == 0, qPrintable(forwarded.err));
        }
        if (!tamper.isEmpty())
            QVERIFY2(m_cluster->psql(QStringLiteral("\\c boards\n") + tamper),
                     qPrintable(m_cluster->problem()));
        const ProgramResult verified =
            send({QStringLiteral("--verify"), keyFile, QStringLiteral("--shared"),
                  QStringLiteral("--site"), QStringLiteral("sealed")},
                 m_root.filePath(QStringLiteral("office")));
        QVERIFY2(verified.status == status && verified.out.contains(said),
                 qPrintable(verified.out + verified.err));
    }

    // The office's report: a table of every site first, then each site's devices; --site keeps
    // to one. An upload is expected every --expect-every: an older last one is marked.
    void sharedReport_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("notShown");
        QTest::newRow("every site, late")
            << QStringList{"--expect-every", "15m"}
            << QStringList{"<th>Site</th>",   ">north</a>",      ">south</a>",
                           "Site north</h2>", "Site south</h2>", "<td class=\"warning\">"}
            << QStringList{};
        QTest::newRow("one site, in time")
            << QStringList{"--site", "north", "--expect-every", "2h"}
            << QStringList{"Site north</h2>", "COM 33 (/dev/ttyUSB0)",
                           "the shared journal, site north"}
            << QStringList{"Site south", "<td class=\"warning\">"};
        QTest::newRow("an error of older data: cut, marked")
            << QStringList{"--site", "old", "--days", "400"}
            << QStringList{QString(2000, u'e') + QChar(0x2026)} << QStringList{QString(2001, u'e')};
        QTest::newRow("a clock 72 years ahead: left out, counted")
            << QStringList{"--site", "future"}
            << QStringList{"1 record dated after ", "the newest 2099-01-01: a clock ahead?"}
            << QStringList{"Site future</h2>"};
    }
    void sharedReport() {
        QVERIFY(sitesForwarded());
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, notShown);
        const ProgramResult result =
            send(QStringList{"--report", "-", "--shared"} + arguments, m_root.filePath("office"));
        QVERIFY2(result.status == 0, qPrintable(result.err));
        for (const QString &text : shown)
            QVERIFY2(result.out.contains(text), qPrintable(text));
        for (const QString &text : notShown)
            QVERIFY2(!result.out.contains(text), qPrintable(text));
    }

    // Older data may hold texts longer than the shared journal takes now: shown cut, marked.
    void longFieldsCut_data() {
        QTest::addColumn<QString>("format");
        QTest::newRow("JSON") << "--json";
    }
    void longFieldsCut() {
        QFETCH(QString, format);
        const ProgramResult result =
            send({"--history", "--shared", "--site", "old", format}, m_root.filePath("office"));
        QVERIFY2(result.status == 0, qPrintable(result.err));
        QVERIFY(result.out.contains(QString(2000, u'e') + QChar(0x2026)));
        QVERIFY(!result.out.contains(QString(2001, u'e')));
    }

    // The office's hourly check: each stale site and device said, and alerted, once.
    void sharedCheck_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("alerts");
        QTest::newRow("in time") << QStringList{"--site", "north", "--expect-every", "2h"} << 0
                                 << "last complete upload to north COM 33 (/dev/ttyUSB0) at "
                                 << "";
        QTest::newRow("late") << QStringList{"--site", "south", "--expect-every", "15m"} << 1
                              << "no complete upload to south COM 33 (/dev/ttyUSB0) since "
                              << "south stale 33 1\n";
        QTest::newRow("an unknown site")
            << QStringList{"--site", "west", "--expect-every", "15m"} << 1 << "no job of site west"
            << "west stale  0\n";
        QTest::newRow("a clock 72 years ahead: said, never fresh")
            << QStringList{"--site", "future", "--expect-every", "15m"} << 1
            << "future's clock is 72 years ahead"
            << "future stale 7 1\n";
        QTest::newRow("a site of 25 stale devices: one alert, 20 listed")
            << QStringList{"--site", "many", "--expect-every", "15m"} << 1
            << "5 more devices of site many"
            << "many stale  20\n";
        QTest::newRow("a site of 21 stale devices: one more, in the singular")
            << QStringList{"--site", "few", "--expect-every", "15m"} << 1
            << "1 more device of site few has no complete upload in time"
            << "few stale  20\n";
        QTest::newRow("a device named with terminal escapes: shown escaped")
            << QStringList{"--site", "odd", "--expect-every", "2h"} << 0
            << "last complete upload to odd COM 7 (\\x1b]0;owned\\x07\\x1b[2J\\u202e) at"
            << "";
    }
    void sharedCheck() {
        QVERIFY(sitesForwarded());
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(QString, alerts);
        const Checked result =
            checkWithAlert(arguments, m_root.filePath("office"),
                           "$DISPLAY_SITE $DISPLAY_OUTCOME $DISPLAY_PORT $(printf "
                           "%s \"$DISPLAY_DEVICES\" | grep -c '')");
        QCOMPARE(result.status, status);
        QVERIFY2((result.out + result.err).contains(said), qPrintable(result.out + result.err));
        QCOMPARE(result.alerts, alerts);
    }

    // A site or a device retired is left out of the check and the report until it sends again.
    void retire_data() {
        QTest::addColumn<QString>("site");
        QTest::addColumn<QStringList>("devices"); // each uploaded to ten hours ago
        QTest::addColumn<QStringList>("device");  // --device and its name, or nothing
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("sendsAfter"); // the device that uploads once retired
        QTest::addColumn<int>("checkStatus");
        QTest::addColumn<QString>("checkSaid"); // once
        QTest::addColumn<QString>("reportSaid");
        QTest::newRow("a site retired: left out") << "rsite" << QStringList{"d1"} << QStringList{}
                                                  << 0 << "Site rsite is retired from now on"
                                                  << "" << 0 << "site rsite is retired since"
                                                  << "Retired, left out: site rsite since";
        QTest::newRow("a device retired: the others checked")
            << "rdev" << QStringList{"d1", "d2"} << QStringList{"--device", "d1"} << 0
            << "The device d1 of site rdev is retired"
            << "" << 1 << "rdev COM 7 (d" /* d2 alone */
            << "d1 of site rdev since";
        QTest::newRow("a record received since: checked again, said once")
            << "rback" << QStringList{"d1"} << QStringList{} << 0 << "is retired from now on"
            << "d1" << 0 << "site rback was retired on"
            << ">rback</a>";
        QTest::newRow("an unknown site")
            << "rnone" << QStringList{} << QStringList{} << 3 << "there is no site rnone"
            << "" << 1 << "no job of site rnone"
            << "";
        QTest::newRow("an unknown device")
            << "rdev2" << QStringList{"d1"} << QStringList{"--device", "d9"} << 3
            << "site rdev2 has no record of a device d9"
            << "" << 1 << "no complete upload to rdev2 COM 7 (d1)"
            << "";
    }
    void retire() {
        QFETCH(QString, site);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, device);
        for (const QString &name : devices)
            QVERIFY(upload(site, name, 600, 600));
        const QString admin = m_root.filePath("admin-boards");
        const ProgramResult first = send(QStringList{"--shared-retire", site} + device, admin);
        QTEST(first.status, "status");
        QFETCH(QString, said);
        QVERIFY2((first.out + first.err).contains(said), qPrintable(first.out + first.err));
        const ProgramResult again = send(QStringList{"--shared-retire", site} + device, admin);
        QCOMPARE(again.status, first.status);
        QVERIFY(first.status != 0 || again.out.contains("nothing was changed")); // run twice
        QFETCH(QString, sendsAfter);
        if (!sendsAfter.isEmpty())
            QVERIFY(upload(site, sendsAfter, 0, 0));
        const QString office = m_root.filePath("office");
        const ProgramResult check =
            send({"--check", "--shared", "--site", site, "--expect-every", "15m"}, office);
        QTEST(check.status, "checkStatus");
        QFETCH(QString, checkSaid);
        QVERIFY2((check.out + check.err).count(checkSaid) == 1, qPrintable(check.out + check.err));
        QFETCH(QString, reportSaid);
        const ProgramResult report = send({"--report", "-", "--shared", "--site", site}, office);
        QVERIFY2(report.out.contains(reportSaid), qPrintable(report.err));
    }

    // A stale site's newest upload tells a site that stopped from one that could not reach the
    // server: in words, in the alert's variables and in the report's table of sites.
    void receipt_data() {
        QTest::addColumn<QString>("site");
        QTest::addColumn<int>("made"); // minutes ago
        QTest::addColumn<int>("received");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("late"); // DISPLAY_RECEIVED_LATE
        QTest::newRow("stopped: received when made")
            << "rstop" << 180 << 180 << "last upload received 3 hours ago, made 3 hours ago"
            << "";
        QTest::newRow("late: received 2 h 55 min after it was made")
            << "rlate" << 180 << 5 << "last upload made 3 hours ago, received 2 hours late"
            << "10500";
    }
    void receipt() {
        QFETCH(QString, site);
        QFETCH(int, made);
        QFETCH(int, received);
        QVERIFY(upload(site, "d1", made, received));
        const QString office = m_root.filePath("office");
        const Checked check = checkWithAlert({"--site", site, "--expect-every", "15m"}, office);
        QFETCH(QString, said);
        QVERIFY2(check.status == 1 && check.err.contains(said), qPrintable(check.err));
        QFETCH(QString, late);
        QVERIFY2(check.alerts.startsWith(QStringLiteral("%1|stale|%2|").arg(site, late)),
                 qPrintable(check.alerts));
        const ProgramResult report =
            send({"--report", "-", "--shared", "--site", site, "--expect-every", "15m"}, office);
        QVERIFY2(report.out.contains(said), qPrintable(report.out));
    }

    // With the shared journal out of reach or unreadable, the alert still runs, once, for no
    // site, and the report says why it shows nothing.
    void blindFleet_data() {
        // empty: a port nobody listens on; "silent": a server that never answers
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("said");
        QTest::newRow("no server") << ""
                                   << "the shared journal could not be reached (";
        QTest::newRow("a site's login") << "gate_north"
                                        << "the shared journal could not be read (";
        QTest::newRow("a server that never answers: cut off")
            << "silent"
            << "the shared journal did not answer within 8 s";
    }
    void blindFleet() {
        QFETCH(QString, user);
        QFETCH(QString, said);
        const SilentServer silent;
        QVERIFY(silent.port > 0);
        const QString office =
            folder("blind " + user, user.isEmpty() || user == "silent" ? "office" : user, false,
                   user.isEmpty()     ? "host=127.0.0.1 port=9 dbname=boards"
                   : user == "silent" ? silent.connection()
                                      : "");
        // Beside the check: each may wait for the cut-off.
        QProcess *const reporting = start({"--report", "-", "--shared"}, office);
        const Checked check = checkWithAlert({"--expect-every", "15m"}, office);
        QVERIFY2(check.status == 2 && check.alerts.startsWith("|blind||" + said) &&
                     check.alerts.count(u'\n') == 1,
                 qPrintable(check.alerts));
        const ProgramResult report = finish(*reporting);
        QVERIFY2(report.status == 2 && report.out.contains("No site can be seen: " + said),
                 qPrintable(report.out));
    }

    // The forward's count in words.
    void forwardWords_data() {
        QTest::addColumn<int>("records");
        QTest::addColumn<int>("status"); // 2: no server
        QTest::addColumn<QString>("said");
        QTest::newRow("one record")
            << 1 << 0 << "Forwarded 1 record to the shared journal as site words.";
        QTest::newRow("nothing waiting")
            << 0 << 0 << "Nothing was waiting for the shared journal (site words).";
        QTest::newRow("nothing waiting, no server") << 0 << 2 << "; nothing was waiting\n";
    }
    void forwardWords() {
        QFETCH(int, records);
        QFETCH(int, status);
        const QString site = folder(QTest::currentDataTag(), "gate_words", false,
                                    status ? "host=127.0.0.1 port=9 dbname=boards" : "");
        record(site, records);
        const ProgramResult result = send({"--forward"}, site);
        QCOMPARE(result.status, status);
        QFETCH(QString, said);
        QVERIFY2((result.out + result.err).contains(said), qPrintable(result.out + result.err));
    }

    // What a site's role and a failed login may not do, nor an office's reading that would write.
    void refused_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("status");
        QTest::newRow("a wrong password")
            << "gate_west" << QStringList{"--forward"} << "password authentication failed" << 2;
        QTest::newRow("an unknown role") << "gate_ghost" << QStringList{"--forward"}
                                         << "authentication failed for user \"gate_ghost\"" << 2;
        QTest::newRow("a site reads the shared journal")
            << "gate_north" << QStringList{"--history", "--shared"} << "permission denied" << 2;
        QTest::newRow("a site sets it up")
            << "gate_north" << QStringList{"--shared-init"} << "could not be set up" << 2;
        QTest::newRow("a login that is no site")
            << "gate_stray" << QStringList{"--forward"}
            << "the login gate_stray may not connect to the database boards: its administrator "
               "runs display-send --shared-add-site gate_stray SITE"
            << 2;
        QTest::newRow("journal.conf names another site than the server knows")
            << "gate_south/west" << QStringList{"--forward"}
            << "knows the login gate_south as site south, but journal.conf says site = west" << 3;
        QTest::newRow("a journal copied from another site")
            << "gate_east" << QStringList{"--forward"}
            << "display-journal.db was copied from site north" << 2;
        QTest::newRow("a server that disconnects mid-forward: one line")
            << "gate_cut" << QStringList{"--forward"} << "terminating connection" << 2;
        QTest::newRow("a database without the shared journal")
            << "office@empty" << QStringList{"--history", "--shared"}
            << "not set up in this database: its administrator runs display-send --shared-init"
            << 2;
        QTest::newRow("a schema this program does not know")
            << "admin@other" << QStringList{"--history", "--shared"}
            << QStringLiteral("the shared journal is schema 1; this display-send knows %1")
                   .arg(SharedSchema::Version)
            << 2;
        const QString readOnly = QStringLiteral("read-only transaction");
        QTest::newRow("a history that would write")
            << "office_trap" << QStringList{"--history", "--shared", "--site", "north"} << readOnly
            << 2;
        QTest::newRow("a report that would write")
            << "office_trap" << QStringList{"--report", "-", "--shared", "--site", "north"}
            << readOnly << 2;
        QTest::newRow("a check that would write")
            << "office_trap"
            << QStringList{"--check", "--shared", "--site", "north", "--expect-every", "1h"}
            << readOnly << 2;
    }
    void refused() {
        QVERIFY(sitesForwarded());
        QFETCH(QString, user);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        // user: the login, then its database after an '@' or journal.conf's site after a '/'
        // (without, journal.conf names none: the server's word stands).
        const QString login = user.section(u'/', 0, 0);
        const QString site =
            user.contains(u'/')
                ? folder(user.section(u'/', 1), login)
                : folder(QStringLiteral("refused-") + QString(login).replace(u'@', u'-'), login,
                         false);
        // gate_east's folder holds a copy of north's journal, as cp -a would leave it.
        if (user == QLatin1String("gate_east"))
            QFile::copy(m_root.filePath(QStringLiteral("north/display-journal.db")),
                        site + QStringLiteral("/display-journal.db"));
        record(site, 2);
        const ProgramResult result = send(arguments, site);
        QFETCH(int, status);
        QVERIFY2(result.status == status, qPrintable(QString::number(result.status) + result.err));
        QCOMPARE(result.err.count(u'\n'), 1);
        QVERIFY2(result.err.startsWith(QLatin1String("display-send: ")) &&
                     result.err.contains(said),
                 qPrintable(result.err));
    }

    // A site may only call the function that takes its batches, the office only read, and
    // nobody else even connect.
    void rolesLimited_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("statement");
        QTest::newRow("a site inserts a record of another site")
            << "gate_north"
            << "INSERT INTO display_journal.jobs (site, journal, record, started, program, job, "
               "port, device, received) VALUES ('gate-south', 'x', 1, '2099', 'send', 'upload', "
               "1, 'd', now())";
        QTest::newRow("a site inserts a row set") << "gate_north"
                                                  << "INSERT INTO display_journal.rowsets VALUES "
                                                     "('\\x00', '[]')";
        QTest::newRow("a site calls a helper") << "gate_north"
                                               << "SELECT display_journal.record_problem('{}')";
        QTest::newRow("a login of no fleet connects") << "gate_stray"
                                                      << "SELECT 1";
        QTest::newRow("a site selects") << "gate_north"
                                        << "SELECT count(*) FROM display_journal.jobs";
        QTest::newRow("a site updates") << "gate_north"
                                        << "UPDATE display_journal.jobs SET outcome = 'complete'";
        QTest::newRow("a site deletes") << "gate_north"
                                        << "DELETE FROM display_journal.jobs";
        QTest::newRow("a site truncates") << "gate_north"
                                          << "TRUNCATE display_journal.rowsets";
        QTest::newRow("the office inserts")
            << "office"
            << "INSERT INTO display_journal.rowsets VALUES ('\\x00', '[]')";
        QTest::newRow("the office deletes") << "office"
                                            << "DELETE FROM display_journal.jobs";
    }
    void rolesLimited() {
        QFETCH(QString, user);
        QFETCH(QString, statement);
        QVERIFY(!m_cluster->psql(QStringLiteral("\\c boards\n") + statement, nullptr, user,
                                 Passwords.value(user)));
        QVERIFY2(m_cluster->problem().contains(QLatin1String("permission denied")),
                 qPrintable(m_cluster->problem()));
    }

    // A shared journal of schema 1, made before the server decided who a site is, keeps every
    // record, a time that is none among them, when --shared-init brings it up to date.
    void upgradesSchemaOne() {
        QVERIFY2(m_cluster->psql(QStringLiteral(
                     "CREATE DATABASE legacy OWNER admin;\n\\c legacy\n"
                     "CREATE SCHEMA display_journal AUTHORIZATION admin;"
                     "CREATE TABLE display_journal.meta (version integer NOT NULL);"
                     "INSERT INTO display_journal.meta VALUES (1);"
                     "CREATE TABLE display_journal.rowsets (hash bytea PRIMARY KEY, rows text);"
                     "CREATE TABLE display_journal.jobs (site text NOT NULL, journal text NOT "
                     "NULL, record bigint NOT NULL, started text NOT NULL, finished text, program "
                     "text NOT NULL, job text NOT NULL, port integer NOT NULL, device text NOT "
                     "NULL, outcome text, error text, frames integer NOT NULL DEFAULT 0, lights "
                     "text NOT NULL DEFAULT 'ccccccccc', delay integer, \"user\" text, host text, "
                     "boards text, unavailable text, rowset bytea, PRIMARY KEY (journal, record));"
                     "ALTER TABLE display_journal.meta OWNER TO admin;"
                     "ALTER TABLE display_journal.rowsets OWNER TO admin;"
                     "ALTER TABLE display_journal.jobs OWNER TO admin;"
                     "INSERT INTO display_journal.jobs (site, journal, record, started, program, "
                     "job, port, device) VALUES ('old', 'j', 1, '2026-01-01T00:00:00.000Z', "
                     "'send', 'upload', 1, 'd'), ('old', 'j', 2, 'zzzz', 'send', 'upload', 1, "
                     "'d');"
                     "CREATE ROLE display_site NOLOGIN;"
                     "GRANT INSERT ON display_journal.jobs TO display_site")),
                 qPrintable(m_cluster->problem()));
        const ProgramResult upgraded =
            send({QStringLiteral("--shared-init")},
                 folder(QStringLiteral("admin-legacy"), QStringLiteral("admin@legacy")));
        QVERIFY2(upgraded.status == 0 &&
                     upgraded.out.contains(QLatin1String("brought the tables to schema 3")) &&
                     upgraded.err.contains(QLatin1String("--shared-add-site LOGIN SITE")),
                 qPrintable(upgraded.out + upgraded.err));
        QString kept;
        QVERIFY(m_cluster->psql(QStringLiteral("\\c legacy\nSELECT count(*), count(received), "
                                               "has_table_privilege('display_site', "
                                               "'display_journal.jobs', 'INSERT') FROM "
                                               "display_journal.jobs"),
                                &kept));
        QCOMPARE(kept.trimmed(), QStringLiteral("2|2|f"));
    }

    // The server checks every record of a batch, whoever made it: a bad one refuses the batch.
    void batchRefused_data() {
        QTest::addColumn<QString>("replaced"); // in the batch's one record
        QTest::addColumn<QString>("said");
        QTest::newRow("a time that is none") << R"(,"started":"zzzz")"
                                             << "record 1: started is not a time";
        QTest::newRow("an end before the start") << R"(,"finished":"2025-12-31T00:00:00.000Z")"
                                                 << "record 1: it finished before it started";
        QTest::newRow("an outcome of its own") << R"(,"outcome":"won")"
                                               << "outcome is none of";
        QTest::newRow("rows that are not a page set") << R"(,"rows":["a"])"
                                                      << "rows is not a list of 96";
        QTest::newRow("an error too long")
            << QStringLiteral(R"(,"error":"%1")").arg(QString(2001, u'e')) << "error is not a text";
        QTest::newRow("no number") << R"(,"record":0)"
                                   << "its number is not a whole number";
    }
    void batchRefused() {
        QFETCH(QString, replaced);
        QVERIFY(!forwardAs(QStringLiteral("gate_south"), QString(32, u'a'), batchRecord(replaced)));
        QFETCH(QString, said);
        QVERIFY2(m_cluster->problem().contains(said), qPrintable(m_cluster->problem()));
    }

    // A job runs as it would without a shared journal while the server is down; its record
    // follows once the server is back.
    void jobWhileServerIsDown() {
        PtyCable cable;
        QVERIFY(cable.isValid());
        const QString site = folder(QStringLiteral("east"), QStringLiteral("gate_east"));
        const QStringList test{QStringLiteral("--test"), QStringLiteral("--device"), cable.end(0),
                               QStringLiteral("--boards"), QStringLiteral("1")};
        QVERIFY2(m_cluster->stop(), qPrintable(m_cluster->problem()));
        const ProgramResult down = send(test, site);
        QVERIFY2(m_cluster->start(), qPrintable(m_cluster->problem()));
        QCOMPARE(down.status, 1); // board 1 did not answer: as without a shared journal
        QVERIFY2(down.out.contains(QLatin1String("board 1: no answer")), qPrintable(down.out));
        QCOMPARE(down.err.count(u'\n'), 1);
        QVERIFY2(down.err.contains(QLatin1String("could not be reached")), qPrintable(down.err));
        QCOMPARE(sharedCount(QStringLiteral("east")), 0);
        const ProgramResult back = send({QStringLiteral("--forward")}, site);
        QVERIFY2(back.status == 0, qPrintable(QString::number(back.status) + u' ' + back.err));
        QCOMPARE(sharedCount(QStringLiteral("east")), 1);
    }

    // A job's process is never held by the forward after it: a server that takes the connection
    // and never answers (journal.conf gives it 30 s to) is cut off, the job's status standing,
    // and SIGTERM ends the process at once.
    void forwardAfterJobBounded_data() {
        QTest::addColumn<bool>("terminate");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("withinMs");
        QTest::newRow("SIGTERM during the forward") << true << 128 + SIGTERM << 3000;
        QTest::newRow("a silent server: cut off, the job's status") << false << 1 << 13000;
    }
    void forwardAfterJobBounded() {
        const SilentServer silent;
        QVERIFY(silent.port > 0);
        const QString site = folder(QStringLiteral("silent %1").arg(QTest::currentDataTag()),
                                    QStringLiteral("gate_east"), false, silent.connection());
        PtyCable cable;
        QProcess *const process =
            start({"--test", "--device", cable.end(0), "--boards", "1"}, site);
        int connection = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            connection >= 0 || (connection = ::accept(silent.fd, nullptr, nullptr)) >= 0, 20000);
        QElapsedTimer forwarding;
        forwarding.start();
        QFETCH(bool, terminate);
        if (terminate)
            ::kill(pid_t(process->processId()), SIGTERM);
        const ProgramResult result = finish(*process);
        ::close(connection);
        QTEST(result.status, "status");
        QFETCH(int, withinMs);
        QVERIFY(forwarding.elapsed() < withinMs);
    }

    // A job still running holds back the records after it; one a crash left unfinished goes
    // once an hour has passed, as unfinished.
    void unfinishedRecords() {
        QVERIFY(sitesForwarded());
        QTemporaryDir dir;
        Journal journal(dir.filePath(QStringLiteral("display-journal.db")));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const qint64 crashed = journal.begin(uploadStarted(SiteRows, now.addSecs(-7200)));
        const qint64 running = journal.begin(uploadStarted(SiteRows, now.addSecs(-60)));
        const qint64 done = journal.begin(uploadStarted(SiteRows, now.addSecs(-30)));
        journal.finish(done, uploadCompleted(now));
        std::optional<ForwardBatch> batch = journal.unforwarded(10, now);
        QVERIFY(batch);
        QCOMPARE(batch->records.size(), 1);
        QCOMPARE(batch->records.first().first.id, crashed);
        QCOMPARE(batch->lastId, crashed);
        journal.finish(running, uploadCompleted(now));
        batch = journal.unforwarded(10, now);
        QCOMPARE(batch->records.size(), 3);
        QVERIFY(journal.markForwarded(*batch));
        QVERIFY(journal.markForwarded(crashed)); // never back
        QCOMPARE(journal.unforwarded(10, now)->records.size(), 0);
        // The crashed one ends after all (a clock had stepped): sent again once, and the shared
        // journal completes it.
        journal.finish(crashed, uploadCompleted(now));
        batch = journal.unforwarded(10, now);
        QCOMPARE(batch->completed, 1);
        QCOMPARE(batch->records.first().first.id, crashed);
        QVERIFY(journal.markForwarded(*batch));
        QCOMPARE(journal.unforwarded(10, now)->records.size(), 0);

        const QString killed = folder(QStringLiteral("killed"), QStringLiteral("gate_killed"));
        Journal site(killed + QStringLiteral("/display-journal.db"));
        const qint64 late = site.begin(uploadStarted(SiteRows, now.addSecs(-7200)));
        QCOMPARE(send({QStringLiteral("--forward")}, killed).status, 0);
        site.finish(late, uploadCompleted(now));
        QCOMPARE(send({QStringLiteral("--forward")}, killed).status, 0);
        QString outcome;
        QVERIFY(
            m_cluster->psql(QStringLiteral("\\c boards\nSELECT outcome FROM display_journal.jobs "
                                           "WHERE site = 'killed' AND record = %1")
                                .arg(late),
                            &outcome));
        QCOMPARE(outcome.trimmed(), QStringLiteral("complete"));
    }
};

QTEST_GUILESS_MAIN(TestShared)
#include "tst_shared.moc"
