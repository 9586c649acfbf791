#include "jobrecords.h"
#include "journal.h"
#include "journalfiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(JournalStart)
Q_DECLARE_METATYPE(JournalEnd)
Q_DECLARE_METATYPE(JournalRecord)
Q_DECLARE_METATYPE(std::optional<JournalRecord>)

namespace {

const QDateTime At = QDateTime(QDate(2026, 12, 8), QTime(14, 5, 1, 250), Qt::UTC);

QStringList numberedRows(const QString &tag) {
    QStringList rows;
    for (int index = 0; index < 96; ++index)
        rows << QStringLiteral("%1 row %2").arg(tag).arg(index);
    return rows;
}

JournalStart uploadStart(const QStringList &rows = numberedRows(QStringLiteral("p"))) {
    return uploadStarted(rows, At);
}

JournalEnd completeEnd() {
    return uploadCompleted(At.addMSecs(26004));
}

// ---- helper modes: this program run as a child process -----------------------------------------

// Writes count records once the file <path>.go appears, a little apart, so that two writers
// started together overlap.
int writerMode(const QString &path, int count, const QString &program) {
    Journal journal(path);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(path + QStringLiteral(".go"))) {
        if (waited.hasExpired(30000))
            return 2;
        QThread::msleep(1);
    }
    for (int n = 0; n < count; ++n) {
        // A writer that wrote again at once could starve the other, whose busy handler
        // polls at up to 100 ms; leave it room, as jobs minutes apart do.
        QThread::msleep(4);
        JournalStart start = uploadStart(numberedRows(QString::number(n % 3)));
        start.program = program;
        start.started = QDateTime::currentDateTimeUtc();
        const qint64 id = journal.begin(start);
        if (id < 0) {
            std::fprintf(stderr, "begin failed: %s\n", qPrintable(journal.takeProblem()));
            return 1;
        }
        JournalEnd end = completeEnd();
        end.finished = QDateTime::currentDateTimeUtc();
        journal.finish(id, end);
        const QString problem = journal.takeProblem();
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "finish failed: %s\n", qPrintable(problem));
            return 1;
        }
    }
    return 0;
}

int hangMode(const QString &path) {
    Journal journal(path);
    const qint64 id = journal.begin(uploadStart());
    std::printf("%lld\n", static_cast<long long>(id));
    std::fflush(stdout);
    for (;;)
        QThread::sleep(1);
}

// The read-only folder case, as a user whom folder permissions bind. Empty when it passed.
QString readOnlyFolderCase() {
    if (::geteuid() == 0)
        return QStringLiteral("runs as root, whom folder permissions do not bind");
    QTemporaryDir dir;
    if (!dir.isValid())
        return QStringLiteral("no temporary folder");
    if (!QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner))
        return QStringLiteral("cannot make the folder read-only");
    const QString path = Journal::defaultPath(dir.filePath(QStringLiteral("display.cfg")));
    QStringList problems;
    {
        Journal journal(path);
        for (int n = 0; n < 3; ++n) {
            const qint64 id = journal.begin(uploadStart());
            if (id != -1)
                return QStringLiteral("begin wrote a record in a read-only folder");
            journal.finish(id, completeEnd());
            journal.finish(1, completeEnd());
            if (!journal.history(5).isEmpty())
                return QStringLiteral("history read records that cannot exist");
            const QString problem = journal.takeProblem();
            if (!problem.isEmpty())
                problems << problem;
        }
    }
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (problems.size() != 1)
        return QStringLiteral("the problem was said %1 times: %2")
            .arg(problems.size())
            .arg(problems.join(QStringLiteral(" | ")));
    if (!problems.first().contains(QStringLiteral("not writable")))
        return QStringLiteral("the problem does not name the cause: ") + problems.first();
    if (QFileInfo::exists(path))
        return QStringLiteral("a journal appeared in a read-only folder");
    std::printf("said: %s\n", qPrintable(problems.first()));
    return {};
}

} // namespace

class TestJournal : public QObject {
    Q_OBJECT

private slots:
    void defaultPath();
    void openedLazily();
    void recordReadsBackWhole_data();
    void recordReadsBackWhole();
    void unfinishedRecordJson();
    void renderings();
    void lastUploadSummaryWording();
    void twoProcessesWriteAtOnce();
    void killedWriterLeavesUnfinishedRecord();
    void readOnlyFolder();
    void damagedFileMovedAside();
    void fullDisk();
    void lockedBeyondBusyTimeout();
    void newerJournalNeverAltered();
    void identicalRowsStoredOnce();
    void notOursLeftAlone_data();
    void notOursLeftAlone();
    void createdAsTheUmaskAllows_data();
    void createdAsTheUmaskAllows();
    void historyReadsWithoutWriting_data();
    void historyReadsWithoutWriting();
    void upgradedInPlace_data();
    void upgradedInPlace();
    void outcomeChangesAlerted_data();
    void outcomeChangesAlerted();
    void csvReadsBack();

private:
    QString journalPath() const { return m_dir->filePath(QStringLiteral("display-journal.db")); }
    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }
};

void TestJournal::defaultPath() {
    QCOMPARE(Journal::defaultPath(QStringLiteral("/srv/plant/display.cfg")),
             QStringLiteral("/srv/plant/display-journal.db"));
    QCOMPARE(Journal::defaultPath(QStringLiteral("display.cfg")),
             QDir::current().filePath(QStringLiteral("display-journal.db")));
}

void TestJournal::openedLazily() {
    Journal journal(journalPath());
    QVERIFY(!QFileInfo::exists(journalPath()));
    QVERIFY(journal.history(10).isEmpty());
    QVERIFY(!journal.lastUpload());
    QVERIFY(!QFileInfo::exists(journalPath())); // reading does not make one
    QVERIFY(journal.takeProblem().isEmpty());
    QVERIFY(journal.begin(uploadStart()) > 0);
    QVERIFY(QFileInfo::exists(journalPath()));
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA user_version")).toInt(),
             Journal::SchemaVersion);
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA journal_mode")).toString(),
             QStringLiteral("wal"));
}

void TestJournal::recordReadsBackWhole_data() {
    QTest::addColumn<JournalStart>("start");
    QTest::addColumn<JournalEnd>("end");

    QTest::newRow("complete upload") << uploadStart() << completeEnd();

    JournalStart latin = uploadStart(numberedRows(QStringLiteral("Größe \"°C\" \\")));
    latin.program = QStringLiteral("send");
    latin.port = 0;
    latin.device = QStringLiteral("/dev/pts/3");
    latin.delaySeconds = 12;
    JournalEnd portError;
    portError.outcome = QStringLiteral("port-error");
    portError.error = QStringLiteral("Cannot open /dev/pts/3: permission denied");
    portError.frames = 0;
    portError.lights = QStringLiteral("ccccccccc");
    portError.finished = At.addSecs(1);
    QTest::newRow("port error, device named") << latin << portError;

    JournalEnd aborted;
    aborted.outcome = QStringLiteral("aborted");
    aborted.frames = 13;
    aborted.lights = QStringLiteral("cggggrccc");
    aborted.finished = At.addMSecs(7001);
    QTest::newRow("aborted") << uploadStart() << aborted;

    JournalStart test;
    test.program = QStringLiteral("send");
    test.job = QStringLiteral("test");
    test.port = 104;
    test.device = QStringLiteral("/dev/pts/4");
    test.started = At;
    test.user = QStringLiteral("display-send");
    test.host = QStringLiteral("plant-07");
    test.boards = {0, 2, 3, 4, 7};
    JournalEnd tested;
    tested.outcome = QStringLiteral("complete");
    tested.frames = 9;
    tested.lights = QStringLiteral("rgggggrgg");
    tested.finished = At.addMSecs(4512);
    QTest::newRow("board test") << test << tested;

    JournalEnd unavailable = completeEnd();
    unavailable.unavailable = {QStringLiteral("pH"), QStringLiteral("NO2 \"daily\"")};
    QTest::newRow("values unavailable") << uploadStart() << unavailable;

    JournalStart unknown = uploadStart();
    unknown.user.clear();
    unknown.host.clear();
    QTest::newRow("user and host unknown: null") << unknown << completeEnd();
}

void TestJournal::recordReadsBackWhole() {
    QFETCH(JournalStart, start);
    QFETCH(JournalEnd, end);

    Journal journal(journalPath());
    journal.begin(uploadStart()); // another record first
    const qint64 id = journal.begin(start);
    QVERIFY(id > 0);
    journal.finish(id, end);
    QCOMPARE(journal.takeProblem(), QString());

    // The record a program keeps of the job it ran is the one the journal reads back.
    JournalRecord expected = journalRecord(start, end);
    expected.id = id;

    // Read back by another Journal, as another program would.
    Journal reader(journalPath());
    const QList<JournalRecord> history = reader.history(10);
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.first(), expected);
    QCOMPARE(history.first().started.toUTC().toString(Qt::ISODateWithMs),
             QStringLiteral("2026-12-08T14:05:01.250Z"));

    const QByteArray json = historyJson(history.first());
    QVERIFY2(!json.contains('\n'), json);
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(json, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QStringList keys = object.keys();
    keys.sort();
    QStringList wanted{"started", "finished", "program", "job",        "port",  "device",
                       "outcome", "error",    "frames",  "lights",     "delay", "rows",
                       "user",    "host",     "boards",  "unavailable"};
    wanted.sort();
    QCOMPARE(keys, wanted);
    QVERIFY(json.startsWith("{\"started\":\"2026-12-08T14:05:01.250Z\",\"finished\":"));
    QCOMPARE(object.value("finished").toString(), end.finished.toString(Qt::ISODateWithMs));
    QCOMPARE(object.value("program").toString(), start.program);
    QCOMPARE(object.value("job").toString(), start.job);
    QCOMPARE(object.value("port").toInt(), start.port);
    QCOMPARE(object.value("device").toString(), start.device);
    QCOMPARE(object.value("outcome").toString(), end.outcome);
    QCOMPARE(object.value("error").isNull(), end.error.isEmpty());
    QCOMPARE(object.value("error").toString(), end.error);
    QCOMPARE(object.value("frames").toInt(), end.frames);
    QCOMPARE(object.value("lights").toString(), end.lights);
    QCOMPARE(object.value("user").toString(), start.user);
    QCOMPARE(object.value("host").toString(), start.host);
    QCOMPARE(object.value("boards").toString(),
             start.job == QLatin1String("test") ? QStringLiteral("0,2-4,7") : "1-8");
    QCOMPARE(object.value("unavailable").toVariant().toStringList(), end.unavailable);
    if (start.job == QLatin1String("test")) {
        QVERIFY(object.value("delay").isNull());
        QVERIFY(object.value("rows").isNull());
    } else {
        QCOMPARE(object.value("delay").toInt(), *start.delaySeconds);
        QCOMPARE(object.value("rows").toArray().size(), 96);
        QCOMPARE(object.value("rows").toArray().toVariantList().size(), 96);
        QStringList rows;
        for (const QJsonValue &row : object.value("rows").toArray())
            rows << row.toString();
        QCOMPARE(rows, *start.rows);
    }
}

void TestJournal::unfinishedRecordJson() {
    Journal journal(journalPath());
    QVERIFY(journal.begin(uploadStart()) > 0);
    const QList<JournalRecord> history = journal.history(1);
    QCOMPARE(history.size(), 1);
    QVERIFY(!history.first().finished);
    const QJsonObject object = QJsonDocument::fromJson(historyJson(history.first())).object();
    QCOMPARE(object.size(), 16);
    QVERIFY(object.value("finished").isNull());
    QVERIFY(object.value("unavailable").isNull());
    QVERIFY(object.value("outcome").isNull());
    QVERIFY(object.value("error").isNull());
    QCOMPARE(object.value("lights").toString(), QStringLiteral("ccccccccc"));
    QVERIFY(historyLine(history.first()).contains(QStringLiteral("unfinished")));
}

void TestJournal::renderings() {
    JournalRecord record;
    record.started = At;
    record.finished = At.addMSecs(26004);
    record.program = QStringLiteral("console");
    record.job = QStringLiteral("upload");
    record.port = 33;
    record.device = QStringLiteral("/dev/ttyUSB0");
    record.outcome = QStringLiteral("complete");
    record.frames = 50;
    record.lights = QStringLiteral("cggggrggg");
    const QString line = historyLine(record);
    QVERIFY2(line.startsWith(At.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
             qPrintable(line));
    for (const char *part : {"26.0 s", "console", "upload", "COM 33 /dev/ttyUSB0", "complete",
                             "50 frames", "lights cggggrggg"})
        QVERIFY2(line.contains(QLatin1String(part)), qPrintable(line));

    // A device name that would clear the screen, move the cursor (C1 CSI) or hide text.
    JournalRecord hostile = record;
    hostile.device = QStringLiteral("/dev/x\x1b[2J\u009b1A\u202e\n\\");
    QCOMPARE(historyLine(hostile).section(QStringLiteral("COM 33 "), 1).section(u' ', 0, 0),
             QStringLiteral("/dev/x\\x1b[2J\\x9b1A\\u202e\\x0a\\\\"));
    const QByteArray json = historyJson(hostile);
    QVERIFY2(!json.contains("\xc2\x9b") && !json.contains('\x1b'), json.constData());
    QCOMPARE(QJsonDocument::fromJson(json).object().value(QStringLiteral("device")).toString(),
             hostile.device);
    // Rows handed on as stored: C1 and DEL escaped, and anything but an array of strings null.
    const std::pair<QByteArray, QJsonValue> stored[] = {
        {"[\"a\\u0022\",\"b\xc2\x9b\x7f\"]", QJsonArray{"a\"", "b\u009b\x7f"}},
        {"[\"unclosed", QJsonValue()},
        {"[\"a\"] and more", QJsonValue()},
    };
    for (const auto &[rows, expected] : stored) {
        const QByteArray line = historyJson(record, rows);
        QVERIFY2(!line.contains("\xc2\x9b") && !line.contains('\x7f'), line.constData());
        QCOMPARE(QJsonDocument::fromJson(line).object().value(QStringLiteral("rows")), expected);
    }

    record.port = 0;
    record.outcome = QStringLiteral("port-error");
    record.error = QStringLiteral("Cannot open /dev/ttyUSB0:\npermission denied; add yourself to "
                                  "the group dialout and log in again");
    const QString failed = historyLine(record);
    QVERIFY2(!failed.contains(QLatin1Char('\n')), qPrintable(failed));
    QVERIFY2(failed.contains(QStringLiteral("Cannot open /dev/ttyUSB0: permission")),
             qPrintable(failed));
    QVERIFY2(failed.endsWith(QStringLiteral("...")), qPrintable(failed));
    QVERIFY2(!failed.contains(QStringLiteral("COM")), qPrintable(failed));
}

void TestJournal::lastUploadSummaryWording() {
    QVERIFY(lastUploadSummary(std::nullopt).isEmpty());
    JournalRecord upload;
    upload.started = At;
    upload.finished = At.addSecs(26);
    upload.job = QStringLiteral("upload");
    upload.outcome = QStringLiteral("complete");
    const QString when = At.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    const auto summary = [&](const QString &lights) {
        upload.lights = lights;
        return lastUploadSummary(upload);
    };
    QCOMPARE(summary(QStringLiteral("cgggggggg")),
             QStringLiteral("Last sent %1; all boards answered").arg(when));
    QCOMPARE(summary(QStringLiteral("rggggrggg")),
             QStringLiteral("Last sent %1; board 5 did not answer").arg(when));
    QCOMPARE(summary(QStringLiteral("cgrgrgrgg")),
             QStringLiteral("Last sent %1; boards 2, 4 and 6 did not answer").arg(when));
    QCOMPARE(summary(QStringLiteral("cgggggrgr")),
             QStringLiteral("Last sent %1; boards 6 and 8 did not answer").arg(when));
    QCOMPARE(summary(QStringLiteral("crrrrrrrr")),
             QStringLiteral("Last sent %1; no board answered").arg(when));
    upload.outcome = QStringLiteral("port-error");
    QCOMPARE(lastUploadSummary(upload), QStringLiteral("Last sent %1; the port failed").arg(when));
    upload.outcome = QStringLiteral("aborted");
    QCOMPARE(lastUploadSummary(upload),
             QStringLiteral("Last sent %1; it was stopped before the end").arg(when));
    upload.outcome.reset();
    upload.finished.reset();
    QCOMPARE(lastUploadSummary(upload),
             QStringLiteral("Last sent %1; it did not finish").arg(when));

    // From the journal: the newest upload, not a board test after it.
    Journal journal(journalPath());
    JournalStart first = uploadStart();
    journal.finish(journal.begin(first), completeEnd());
    JournalStart test;
    test.program = QStringLiteral("console");
    test.job = QStringLiteral("test");
    JournalEnd tested = completeEnd();
    tested.lights = QStringLiteral("rrrrrrrrr");
    journal.finish(journal.begin(test), tested);
    const std::optional<JournalRecord> last = journal.lastUpload();
    QVERIFY(last);
    QCOMPARE(last->job, QStringLiteral("upload"));
    QCOMPARE(lastUploadSummary(last),
             QStringLiteral("Last sent %1; all boards answered").arg(when));
    QCOMPARE(lastUploadSummary(journal.history(10)), lastUploadSummary(last));
}

void TestJournal::twoProcessesWriteAtOnce() {
    constexpr int Each = 200;
    { // made beforehand, so that neither writer waits out the other's making of it
        Journal journal(journalPath());
        JournalStart start = uploadStart(numberedRows(QStringLiteral("0")));
        start.program = QStringLiteral("setup");
        journal.finish(journal.begin(start), completeEnd());
    }
    QProcess first;
    QProcess second;
    const QString self = QCoreApplication::applicationFilePath();
    first.start(self, {QStringLiteral("--writer"), journalPath(), QString::number(Each),
                       QStringLiteral("console")});
    second.start(self, {QStringLiteral("--writer"), journalPath(), QString::number(Each),
                        QStringLiteral("send")});
    QVERIFY(first.waitForStarted());
    QVERIFY(second.waitForStarted());
    QFile go(journalPath() + QStringLiteral(".go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();
    QVERIFY(first.waitForFinished(60000));
    QVERIFY(second.waitForFinished(60000));
    QVERIFY2(first.exitCode() == 0, first.readAllStandardError().constData());
    QVERIFY2(second.exitCode() == 0, second.readAllStandardError().constData());

    Journal journal(journalPath());
    const QList<JournalRecord> history = journal.history(1000);
    QCOMPARE(history.size(), 2 * Each + 1);
    int fromConsole = 0;
    int turns = 0; // changes of writer from one record to the next: they wrote at once
    for (const JournalRecord &record : history) {
        turns += &record != &history.first() && (&record - 1)->program != record.program;
        QVERIFY(record.finished);
        QCOMPARE(record.outcome, QStringLiteral("complete"));
        QCOMPARE(record.rows->size(), 96);
        fromConsole += record.program == QLatin1String("console");
    }
    QCOMPARE(fromConsole, Each);
    QVERIFY2(turns >= 10, qPrintable(QStringLiteral("only %1 turns").arg(turns)));
    QCOMPARE(scalar(journalPath(), QStringLiteral("SELECT count(*) FROM rowsets")).toInt(), 3);
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA integrity_check")).toString(),
             QStringLiteral("ok"));
}

void TestJournal::killedWriterLeavesUnfinishedRecord() {
    {
        Journal journal(journalPath());
        journal.finish(journal.begin(uploadStart()), completeEnd());
    }
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--hang"), journalPath()});
    QVERIFY(writer.waitForStarted());
    QVERIFY(writer.waitForReadyRead(10000));
    const qint64 id = writer.readLine().trimmed().toLongLong();
    QVERIFY(id > 0);
    writer.kill(); // SIGKILL
    QVERIFY(writer.waitForFinished(10000));
    QCOMPARE(writer.exitStatus(), QProcess::CrashExit);

    Journal journal(journalPath());
    QList<JournalRecord> history = journal.history(10);
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.first().id, id);
    QVERIFY(!history.first().finished);
    QVERIFY(!history.first().outcome);
    QCOMPARE(history.first().rows, uploadStart().rows);
    QVERIFY(historyJson(history.first()).contains("\"finished\":null"));
    QVERIFY(history.at(1).finished);

    // Still readable and writable.
    const qint64 next = journal.begin(uploadStart());
    QVERIFY(next > id);
    journal.finish(next, completeEnd());
    QCOMPARE(journal.takeProblem(), QString());
    history = journal.history(10);
    QCOMPARE(history.size(), 3);
    QVERIFY(history.first().finished);
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA integrity_check")).toString(),
             QStringLiteral("ok"));
}

void TestJournal::readOnlyFolder() {
    if (::geteuid() != 0) {
        const QString failure = readOnlyFolderCase();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        return;
    }
    // Folder permissions do not bind root: the case runs in a child as nobody.
    QProcess child;
    child.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                 QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--read-only-case")});
    if (!child.waitForStarted(10000))
        QFAIL(qPrintable(QStringLiteral("cannot run the case as nobody: setpriv did not start (%1)")
                             .arg(child.errorString())));
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             qPrintable(QStringLiteral("the case as nobody failed (exit %1): %2")
                            .arg(child.exitCode())
                            .arg(QString::fromLocal8Bit(output))));
    QVERIFY2(output.contains("said: "), output.constData());
}

void TestJournal::damagedFileMovedAside() {
    const QByteArray noise = randomBytes(7, 8192);
    QVERIFY(writeBytes(journalPath(), noise));

    Journal journal(journalPath());
    const qint64 id = journal.begin(uploadStart());
    QVERIFY(id > 0);
    journal.finish(id, completeEnd());
    const QString problem = journal.takeProblem();
    QVERIFY2(problem.contains(QStringLiteral("damaged")) &&
                 problem.contains(QStringLiteral("moved aside")),
             qPrintable(problem));
    journal.finish(journal.begin(uploadStart()), completeEnd());
    QCOMPARE(journal.takeProblem(), QString());
    QCOMPARE(journal.history(10).size(), 2);

    const QStringList aside =
        QDir(m_dir->path())
            .entryList({QStringLiteral("display-journal.db.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^display-journal\\.db\\.damaged-\\d{8}T\\d{6}Z$"))
                 .match(aside.first())
                 .hasMatch(),
             qPrintable(aside.first()));
    QVERIFY2(problem.contains(aside.first()), qPrintable(problem));
    QCOMPARE(fileBytes(m_dir->filePath(aside.first())), noise);
}

void TestJournal::fullDisk() {
    {
        Journal journal(journalPath());
        journal.finish(journal.begin(uploadStart()), completeEnd());
    }
    const int pages = scalar(journalPath(), QStringLiteral("PRAGMA page_count")).toInt();
    QVERIFY(pages > 0);

    JournalOptions options;
    options.maxPageCount = pages;
    Journal journal(journalPath(), options);
    QStringList problems;
    int written = 0;
    for (int n = 0; n < 20; ++n) {
        const qint64 id = journal.begin(uploadStart(numberedRows(QString::number(n))));
        journal.finish(id, completeEnd());
        written += id > 0;
        const QString problem = journal.takeProblem();
        if (!problem.isEmpty())
            problems << problem;
    }
    QVERIFY2(written < 20, "the page limit did not bind");
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems.first().contains(QStringLiteral("full")), qPrintable(problems.first()));
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA integrity_check")).toString(),
             QStringLiteral("ok"));
    QCOMPARE(journal.history(100).size(), 1 + written);
}

void TestJournal::lockedBeyondBusyTimeout() {
    JournalOptions options;
    options.busyTimeoutMs = 300;
    Journal journal(journalPath(), options);
    journal.finish(journal.begin(uploadStart()), completeEnd());
    QCOMPARE(journal.takeProblem(), QString());

    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "other");
        other.setDatabaseName(journalPath());
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(journal.begin(uploadStart()), -1);
        QCOMPARE(journal.begin(uploadStart()), -1);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        const QString problem = journal.takeProblem();
        QVERIFY2(problem.contains(QStringLiteral("locked")), qPrintable(problem));
        QCOMPARE(journal.takeProblem(), QString());

        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        lock.finish();
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    QVERIFY(journal.begin(uploadStart()) > 0);
    QCOMPARE(journal.takeProblem(), QString());
}

void TestJournal::newerJournalNeverAltered() {
    QVERIFY(writeNewerJournal(journalPath()));
    const QByteArray before = fileBytes(journalPath());
    QVERIFY(!before.isEmpty());

    QStringList problems;
    {
        Journal journal(journalPath());
        for (int n = 0; n < 3; ++n) {
            const qint64 id = journal.begin(uploadStart());
            QCOMPARE(id, -1);
            journal.finish(id, completeEnd());
            journal.finish(1, completeEnd());
            QVERIFY(journal.history(10).isEmpty());
            const QString problem = journal.takeProblem();
            if (!problem.isEmpty())
                problems << problem;
        }
    }
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems.first().contains(QStringLiteral("newer")), qPrintable(problems.first()));
    QCOMPARE(fileBytes(journalPath()), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files),
             QStringList{QStringLiteral("display-journal.db")});
}

void TestJournal::identicalRowsStoredOnce() {
    Journal journal(journalPath());
    for (int n = 0; n < 1000; ++n) {
        const qint64 id = journal.begin(uploadStart());
        QVERIFY(id > 0);
        journal.finish(id, completeEnd());
    }
    journal.finish(journal.begin(uploadStart(numberedRows(QStringLiteral("other")))),
                   completeEnd());
    QCOMPARE(journal.takeProblem(), QString());
    QCOMPARE(scalar(journalPath(), QStringLiteral("SELECT count(*) FROM jobs")).toInt(), 1001);
    QCOMPARE(scalar(journalPath(), QStringLiteral("SELECT count(*) FROM rowsets")).toInt(), 2);
    const QList<JournalRecord> history = journal.history(2);
    QCOMPARE(history.at(0).rows, numberedRows(QStringLiteral("other")));
    QCOMPARE(history.at(1).rows, uploadStart().rows);
}

// Files that are not the journal's own: followed by no link, altered by no write, moved by no
// damage check. Each named as a program does it: at the default place or with --journal.
void TestJournal::notOursLeftAlone_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("defaultPlace");
    QTest::addColumn<QString>("said");
    QTest::newRow("link to a file elsewhere") << "link" << true << "symbolic link";
    QTest::newRow("link to nothing yet") << "dangling" << true << "symbolic link";
    QTest::newRow("its -wal a link") << "wal link" << true << "symbolic link";
    QTest::newRow("a FIFO") << "fifo" << true << "not a regular file";
    QTest::newRow("another program's database, named") << "foreign" << false << "another program";
    QTest::newRow("another program's database, default place")
        << "foreign" << true << "another program";
    QTest::newRow("not a database, named") << "noise" << false << "not a journal";
}

void TestJournal::notOursLeftAlone() {
    QFETCH(QString, kind);
    QFETCH(bool, defaultPlace);
    QFETCH(QString, said);
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    if (kind == QLatin1String("link") || kind == QLatin1String("wal link"))
        QVERIFY(writeBytes(target, "precious"));
    if (kind == QLatin1String("link") || kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(target, journalPath()));
    if (kind == QLatin1String("wal link")) {
        Journal(journalPath()).finish(Journal(journalPath()).begin(uploadStart()), completeEnd());
        QFile::remove(journalPath() + QStringLiteral("-wal"));
        QVERIFY(QFile::link(target, journalPath() + QStringLiteral("-wal")));
    }
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(journalPath()).constData(), 0600), 0);
    if (kind == QLatin1String("foreign"))
        QVERIFY(scalar(journalPath(), QStringLiteral("CREATE TABLE jobs (id, what)")).isNull() &&
                scalar(journalPath(), QStringLiteral("SELECT count(*) FROM jobs")).toInt() == 0);
    if (kind == QLatin1String("noise"))
        QVERIFY(writeBytes(journalPath(), randomBytes(3, 4096)));
    const auto snapshot = [&] {
        QStringList state;
        for (const QString &folder : {m_dir->path(), elsewhere.path()}) {
            for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files | QDir::System))
                state << file.fileName() + QLatin1Char(' ') +
                             QString::fromLatin1(
                                 QCryptographicHash::hash(file.isFile() && !file.isSymLink()
                                                              ? fileBytes(file.filePath())
                                                              : QByteArray(),
                                                          QCryptographicHash::Sha1)
                                     .toHex());
        }
        return state;
    };
    const QStringList before = snapshot();

    JournalOptions options;
    options.moveAsideDamaged = defaultPlace;
    QStringList problems;
    {
        Journal journal(journalPath(), options);
        for (int n = 0; n < 2; ++n) {
            QCOMPARE(journal.begin(uploadStart()), -1);
            if (const QString problem = journal.takeProblem(); !problem.isEmpty())
                problems << problem;
        }
    }
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems.first().contains(said), qPrintable(problems.first()));
    QCOMPARE(snapshot(), before);
    const JournalReading reading =
        readJournal(journalPath(), 10, true, [](const JournalRecord &, QByteArrayView) {});
    QVERIFY2(reading.exists && !reading.problem.isEmpty(), qPrintable(reading.problem));
    QCOMPARE(snapshot(), before);
}

void TestJournal::createdAsTheUmaskAllows_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("group-shared folder, umask 002") << 002 << 0664;
    QTest::newRow("umask 022") << 022 << 0644;
    QTest::newRow("umask 077") << 077 << 0600;
}

void TestJournal::createdAsTheUmaskAllows() {
    QFETCH(int, mask);
    QFETCH(int, mode);
    const mode_t before = ::umask(mode_t(mask));
    {
        Journal journal(journalPath());
        journal.finish(journal.begin(uploadStart()), completeEnd());
    }
    ::umask(before);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(journalPath()).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), mode);
    QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA application_id")).toInt(),
             Journal::ApplicationId);
}

// display-send --history: read-only, streamed, and what a damaged file still holds.
void TestJournal::historyReadsWithoutWriting_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("readAtLeast");
    QTest::addColumn<int>("readAtMost");
    QTest::addColumn<bool>("problem");
    QTest::newRow("whole, folder and file read-only") << "read-only" << 30 << 30 << false;
    QTest::newRow("made before journals were marked") << "unmarked" << 30 << 30 << false;
    QTest::newRow("its last page overwritten") << "last page" << 1 << 29 << true;
    QTest::newRow("truncated to its first half") << "truncated" << 0 << 0 << true;
    QTest::newRow("random bytes") << "noise" << 0 << 0 << true;
}

void TestJournal::historyReadsWithoutWriting() {
    QFETCH(QString, kind);
    QFETCH(int, readAtLeast);
    QFETCH(int, readAtMost);
    QFETCH(bool, problem);
    if (kind == QLatin1String("noise")) {
        QVERIFY(writeBytes(journalPath(), randomBytes(5, 8192)));
    } else {
        Journal journal(journalPath());
        for (int n = 0; n < 30; ++n)
            journal.finish(journal.begin(uploadStart(numberedRows(QString::number(n)))),
                           completeEnd());
    }
    // Checkpointed and out of WAL mode, so that the file alone holds every record.
    if (kind != QLatin1String("noise"))
        QVERIFY(!scalar(journalPath(), QStringLiteral("PRAGMA journal_mode=DELETE")).isNull());
    // Journals were marked from schema 1 on: an unmarked one is of schema 1.
    if (kind == QLatin1String("unmarked")) {
        for (const char *statement :
             {"PRAGMA application_id=0", "DROP INDEX jobs_by_device",
              "ALTER TABLE jobs DROP COLUMN user", "ALTER TABLE jobs DROP COLUMN host",
              "ALTER TABLE jobs DROP COLUMN boards", "ALTER TABLE jobs DROP COLUMN unavailable",
              "DROP TABLE forwarding", "DROP TABLE forwarded_unfinished", "DROP TABLE sealing",
              "DROP TABLE seals", "PRAGMA user_version=1"})
            scalar(journalPath(), QString::fromLatin1(statement));
    }
    if (kind == QLatin1String("last page")) {
        QFile file(journalPath());
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() - 4096));
        QCOMPARE(file.write(randomBytes(9, 4096)), 4096);
    }
    if (kind == QLatin1String("truncated"))
        QVERIFY(QFile::resize(journalPath(), QFileInfo(journalPath()).size() / 2));
    if (kind == QLatin1String("read-only")) {
        QVERIFY(!scalar(journalPath(), QStringLiteral("PRAGMA journal_mode=WAL")).isNull());
        QVERIFY(QFile::setPermissions(journalPath(), QFile::ReadOwner | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
    }
    const QStringList filesBefore = QDir(m_dir->path()).entryList(QDir::Files);
    const QByteArray bytesBefore = fileBytes(journalPath());

    QList<qint64> ids;
    const JournalReading reading = readJournal(
        journalPath(), 1000, true, [&](const JournalRecord &record, QByteArrayView rows) {
            ids << record.id;
            QCOMPARE(QJsonDocument::fromJson(historyJson(record, rows)).object()["rows"][0],
                     QStringLiteral("%1 row 0").arg(record.id - 1));
        });
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY2(
        reading.read >= readAtLeast && reading.read <= readAtMost,
        qPrintable(
            QStringLiteral("%1 read; %2").arg(QString::number(reading.read), reading.problem)));
    QCOMPARE(ids.size(), reading.read);
    QVERIFY(std::is_sorted(ids.rbegin(), ids.rend()));
    QVERIFY2(reading.problem.isEmpty() != problem, qPrintable(reading.problem));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), filesBefore);
    QCOMPARE(fileBytes(journalPath()), bytesBefore);
}

// A journal as the programs wrote it before they kept who ran a job: upgraded in place by a
// program that writes, read as it is by one that only reads.
void TestJournal::upgradedInPlace_data() {
    QTest::addColumn<bool>("writer");
    QTest::addColumn<bool>("marked");
    QTest::newRow("opened by a program") << true << true;
    QTest::newRow("opened by a program, made before journals were marked") << true << false;
    QTest::newRow("read by --history") << false << true;
}

void TestJournal::upgradedInPlace() {
    QFETCH(bool, writer);
    QFETCH(bool, marked);
    QVERIFY(writeVersion1Journal(journalPath(), marked));
    const QByteArray before = fileBytes(journalPath());
    QList<JournalRecord> records;
    if (writer) {
        Journal journal(journalPath());
        const qint64 id = journal.begin(uploadStart());
        JournalEnd end = completeEnd();
        end.unavailable = {QStringLiteral("pH")};
        journal.finish(id, end);
        QCOMPARE(journal.takeProblem(), QString());
        records = journal.history(10);
        QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA user_version")).toInt(),
                 Journal::SchemaVersion);
        QCOMPARE(scalar(journalPath(), QStringLiteral("PRAGMA application_id")).toInt(),
                 Journal::ApplicationId);
        QCOMPARE(records.size(), 3);
        QCOMPARE(records.takeFirst().unavailable, QStringList{QStringLiteral("pH")});
    } else {
        const JournalReading reading =
            readJournal(journalPath(), 10, true,
                        [&](const JournalRecord &record, QByteArrayView) { records << record; });
        QCOMPARE(reading.problem, QString());
        QCOMPARE(fileBytes(journalPath()), before);
    }
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).job, QStringLiteral("test"));
    QCOMPARE(records.at(0).lights, QStringLiteral("rgggggggr"));
    QCOMPARE(records.at(1).outcome, QStringLiteral("complete"));
    QCOMPARE(records.at(1).delaySeconds, 7);
    for (const JournalRecord &record : records) {
        QVERIFY(!record.user && !record.host && !record.boards && !record.unavailable);
        QVERIFY(historyJson(record).contains("\"user\":null,\"host\":null,\"boards\":null"));
    }
}

// A record as the alert compares it: outcome, lights, the boards expected, unavailable values.
JournalRecord fared(const char *outcome, const char *lights, const char *boards = "1-8",
                    const QStringList &unavailable = {}) {
    JournalRecord record;
    record.job = QStringLiteral("upload");
    record.outcome = QString::fromLatin1(outcome);
    record.lights = QString::fromLatin1(lights);
    record.boards = QString::fromLatin1(boards);
    record.unavailable = unavailable;
    return record;
}

void TestJournal::outcomeChangesAlerted_data() {
    QTest::addColumn<std::optional<JournalRecord>>("previous");
    QTest::addColumn<JournalRecord>("current");
    QTest::addColumn<QStringList>("changes");
    const JournalRecord good = fared("complete", "cgggggggg");
    const JournalRecord fiveDark = fared("complete", "cggggrggg");
    const JournalRecord portError = fared("port-error", "ccccccccc");
    QTest::newRow("same again") << std::optional(good) << good << QStringList{};
    QTest::newRow("board 5 went dark")
        << std::optional(good) << fiveDark << QStringList{"board 5 stopped answering"};
    QTest::newRow("board 5 still dark") << std::optional(fiveDark) << fiveDark << QStringList{};
    QTest::newRow("board 5 back") << std::optional(fiveDark) << good
                                  << QStringList{"board 5 answers again"};
    QTest::newRow("port error began")
        << std::optional(fiveDark) << portError << QStringList{"the port failed"};
    JournalRecord otherError = portError;
    otherError.error = QStringLiteral("Cannot open /dev/ttyUSB0: busy");
    QTest::newRow("port error goes on, in other words")
        << std::optional(portError) << otherError << QStringList{};
    QTest::newRow("port error ended")
        << std::optional(portError) << good << QStringList{"the port works again"};
    QTest::newRow("a value became unavailable, another came back")
        << std::optional(fared("complete", "cgggggggg", "1-8", {"pH", "NO2"}))
        << fared("complete", "cgggggggg", "1-8", {"NO2", "CO"})
        << QStringList{"CO became unavailable", "pH is available again"};
    QTest::newRow("a board no longer expected is not missed")
        << std::optional(fared("complete", "cgggggrrr", "1-8"))
        << fared("complete", "cgggggrrr", "1-5") << QStringList{};
    QTest::newRow("aborted says nothing")
        << std::optional(good) << fared("aborted", "cgrcccccc") << QStringList{};
    QTest::newRow("first upload, all answered")
        << std::optional<JournalRecord>() << good << QStringList{};
    QTest::newRow("first upload, board 5 dark")
        << std::optional<JournalRecord>() << fiveDark << QStringList{"board 5 stopped answering"};
    QTest::newRow("an empty list of boards expects boards 1 to 8")
        << std::optional(fared("complete", "cgggggggg", "")) << fared("complete", "cggggrggg", "")
        << QStringList{"board 5 stopped answering"};
    JournalRecord migrated = good;
    migrated.boards.reset();
    migrated.unavailable.reset();
    QTest::newRow("after a record from before boards were kept")
        << std::optional(migrated) << fiveDark << QStringList{"board 5 stopped answering"};
}

void TestJournal::outcomeChangesAlerted() {
    QFETCH(std::optional<JournalRecord>, previous);
    QFETCH(JournalRecord, current);
    QFETCH(QStringList, changes);
    QCOMPARE(outcomeChanges(previous, current), changes);
}

// A careful RFC 4180 reading: quoted cells with doubled quotes and line ends, CRLF between
// records.
QList<QStringList> parseCsv(const QString &text) {
    QList<QStringList> records{{}};
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"')
            cell += text.at(++i);
        else if (c == u'"')
            quoted = !quoted;
        else if (!quoted && c == u',')
            records.last() << std::exchange(cell, QString());
        else if (!quoted && c == u'\r' && text.mid(i, 2) == QLatin1String("\r\n")) {
            records.last() << std::exchange(cell, QString());
            records.append(QStringList());
            ++i;
        } else
            cell += c;
    }
    if (records.last().isEmpty() && cell.isEmpty())
        records.removeLast();
    return records;
}

void TestJournal::csvReadsBack() {
    QStringList rows = numberedRows(QStringLiteral("p"));
    // Each page's first row begins its cell; a formula further down a cell is only text.
    const QStringList hostile{
        "=HYPERLINK(\"http://x\")", "+1+1", "-2+3", "@SUM(A1)", "-12.5", "+3"};
    for (qsizetype page = 0; page < hostile.size(); ++page)
        rows[page * 16] = hostile.at(page);
    rows[1] = QStringLiteral("a \"quoted\", comma");
    rows[2] = QStringLiteral("=1+1");
    JournalRecord record;
    record.started = At;
    record.program = QStringLiteral("send");
    record.job = QStringLiteral("upload");
    record.port = 33;
    record.device = QStringLiteral("=cmd|' /C calc'!A0\x1b[2J");
    record.outcome = QStringLiteral("port-error");
    record.error = QStringLiteral("Cannot open:\nbusy, \"locked\"");
    record.lights = QStringLiteral("ccccccccc");
    record.delaySeconds = -5;
    record.rows = rows;
    record.user = QStringLiteral("Größe");
    record.unavailable = {QStringLiteral("pH"), QStringLiteral("@NO2")};

    const QByteArray csv = historyCsvHeader() + historyCsv(record) + historyCsv(JournalRecord{});
    QVERIFY(csv.startsWith("\xef\xbb\xbfstarted,finished,"));
    const QList<QStringList> read = parseCsv(QString::fromUtf8(csv.mid(3)));
    QCOMPARE(read.size(), 3);
    const QStringList header = read.at(0);
    QCOMPARE(header.size(), 21);
    for (const QStringList &line : read)
        QCOMPARE(line.size(), header.size());
    const auto cell = [&](const char *column) {
        return read.at(1).at(header.indexOf(QLatin1String(column)));
    };
    QCOMPARE(cell("started"), QStringLiteral("2026-12-08T14:05:01.250Z"));
    QCOMPARE(cell("finished"), QString());
    QCOMPARE(cell("device"), QStringLiteral("'=cmd|' /C calc'!A0\ufffd[2J"));
    QCOMPARE(cell("error"), *record.error);
    QCOMPARE(cell("delay"), QStringLiteral("-5"));
    QCOMPARE(cell("lights"), QStringLiteral("ccccccccc"));
    QCOMPARE(cell("user"), QStringLiteral("Größe"));
    QCOMPARE(cell("unavailable"), QStringLiteral("pH,@NO2"));
    // A page is a cell of 16 lines: a number on its first line does not make it a number.
    const QStringList firstRows{
        "'=HYPERLINK(\"http://x\")", "'+1+1", "'-2+3", "'@SUM(A1)", "'-12.5", "'+3"};
    for (int page = 0; page < 6; ++page) {
        const QStringList lines =
            read.at(1).at(header.indexOf(QStringLiteral("page%1").arg(page + 1))).split(u'\n');
        QCOMPARE(lines.size(), 16);
        QCOMPARE(lines.first(), firstRows.at(page));
        QCOMPARE(lines.mid(1), rows.mid(page * 16 + 1, 15));
    }
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 5 && arguments.at(1) == QLatin1String("--writer"))
        return writerMode(arguments.at(2), arguments.at(3).toInt(), arguments.at(4));
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--hang"))
        return hangMode(arguments.at(2));
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--read-only-case")) {
        const QString failure = readOnlyFolderCase();
        if (!failure.isEmpty())
            std::fprintf(stderr, "read-only folder case: %s\n", qPrintable(failure));
        return failure.isEmpty() ? 0 : 1;
    }
    TestJournal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
