// The documentation says what the programs do: each program's --help options are those of its
// manual page, and every command example of the README marked runnable prints what is shown
// beside it when run, against simulated boards, in a fresh folder.
//
// A runnable example is a fenced block right after the line <!-- runnable -->. Its lines that
// begin with "$ " are commands, run in order by one shell in a new folder with the three built
// programs first on PATH; the lines after a command, up to the next, are what it prints on
// standard output and standard error together. In those lines "…" stands for any text within a
// line, and a line that is only "…" for any number of lines. A command ending in "&" runs in the
// background (its output redirected by the command itself) and is given until a file it writes
// to with ">" has a line, at most 10 s; it is ended with the block. A block marked
// <!-- runnable, against a throwaway PostgreSQL cluster --> runs with a cluster of its own,
// named by PGHOST and PGPORT, PGUSER its superuser. One marked "... cluster with TLS -->" has
// the cluster listen on 127.0.0.1 too, TLS only, with a certificate for "localhost" signed by a
// CA whose certificate SERVER_CA names, and the README's own "hostssl" lines in its pg_hba.conf
// (their address 127.0.0.1/32); it is run again with the CA's certificate withheld, and with the
// server's certificate for another host, and must then fail.

#include "pgcluster.h"
#include "programrun.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <memory>

namespace {

QString sourceFile(const QString &name) {
    return QStringLiteral(DISPLAY_SOURCE_DIR "/") + name;
}

// The long and short names of options in QCommandLineParser's help: lines "  -v, --version".
QStringList helpOptions(const QString &help) {
    static const QRegularExpression option(QStringLiteral("^  (?:-(\\w), )?--([a-z-]+)"),
                                           QRegularExpression::MultilineOption);
    QStringList names;
    for (const QRegularExpressionMatch &match : option.globalMatch(help)) {
        if (match.hasCaptured(1))
            names << QLatin1Char('-') + match.captured(1);
        names << QStringLiteral("--") + match.captured(2);
    }
    return names;
}

// The names in the tags (the line after each .TP) of a manual page's OPTIONS section.
QStringList manualOptions(const QString &page) {
    static const QRegularExpression name(
        QStringLiteral("\\\\-([a-zA-Z])\\b(?!\\\\)|\\\\-\\\\-([a-z\\\\-]+)"));
    QStringList names;
    bool inOptions = false;
    bool tag = false;
    for (const QString &line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH")))
            inOptions = line == QLatin1String(".SH OPTIONS");
        else if (inOptions && tag) {
            for (const QRegularExpressionMatch &match : name.globalMatch(line)) {
                names << (match.hasCaptured(1)
                              ? QLatin1Char('-') + match.captured(1)
                              : QStringLiteral("--") + match.captured(2).remove(QLatin1Char('\\')));
            }
        }
        tag = line == QLatin1String(".TP");
    }
    return names;
}

QString described(QStringList names) {
    names.sort();
    names.removeDuplicates();
    return names.join(QLatin1Char(' '));
}

enum class Cluster { None, Socket, Tls };

struct Example {
    int line = 0; // of the README, 1-based: where the block's first command is
    Cluster cluster = Cluster::None;
    QStringList commands;
    QList<QStringList> outputs; // one per command
};

QList<Example> runnableExamples(const QString &readme) {
    QList<Example> examples;
    const QStringList lines = readme.split(QLatin1Char('\n'));
    for (int n = 0; n + 1 < lines.size(); ++n) {
        const QString marker = lines.at(n).trimmed();
        const Cluster cluster =
            marker == QLatin1String("<!-- runnable, against a throwaway PostgreSQL cluster -->")
                ? Cluster::Socket
            : marker == QLatin1String("<!-- runnable, against a throwaway PostgreSQL cluster "
                                      "with TLS -->")
                ? Cluster::Tls
                : Cluster::None;
        if ((marker != QLatin1String("<!-- runnable -->") && cluster == Cluster::None) ||
            !lines.at(n + 1).startsWith(QLatin1String("```")))
            continue;
        Example example;
        example.cluster = cluster;
        for (n += 2; n < lines.size() && !lines.at(n).startsWith(QLatin1String("```")); ++n) {
            const QString &line = lines.at(n);
            if (line.startsWith(QLatin1String("$ "))) {
                if (example.commands.isEmpty())
                    example.line = n + 1;
                example.commands << line.mid(2);
                example.outputs << QStringList();
            } else if (!example.outputs.isEmpty()) {
                example.outputs.last() << line;
            }
        }
        examples << example;
    }
    return examples;
}

bool lineMatches(const QString &shown, const QString &printed) {
    QStringList parts = shown.split(QChar(0x2026));
    for (QString &part : parts)
        part = QRegularExpression::escape(part);
    return QRegularExpression(QRegularExpression::anchoredPattern(parts.join(QLatin1String(".*"))))
        .match(printed)
        .hasMatch();
}

// Whether printed has every line shown, "…" lines standing for any number of lines.
bool outputMatches(QStringList shown, QStringList printed) {
    if (shown.isEmpty())
        return printed.isEmpty();
    if (shown.constFirst() == QString(QChar(0x2026))) {
        shown.removeFirst();
        for (qsizetype skip = 0; skip <= printed.size(); ++skip) {
            if (outputMatches(shown, printed.mid(skip)))
                return true;
        }
        return false;
    }
    return !printed.isEmpty() && lineMatches(shown.constFirst(), printed.constFirst()) &&
           outputMatches(shown.mid(1), printed.mid(1));
}

// The README's pg_hba.conf lines for TLS logins, for a server on 127.0.0.1.
QStringList readmeHbaLines(const QString &readme) {
    static const QRegularExpression hostssl(QStringLiteral("^hostssl\\s.*$"),
                                            QRegularExpression::MultilineOption);
    QStringList lines;
    for (const QRegularExpressionMatch &match : hostssl.globalMatch(readme)) {
        QStringList fields = match.captured().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() > 4)
            fields[3] = QStringLiteral("127.0.0.1/32");
        lines << fields.join(QLatin1Char(' '));
    }
    return lines;
}

QString shellQuoted(QString text) {
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

} // namespace

class TestDocs : public QObject {
    Q_OBJECT

private slots:
    void optionsAsTheManualSays_data();
    void optionsAsTheManualSays();
    void templatesFitARow_data();
    void templatesFitARow();
    void readmeSectionsNamed_data();
    void readmeSectionsNamed();
    void unitsGiveKnownOptions_data();
    void unitsGiveKnownOptions();
    void officeUnitRuns_data();
    void officeUnitRuns();
    void readmeExamplesRunAsShown_data();
    void readmeExamplesRunAsShown();
};

void TestDocs::optionsAsTheManualSays_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("manual");

    QTest::newRow("display-send") << QStringLiteral(DISPLAY_SEND)
                                  << sourceFile(QStringLiteral("packaging/man/display-send.1"));
    QTest::newRow("display-board-sim")
        << QStringLiteral(DISPLAY_BOARD_SIM)
        << sourceFile(QStringLiteral("packaging/man/display-board-sim.1"));
    QTest::newRow("display-console")
        << QStringLiteral(DISPLAY_CONSOLE)
        << sourceFile(QStringLiteral("packaging/man/display-console.1"));
}

void TestDocs::optionsAsTheManualSays() {
    QFETCH(QString, program);
    QFETCH(QString, manual);
    const ProgramResult help = runProgram(program, {QStringLiteral("--help")});
    QCOMPARE(help.status, 0);
    QCOMPARE(described(manualOptions(QString::fromUtf8(fileBytes(manual)))),
             described(helpOptions(help.out)));
}

void TestDocs::templatesFitARow_data() {
    QTest::addColumn<QString>("document");
    for (const char *name :
         {"README.md", "packaging/man/display-send.1", "packaging/man/display-board-sim.1",
          "packaging/man/display-console.1"})
        QTest::newRow(name) << sourceFile(QLatin1String(name));
}

// A row template as the documents quote it ("pH {pH:>6.1f}") is typed into a row box, which
// takes 32 characters.
void TestDocs::templatesFitARow() {
    QFETCH(QString, document);
    QFile file(document);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // A quoted text holding a field ({name} or {name:format}; not the shell's ${name}).
    static const QRegularExpression quotedTemplate(
        QStringLiteral(R"re("([^"\n]*(?<!\$)\{[A-Za-z_][\w.-]*(?::[^}"\n]*)?\}[^"\n]*)")re"));
    int seen = 0;
    for (const QRegularExpressionMatch &match :
         quotedTemplate.globalMatch(QString::fromUtf8(file.readAll()))) {
        const QString row = match.captured(1).remove(QLatin1Char('\\')); // sed's escapes
        QVERIFY2(row.size() <= 32, qPrintable(row));
        ++seen;
    }
    if (document.endsWith(QLatin1String("README.md")))
        QVERIFY(seen > 5);
}

void TestDocs::readmeSectionsNamed_data() {
    QTest::addColumn<QString>("document");
    for (const char *name :
         {"packaging/display-send@.service", "packaging/display-send-check@.service",
          "packaging/display-send-office@.service", "packaging/display-send-seal@.service"})
        QTest::newRow(name) << sourceFile(QLatin1String(name));
}

// A file that sends its reader to the README ("See \"Alerts\" in the README") names a heading
// the README has.
void TestDocs::readmeSectionsNamed() {
    QFETCH(QString, document);
    QFile file(document);
    QFile readme(sourceFile(QStringLiteral("README.md")));
    QVERIFY(file.open(QIODevice::ReadOnly) && readme.open(QIODevice::ReadOnly));
    const QString headings = QString::fromUtf8(readme.readAll());
    static const QRegularExpression named(QStringLiteral(R"re("([^"\n]+)" in the README)re"));
    int seen = 0;
    for (const QRegularExpressionMatch &match :
         named.globalMatch(QString::fromUtf8(file.readAll()))) {
        const QRegularExpression heading(
            QStringLiteral("^#+ %1$").arg(QRegularExpression::escape(match.captured(1))),
            QRegularExpression::MultilineOption);
        QVERIFY2(heading.match(headings).hasMatch(), qPrintable(match.captured(1)));
        ++seen;
    }
    QVERIFY(seen > 0);
}

void TestDocs::unitsGiveKnownOptions_data() {
    readmeSectionsNamed_data();
}

// systemd checks that a unit's program exists, not that it takes the options the unit gives it:
// a misspelt one would fail every run of the timer.
void TestDocs::unitsGiveKnownOptions() {
    QFETCH(QString, document);
    const ProgramResult help = runProgram(QStringLiteral(DISPLAY_SEND), {QStringLiteral("--help")});
    QCOMPARE(help.status, 0);
    const QStringList known = helpOptions(help.out);
    QFile unit(document);
    QVERIFY(unit.open(QIODevice::ReadOnly));
    static const QRegularExpression given(QStringLiteral("^ExecStart=.*$"),
                                          QRegularExpression::MultilineOption);
    static const QRegularExpression option(QStringLiteral("\\s(--[a-z-]+)"));
    int seen = 0;
    for (const QRegularExpressionMatch &line : given.globalMatch(QString::fromUtf8(unit.readAll())))
        for (const QRegularExpressionMatch &match : option.globalMatch(line.captured())) {
            QVERIFY2(known.contains(match.captured(1)), qPrintable(line.captured()));
            ++seen;
        }
    QVERIFY(seen > 0);
}

void TestDocs::officeUnitRuns_data() {
    QTest::addColumn<int>("silentHours"); // since the second site's last upload
    QTest::addColumn<int>("checkStatus");
    QTest::newRow("every site current") << 0 << 0;
    QTest::newRow("a site silent for two hours") << 2 << 1;
}

// The office unit's commands as systemd runs them for a folder holding only journal.conf (the
// reader role's), against two sites: the report is written there and the check finds a site
// that stopped.
void TestDocs::officeUnitRuns() {
    QFETCH(int, silentHours);
    QFETCH(int, checkStatus);
    PgCluster server;
    if (!server.ok())
        QFAIL(qPrintable(server.problem()));
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const auto write = [&folder](const QString &name, const QString &text) {
        return writeBytes(folder.filePath(name), text.toUtf8());
    };
    for (const QString &role : {QStringLiteral("postgres"), QStringLiteral("office")})
        QVERIFY(write(role == QLatin1String("office") ? QStringLiteral("journal.conf")
                                                      : QStringLiteral("admin.conf"),
                      QStringLiteral("[shared]\nconnection = %1\n")
                          .arg(server.connection(role, QStringLiteral("boards")))));
    QVERIFY(write(QStringLiteral(".pgpass"), QStringLiteral("*:*:boards:office:office-pw\n")));
    QFile::setPermissions(folder.filePath(QStringLiteral(".pgpass")),
                          QFile::ReadOwner | QFile::WriteOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSFILE"), folder.filePath(QStringLiteral(".pgpass")));
    const auto run = [&](const QStringList &arguments) {
        return runProgram(QStringLiteral(DISPLAY_SEND), arguments, folder.path(), environment)
            .status;
    };
    QVERIFY2(server.psql(QStringLiteral("CREATE DATABASE boards; CREATE ROLE office LOGIN "
                                        "PASSWORD 'office-pw'")),
             qPrintable(server.problem()));
    QCOMPARE(run({QStringLiteral("--shared-init"), QStringLiteral("--journal-conf"),
                  folder.filePath(QStringLiteral("admin.conf"))}),
             0);
    // One complete upload from each site, the second's silentHours ago.
    QVERIFY2(server.psql(QStringLiteral(
                             "GRANT boards_display_reader TO office;\n\\connect boards\n"
                             "INSERT INTO display_journal.jobs (site, journal, record, started, "
                             "finished, program, job, port, device, outcome, lights) SELECT site, "
                             "site, 1, to_char(t - interval '1 minute', f), to_char(t, f), 'send', "
                             "'upload', 33, '/dev/ttyUSB0', 'complete', 'cgggggggg' FROM (VALUES "
                             "('gate-north', 0), ('gate-south', %1)) AS s(site, hours), LATERAL "
                             "(SELECT (now() - hours * interval '1 hour') AT TIME ZONE 'UTC' AS t, "
                             "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"' AS f) AS l")
                             .arg(silentHours)),
             qPrintable(server.problem()));

    QFile unit(sourceFile(QStringLiteral("packaging/display-send-office@.service")));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(unit.readAll());
    static const QRegularExpression expectEvery(
        QStringLiteral("^Environment=DISPLAY_EXPECT_EVERY=(\\S+)$"),
        QRegularExpression::MultilineOption);
    const QString interval = expectEvery.match(text).captured(1);
    QVERIFY(!interval.isEmpty());
    static const QRegularExpression given(
        QStringLiteral("^ExecStart=-?/usr/bin/display-send (.*)$"),
        QRegularExpression::MultilineOption);
    QList<int> statuses;
    for (const QRegularExpressionMatch &line : given.globalMatch(text)) {
        QString arguments = line.captured(1);
        arguments.replace(QStringLiteral("%f"), folder.path())
            .replace(QStringLiteral("${DISPLAY_EXPECT_EVERY}"), interval)
            .remove(QStringLiteral("$DISPLAY_SEND_ALERT"));
        statuses << run(arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    }
    QCOMPARE(statuses, QList<int>({0, checkStatus}));
    QFile report(folder.filePath(QStringLiteral("report.html")));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray page = report.readAll();
    QVERIFY(page.contains("gate-north") && page.contains("gate-south"));
}

void TestDocs::readmeExamplesRunAsShown_data() {
    QTest::addColumn<int>("line");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QList<QStringList>>("outputs");
    QTest::addColumn<int>("cluster");
    QTest::addColumn<QString>("fault");      // of a TLS cluster: "" (none), "withheld", "host"
    QTest::addColumn<QString>("faultWords"); // what the block then prints where it fails

    QFile readme(sourceFile(QStringLiteral("README.md")));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QList<Example> examples = runnableExamples(QString::fromUtf8(readme.readAll()));
    QVERIFY(!examples.isEmpty());
    const QList<std::array<QString, 3>> faults{
        {QString(), QString(), QString()},
        {QStringLiteral("the CA's certificate withheld"), QStringLiteral("withheld"),
         QStringLiteral("sslrootcert=")},
        {QStringLiteral("the server's certificate for another host"), QStringLiteral("host"),
         QStringLiteral("does not match host name \"localhost\"")}};
    for (const Example &example : examples) {
        for (const auto &[name, fault, words] : faults) {
            if (!fault.isEmpty() && example.cluster != Cluster::Tls)
                continue;
            QTest::addRow("line %d: %s%s", example.line, qPrintable(example.commands.constFirst()),
                          qPrintable(name.isEmpty() ? name : QStringLiteral(" (%1)").arg(name)))
                << example.line << example.commands << example.outputs << int(example.cluster)
                << fault << words;
        }
    }
}

void TestDocs::readmeExamplesRunAsShown() {
    QFETCH(int, line);
    QFETCH(QStringList, commands);
    QFETCH(QList<QStringList>, outputs);
    QFETCH(int, cluster);
    QFETCH(QString, fault);
    QFETCH(QString, faultWords);

    std::unique_ptr<PgCluster> server;
    if (Cluster(cluster) == Cluster::Socket) {
        server = std::make_unique<PgCluster>();
    } else if (Cluster(cluster) == Cluster::Tls) {
        QFile readme(sourceFile(QStringLiteral("README.md")));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        PgClusterTls tls;
        tls.hba = readmeHbaLines(QString::fromUtf8(readme.readAll()));
        QVERIFY(!tls.hba.isEmpty());
        if (fault == QLatin1String("host"))
            tls.certificateHost = QStringLiteral("db.elsewhere.example");
        server = std::make_unique<PgCluster>(tls);
    }
    if (server && !server->ok())
        QFAIL(qPrintable(server->problem()));
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    // One shell for the block; each foreground command's output goes to its own file.
    QString script = QStringLiteral("trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT\nout=$PWD\n");
    static const QRegularExpression redirect(QStringLiteral(">\\s*([^\\s&|;>]+)"));
    for (qsizetype n = 0; n < commands.size(); ++n) {
        const QString &command = commands.at(n);
        if (command.trimmed().endsWith(QLatin1Char('&'))) {
            script += command + QLatin1Char('\n');
            const QRegularExpressionMatch target = redirect.match(command);
            if (target.hasMatch()) {
                // Given a moment more once it has begun, to finish its first lines.
                script += QStringLiteral("for i in $(seq 100); do [ -s %1 ] && break; sleep 0.1; "
                                         "done; sleep 0.3\n")
                              .arg(shellQuoted(target.captured(1)));
            }
            continue;
        }
        script += QStringLiteral("{ eval %1; } >\"$out/.out.%2\" 2>&1 </dev/null\n")
                      .arg(shellQuoted(command), QString::number(n));
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // display-send's quick build: the same program with shorter reply windows.
    const QStringList programs{QStringLiteral(DISPLAY_SEND_QUICK),
                               QStringLiteral(DISPLAY_BOARD_SIM), QStringLiteral(DISPLAY_CONSOLE)};
    QStringList path;
    for (const QString &program : programs)
        path << QFileInfo(program).absolutePath();
    environment.insert(QStringLiteral("PATH"), path.join(QLatin1Char(':')) + QLatin1Char(':') +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    if (server) {
        environment.insert(QStringLiteral("PGHOST"), server->socketDir());
        environment.insert(QStringLiteral("PGPORT"), QString::number(server->port()));
        environment.insert(QStringLiteral("PGUSER"), QStringLiteral("postgres"));
        environment.insert(QStringLiteral("SERVER_CA"),
                           fault == QLatin1String("withheld")
                               ? folder.filePath(QStringLiteral("withheld/ca.crt"))
                               : server->caCertificate());
    }
    QVERIFY(runProgram(QStringLiteral("bash"), {QStringLiteral("-c"), script}, folder.path(),
                       environment, 180000)
                .status != -1);

    // Where the block failed, with a fault of the cluster's: display-send must be the first
    // to say so.
    QString faultShown;
    for (qsizetype n = 0; n < commands.size() && faultShown.isEmpty(); ++n) {
        if (commands.at(n).trimmed().endsWith(QLatin1Char('&')))
            continue;
        QFile out(QDir(folder.path()).filePath(QStringLiteral(".out.%1").arg(n)));
        QVERIFY(out.open(QIODevice::ReadOnly));
        QStringList printed = QString::fromUtf8(out.readAll()).split(QLatin1Char('\n'));
        if (printed.constLast().isEmpty())
            printed.removeLast();
        QStringList shown = outputs.at(n);
        while (!shown.isEmpty() && shown.constLast().isEmpty())
            shown.removeLast();
        if (!fault.isEmpty()) {
            if (!outputMatches(shown, printed))
                faultShown = printed.join(QLatin1Char('\n'));
            continue;
        }
        QVERIFY2(
            outputMatches(shown, printed),
            qPrintable(QStringLiteral("README line %1, $ %2\nshown:\n%3\nprinted:\n%4")
                           .arg(QString::number(line), commands.at(n),
                                shown.join(QLatin1Char('\n')), printed.join(QLatin1Char('\n')))));
    }
    if (!fault.isEmpty())
        QVERIFY2(faultShown.startsWith(QLatin1String("display-send: ")) &&
                     faultShown.contains(faultWords),
                 qPrintable(QStringLiteral("README line %1 ran as shown, or failed otherwise: %2")
                                .arg(QString::number(line), faultShown)));
}

QTEST_GUILESS_MAIN(TestDocs)
#include "tst_docs.moc"
