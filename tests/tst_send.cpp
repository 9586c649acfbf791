#include "boards.h"
#include "configstore.h"
#include "defaultpages.h"
#include "frameexchange.h"
#include "jobrunner.h"
#include "journal.h"
#include "journalfiles.h"
#include "pageset.h"
#include "programrun.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using B = BoardBehaviour;

// The program the test under way runs (init() chooses): the quick build, except where the reply
// window's own length and timing are what a test checks.
QString program;
const QStringList RealTimeTests{"wholeUploadWhileASecondWaits", "terminatedMidUpload", "wireLog"};

// asNobody: as a user whom folder permissions bind (when this test runs as root).
void start(QProcess &process, const QStringList &arguments, const QString &folder,
           bool asNobody = false,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
    const QStringList nobody{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                             QStringLiteral("--clear-groups"), program};
    startProgram(process, asNobody ? QStringLiteral("setpriv") : program,
                 asNobody ? nobody + arguments : arguments, folder, environment);
}

ProgramResult
send(const QStringList &arguments, const QString &folder, int timeoutMs = 60000,
     bool asNobody = false,
     const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    start(process, arguments, folder, asNobody, environment);
    return finish(process, timeoutMs);
}

// The lines of --history --json, each parsed; a line that is not an object of exactly the
// journal's keys fails the test that reads it.
QList<QJsonObject> jsonRecords(const QString &out) {
    QList<QJsonObject> records;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        records << QJsonDocument::fromJson(line.toUtf8()).object();
    return records;
}

const QStringList JournalKeys{"boards", "delay",   "device",      "error",   "finished", "frames",
                              "host",   "job",     "lights",      "outcome", "port",     "program",
                              "rows",   "started", "unavailable", "user"};

// The DISPLAY_ variables of an environment that `env` wrote.
QMap<QString, QString> displayVariables(const QByteArray &env) {
    QMap<QString, QString> variables;
    for (const QString &line : QString::fromUtf8(env).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("DISPLAY_")))
            variables.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return variables;
}

// The milliseconds a wire log line begins with ("display.wire:    502 ms wrote 1?\r").
int wireMs(const QString &line) {
    static const QRegularExpression time(QStringLiteral(R"(^display\.wire: +(\d+) ms )"));
    const QRegularExpressionMatch match = time.match(line);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

QString linesOf(const QList<int> &answered, const QList<int> &silent) {
    QString text;
    QList<int> all = answered + silent;
    std::sort(all.begin(), all.end());
    for (int board : all)
        text += QStringLiteral("board %1: %2\n")
                    .arg(board)
                    .arg(answered.contains(board) ? QStringLiteral("answered")
                                                  : QStringLiteral("no answer"));
    return text;
}

} // namespace

// display-send run as an operator or a scheduler runs it: a process with arguments, its standard
// output, standard error and exit status, and the bytes that reach fake boards on a
// pseudo-terminal.
class TestSend : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void wholeUploadWhileASecondWaits();
    void boardTest_data();
    void boardTest();
    void badInputSendsNothing_data();
    void badInputSendsNothing();
    void dryRunPrintsTheFrames();
    void terminatedMidUpload_data();
    void terminatedMidUpload();
    void monitorPrintsWhatArrives_data();
    void monitorPrintsWhatArrives();
    void helpVersionInit_data();
    void helpVersionInit();
    void historyReadsTheJournal_data();
    void historyReadsTheJournal();
    void journalProblemLeavesTheJobAlone_data();
    void journalProblemLeavesTheJobAlone();
    void mappedPortNumber_data();
    void mappedPortNumber();
    void wireLog_data();
    void wireLog();
    void liveValues_data();
    void liveValues();
    void folderFiles_data();
    void folderFiles();
    void alertOnChange_data();
    void alertOnChange();
    void checkFreshAndStale_data();
    void checkFreshAndStale();

private:
    void writeConfig(const PageSet &pages, qint16 portNumber = 1) {
        ConfigStore(m_dir->filePath(QStringLiteral("display.cfg"))).save(portNumber, pages);
    }
    QString writeFile(const QString &name, const QByteArray &bytes) {
        writeBytes(m_dir->filePath(name), bytes);
        return m_dir->filePath(name);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PtyBoards> m_boards;
};

void TestSend::init() {
    program = RealTimeTests.contains(QLatin1String(QTest::currentTestFunction()))
                  ? QStringLiteral(DISPLAY_SEND)
                  : QStringLiteral(DISPLAY_SEND_QUICK);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_boards = std::make_unique<PtyBoards>();
    QVERIFY2(m_boards->isValid(), "no pseudo-terminal for the fake boards");
    m_boards->setReplyDelayMs(1);
    writeConfig(DefaultPages::pages());
}

void TestSend::cleanup() {
    m_boards.reset();
    m_dir.reset();
}

void TestSend::wholeUploadWhileASecondWaits() {
    // Boards 1 to 3 at the plant; 4 to 8 are not there.
    for (int address = 4; address <= BoardAddress::Highest; ++address)
        m_boards->bank().setBehaviour(address, B::Silent);
    QProcess first;
    start(first,
          {QStringLiteral("--device"), m_boards->devicePath(), QStringLiteral("--boards"),
           QStringLiteral("1-3")},
          m_dir->path());

    // A second run on the same port while the first holds it is refused.
    ProgramResult second;
    connect(m_boards.get(), &PtyBoards::frameReceived, this, [&] {
        if (m_boards->received().size() == 3)
            second = send({QStringLiteral("--device"), m_boards->devicePath()}, m_dir->path());
    });
    const ProgramResult run = finish(first, 60000);

    QCOMPARE(second.status, 2);
    QVERIFY2(second.err.contains(QLatin1String("in use")), qPrintable(second.err));
    QCOMPARE(second.out, QString());

    QCOMPARE(run.status, 0);
    QCOMPARE(m_boards->allBytes(), goldenUpload());
    // Every frame a full reply window after the one before: exactly so where display-send
    // writes (wireLog). Here, as the boards in this busy process notice them, late by tens of ms
    // when a build shares the machine: frames held back and sent together would come together.
    const QList<PtyBoards::ReceivedFrame> &received = m_boards->received();
    QCOMPARE(received.size(), UploadFrameCount);
    for (qsizetype i = 1; i < received.size(); ++i)
        QVERIFY(received.at(i).atMs - received.at(i - 1).atMs >= FrameExchange::ReplyWindowMs / 2);
    QCOMPARE(run.out, linesOf({1, 2, 3}, {}) + QStringLiteral("3 of 3 boards answered; 52 of "
                                                              "52 frames sent to %1\n")
                                                   .arg(m_boards->devicePath()));
    QCOMPARE(run.err, QString()); // no terminal: no progress

    // Both runs are in the journal beside display.cfg, the refused one newest.
    const ProgramResult history =
        send({QStringLiteral("--history"), QStringLiteral("--json")}, m_dir->path());
    QCOMPARE(history.status, 0);
    const QList<QJsonObject> records = jsonRecords(history.out);
    QCOMPARE(records.size(), 2);
    for (const QJsonObject &record : records) {
        QStringList keys = record.keys();
        QCOMPARE(keys, JournalKeys);
        QCOMPARE(record.value("program").toString(), QStringLiteral("send"));
        QCOMPARE(record.value("job").toString(), QStringLiteral("upload"));
        QCOMPARE(record.value("device").toString(), m_boards->devicePath());
        QCOMPARE(record.value("port").toInt(-1), 0);
        QCOMPARE(record.value("host").toString(), QSysInfo::machineHostName());
        QVERIFY(!record.value("user").toString().isEmpty());
        QCOMPARE(record.value("unavailable").toArray(), QJsonArray());
        QVERIFY(QDateTime::fromString(record.value("finished").toString(), Qt::ISODateWithMs)
                    .isValid());
    }
    const QJsonObject refused = records.at(0);
    QCOMPARE(refused.value("outcome").toString(), QStringLiteral("port-error"));
    QVERIFY2(refused.value("error").toString().contains(QLatin1String("in use")),
             qPrintable(refused.value("error").toString()));
    QCOMPARE(refused.value("frames").toInt(-1), 0);
    QCOMPARE(refused.value("boards").toString(), QStringLiteral("1-8")); // no --boards given
    QCOMPARE(refused.value("lights").toString(), QStringLiteral("ccccccccc"));
    const QJsonObject sent = records.at(1);
    QCOMPARE(sent.value("outcome").toString(), QStringLiteral("complete"));
    QVERIFY(sent.value("error").isNull());
    QCOMPARE(sent.value("frames").toInt(), UploadFrameCount);
    QCOMPARE(sent.value("boards").toString(), QStringLiteral("1-3"));
    QCOMPARE(sent.value("lights").toString(), QStringLiteral("cgggrrrrr"));
    QCOMPARE(sent.value("delay").toInt(), 5);
    QCOMPARE(sent.value("rows").toArray().toVariantList(),
             QVariant(DefaultPages::pages().rows()).toList());
    const QString started = sent.value("started").toString();
    QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"))
                 .match(started)
                 .hasMatch(),
             qPrintable(started));
    const qint64 tookMs =
        QDateTime::fromString(started, Qt::ISODateWithMs)
            .msecsTo(QDateTime::fromString(sent.value("finished").toString(), Qt::ISODateWithMs));
    QVERIFY2(tookMs >= UploadFrameCount * FrameExchange::ReplyWindowMs,
             qPrintable(QString::number(tookMs)));
}

void TestSend::boardTest_data() {
    QTest::addColumn<QList<int>>("silent");
    QTest::addColumn<QString>("boards");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("lines");

    QTest::newRow("boards 1-3 all answer")
        << QList<int>{4, 5, 6, 7, 8} << "1-3" << 0 << linesOf({1, 2, 3}, {});
    QTest::newRow("board 2 silent")
        << QList<int>{2, 4, 5, 6, 7, 8} << "1-3" << 1 << linesOf({1, 3}, {2});
    QTest::newRow("address 0 asked too") << QList<int>{} << "0,2" << 0 << linesOf({0, 2}, {});
}

void TestSend::boardTest() {
    QFETCH(QList<int>, silent);
    QFETCH(QString, boards);
    QFETCH(int, status);
    QFETCH(QString, lines);
    for (int address : silent)
        m_boards->bank().setBehaviour(address, B::Silent);

    const ProgramResult run = send({QStringLiteral("--test"), QStringLiteral("--device"),
                                    m_boards->devicePath(), QStringLiteral("--boards"), boards},
                                   m_dir->path());
    QCOMPARE(run.status, status);
    QVERIFY2(run.out.startsWith(lines), qPrintable(run.out));
    QCOMPARE(m_boards->allBytes(), QByteArray("0?\r1?\r2?\r3?\r4?\r5?\r6?\r7?\r8?\r"));
}

void TestSend::badInputSendsNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("values"); // written to values.json when not empty
    QTest::addColumn<QByteArray>("row");    // page 6, row 3 of display.cfg when not empty
    QTest::addColumn<QString>("error");     // part of what standard error says

    const QStringList upload{QStringLiteral("--values"), QStringLiteral("values.json")};
    const QByteArray number = R"({"pH": 7.12, "site": "Gate 2"})";
    QTest::newRow("unknown option")
        << QStringList{"--colour"} << QByteArray() << QByteArray() << "Unknown option 'colour'";
    QTest::newRow("port and device")
        << QStringList{"--port", "3", "--device", "/dev/null"} << QByteArray() << QByteArray()
        << "--port or --device, not both";
    QTest::newRow("port 251") << QStringList{"--port", "251"} << QByteArray() << QByteArray()
                              << "--port 251: not a port number from 1 to 250";
    QTest::newRow("device server without a port")
        << QStringList{"--device", "tcp://127.0.0.1"} << QByteArray() << QByteArray()
        << "--device tcp://127.0.0.1: malformed address \"tcp://127.0.0.1\": a device server is "
           "tcp://HOST:PORT";
    QTest::newRow("device of an unknown scheme")
        << QStringList{"--device", "rfc2217://10.1.2.3:4001"} << QByteArray() << QByteArray()
        << "unknown scheme \"rfc2217\": a device is an absolute path or tcp://HOST:PORT";
    QTest::newRow("delay 1") << QStringList{"--delay", "1"} << QByteArray() << QByteArray()
                             << "--delay 1: not a whole number of seconds from 2 to 20";
    QTest::newRow("delay 21") << QStringList{"--delay", "21"} << QByteArray() << QByteArray()
                              << "--delay 21";
    QTest::newRow("board 9") << QStringList{"--boards", "1-9"} << QByteArray() << QByteArray()
                             << "boards are addressed 1 to 8";
    QTest::newRow("board beyond int, board test")
        << QStringList{"--test", "--boards", "99999999999"} << QByteArray() << QByteArray()
        << "boards are addressed 0 to 8";
    QTest::newRow("range to beyond int") << QStringList{"--boards", "1-99999999999"} << QByteArray()
                                         << QByteArray() << "addressed 1 to 8";
    QTest::newRow("backward range")
        << QStringList{"--boards", "3-1"} << QByteArray() << QByteArray() << "runs backwards";
    QTest::newRow("board list of words")
        << QStringList{"--boards", "all"} << QByteArray() << QByteArray() << "\"all\" is neither";
    QTest::newRow("values with the test") << QStringList{"--test", "--set", "a=1"} << QByteArray()
                                          << QByteArray() << "--set goes only with an upload";
    QTest::newRow("init where a file is")
        << QStringList{"--init", "--config", "short.cfg"} << QByteArray() << QByteArray()
        << "Cannot create short.cfg: it exists already";
    QTest::newRow("init through a dangling link")
        << QStringList{"--init", "--config", "dangling.cfg"} << QByteArray() << QByteArray()
        << "Cannot create dangling.cfg";
    QTest::newRow("init and a port") << QStringList{"--init", "--port", "2"} << QByteArray()
                                     << QByteArray() << "--port goes only with a job";
    QTest::newRow("missing config") << QStringList{"--config", "elsewhere.cfg"} << QByteArray()
                                    << QByteArray() << "elsewhere.cfg";
    QTest::newRow("damaged config names the line")
        << QStringList{"--config", "short.cfg"} << QByteArray() << QByteArray()
        << "short.cfg, line 12: the file ends after 10 of 96 rows";
    QTest::newRow("malformed JSON")
        << upload << QByteArray("{\"pH\": 7.1,") << QByteArray("{pH}") << "values.json";
    QTest::newRow("values file of 10 MB")
        << upload << QByteArray("{\"a\": \"") + QByteArray(10 << 20, 'x') + "\"}"
        << QByteArray("{a}") << "values.json";
    QTest::newRow("name used but absent")
        << upload << number << QByteArray("BOD {BOD:6.1f}") << "page 6, row 3:";
    QTest::newRow("unclosed field")
        << upload << number << QByteArray("pH {pH:5.1f") << "page 6, row 3:";
    QTest::newRow("filled row too long")
        << upload << number << QByteArray("pH is now {pH:>20.2f} today") << "page 6, row 3:";
    // Filled whole, this row would be 20 MB, each message quoting all of it.
    QTest::newRow("row of 20,000 wide fields")
        << upload << number << QByteArray("{site:999}").repeated(20000)
        << "page 6, row 3: the row \"" + QString(40, QLatin1Char(' ')) +
               "\u2026\" has more than 32 characters";
    // %1, %2 and %3 in a row, a path or an argument are shown as written.
    QTest::newRow("row text with %3")
        << QStringList{"--set", "pH=7.12"} << QByteArray() << QByteArray("%3 {pH:>30.2f}")
        << "the row \"%3" + QString(29, QLatin1Char(' ')) + "--\" has 33 characters";
    QTest::newRow("values path with %1") << QStringList{"--values", "v%1.json"} << QByteArray()
                                         << QByteArray() << "Cannot read v%1.json: ";
    QTest::newRow("config path with %2 selecting no port")
        << QStringList{"--test", "--config", "odd%2.cfg"} << QByteArray() << QByteArray()
        << "odd%2.cfg, line 1: port 0: not a port number from 1 to 250; give --port or --device";
    QTest::newRow("device with %1") << QStringList{"--device", "tcp://%1"} << QByteArray()
                                    << QByteArray() << "malformed address \"tcp://%1\"";
    // Opened without blocking: a FIFO is refused at once, not waited on for a writer.
    QTest::newRow("config is a FIFO") << QStringList{"--test", "--config", "fifo"} << QByteArray()
                                      << QByteArray() << "fifo: it is a FIFO, not a regular file";
    QTest::newRow("values file is a FIFO")
        << QStringList{"--values", "fifo"} << QByteArray() << QByteArray() << "fifo: it is a FIFO";
    // Refused before anything is read, not once a value is missing.
    QTest::newRow("--missing with a tilde")
        << QStringList{"--missing", "n/a~"} << QByteArray() << QByteArray()
        << "--missing \"n/a~\" holds '~', "
           "which a row cannot carry";
    QTest::newRow("--missing of 33 characters")
        << QStringList{"--missing", QString(33, u'-')} << QByteArray() << QByteArray()
        << "has 33 characters; a row holds 32";
    QTest::newRow("--missing with ESC, shown escaped")
        << QStringList{"--missing", "\x1b[2J"} << QByteArray() << QByteArray()
        << "--missing \"\\x1b[2J\" holds a control character (U+001B)";
}

void TestSend::badInputSendsNothing() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, values);
    QFETCH(QByteArray, row);
    QFETCH(QString, error);

    PageSet pages = DefaultPages::pages();
    if (!row.isEmpty())
        pages.setRow(PageSet::indexOf(5, 2), QString::fromLatin1(row));
    writeConfig(pages);
    QByteArray shortConfig = "1\r\n";
    for (int index = 0; index < 10; ++index)
        shortConfig += "\"row\"\r\n";
    writeFile(QStringLiteral("short.cfg"), shortConfig);
    QVERIFY(
        QFile::link(QStringLiteral("nowhere"), m_dir->filePath(QStringLiteral("dangling.cfg"))));
    ConfigStore(m_dir->filePath(QStringLiteral("odd%2.cfg"))).save(0, pages);
    QCOMPARE(::mkfifo(QFile::encodeName(m_dir->filePath(QStringLiteral("fifo"))).constData(), 0600),
             0);
    if (!values.isEmpty())
        writeFile(QStringLiteral("values.json"), values);

    // The fake boards, unless the row names a port or a display.cfg of its own.
    if (!arguments.contains(QLatin1String("--port")) &&
        !arguments.contains(QLatin1String("--device")) &&
        !arguments.contains(QLatin1String("--config")))
        arguments = QStringList{"--device", m_boards->devicePath()} + arguments;
    const ProgramResult run = send(arguments, m_dir->path(), 10000);
    QCOMPARE(run.status, 3);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QVERIFY2(run.err.startsWith(QLatin1String("display-send: ")), qPrintable(run.err));
    QVERIFY2(run.err.size() < 400, qPrintable(run.err.left(400)));
    QCOMPARE(run.out, QString());
    QTest::qWait(50);
    QVERIFY(m_boards->received().isEmpty());
    QVERIFY(!QFileInfo::exists(journalIn(m_dir->path()))); // no job, no record
}

void TestSend::dryRunPrintsTheFrames() {
    PageSet pages = DefaultPages::pages();
    pages.setRow(PageSet::indexOf(5, 3), QStringLiteral("pH          6.5-8.5 {pH:>6.1f}"));
    pages.setRow(PageSet::indexOf(5, 4), QStringLiteral("{{TSS}}       30  {TSS:7.1f}"));
    pages.setRow(PageSet::indexOf(5, 15), QStringLiteral("Updated {date:%d.%m.%Y}"));
    writeConfig(pages);
    writeFile(QStringLiteral("a.json"), R"({"pH": 6.0, "TSS": 12.345})");
    writeFile(QStringLiteral("b.json"), R"({"pH": 7.25})");

    const ProgramResult run = send({"--dry-run", "--values", "a.json", "--values", "b.json",
                                    "--set", "TSS=25.1", "--delay", "12"},
                                   m_dir->path());
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QString());
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), UploadFrameCount);
    QCOMPARE(lines.at(0), QStringLiteral("*Q\\r"));
    QCOMPARE(lines.at(2), QStringLiteral("1ED00TSCHazardous chemicals - Quantity~CHEMICAL      "
                                         "      QUANTITY(MT)\\r"));
    // Page 5, pair 1 carries rows 2 and 3; pair 2 rows 4 and 5; pair 7 rows 14 and 15.
    QCOMPARE(lines.at(2 + 5 * 8 + 1),
             QStringLiteral("2ED05TSC PARAMETER   LIMIT   RESULTS    ~pH          6.5-8.5    "
                            "7.2\\r"));
    QCOMPARE(lines.at(2 + 5 * 8 + 2),
             QStringLiteral("3ED05TSC{TSS}       30     25.1~BOD(mg/l)     20      15.2\\r"));
    QCOMPARE(lines.at(2 + 5 * 8 + 7),
             QStringLiteral("8ED05TSCOil & Grease   -      140~Updated %1\\r")
                 .arg(QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"))));
    QCOMPARE(lines.at(50), QStringLiteral("1EN0612\\r"));
    QVERIFY(m_boards->received().isEmpty());
}

void TestSend::terminatedMidUpload_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outcome"); // empty: the record is left unfinished
    QTest::newRow("SIGTERM") << int(SIGTERM) << 128 + SIGTERM << QStringLiteral("aborted");
    QTest::newRow("SIGHUP, the terminal gone")
        << int(SIGHUP) << 128 + SIGHUP << QStringLiteral("aborted");
    QTest::newRow("SIGKILL") << int(SIGKILL) << -2 << QString();
}

void TestSend::terminatedMidUpload() {
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QString, outcome);
    QProcess process;
    start(process, {QStringLiteral("--device"), m_boards->devicePath()}, m_dir->path());
    connect(m_boards.get(), &PtyBoards::frameReceived, this, [&] {
        if (m_boards->received().size() == 3)
            ::kill(pid_t(process.processId()), signal);
    });
    const ProgramResult run = finish(process, 20000);
    QCOMPARE(run.status, status);
    QTest::qWait(700); // a frame written after the signal would have arrived by now
    QCOMPARE(m_boards->received().size(), 3);
    const QList<QJsonObject> records = jsonRecords(
        send({QStringLiteral("--history"), QStringLiteral("--json")}, m_dir->path()).out);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("outcome").toString(), outcome);
    if (outcome.isEmpty()) {
        // Killed between begin and finish: the record says so, and what was to be sent.
        const ProgramResult plain = send({QStringLiteral("--history")}, m_dir->path());
        QVERIFY2(plain.out.contains(QLatin1String(" unfinished ")), qPrintable(plain.out));
        QVERIFY(records.first().value("finished").isNull());
        QCOMPARE(records.first().value("rows").toArray().size(), PageSet::RowCount);
        QCOMPARE(records.first().value("delay").toInt(), 5);
    } else {
        // The third frame counted though its reply window was cut short.
        QCOMPARE(records.first().value("frames").toInt(), 3);
        QCOMPARE(records.first().value("lights").toString(), QStringLiteral("ccccccccc"));
    }
    // The port was closed and the journal is still written: another run takes both at once.
    const ProgramResult next = send({QStringLiteral("--test"), QStringLiteral("--device"),
                                     m_boards->devicePath(), QStringLiteral("--quiet")},
                                    m_dir->path());
    QCOMPARE(next.status, 0);
    QCOMPARE(next.err, QString());
    const QList<QJsonObject> after = jsonRecords(
        send({QStringLiteral("--history"), QStringLiteral("--json")}, m_dir->path()).out);
    QCOMPARE(after.size(), 2);
    QCOMPARE(after.first().value("outcome").toString(), QStringLiteral("complete"));
}

void TestSend::monitorPrintsWhatArrives_data() {
    QTest::addColumn<QByteArray>("arriving");
    QTest::addColumn<QString>("ending"); // of the one line printed
    QTest::newRow("a line") << QByteArray("7 RESTARTED\r\n") << " 7 RESTARTED\u240D\u240A";
    QTest::newRow("a flood: what was dropped beyond what was kept")
        << QByteArray(10000, 'x') << "xxx and 5904 more bytes, dropped";
}

void TestSend::monitorPrintsWhatArrives() {
    QFETCH(QByteArray, arriving);
    QFETCH(QString, ending);
    QProcess process;
    start(process,
          {QStringLiteral("--monitor"), QStringLiteral("--seconds"), QStringLiteral("1.5"),
           QStringLiteral("--device"), m_boards->devicePath()},
          m_dir->path());
    QTimer::singleShot(600, m_boards.get(), [this, arriving] { m_boards->sendUnasked(arriving); });
    const ProgramResult run = finish(process, 10000);
    QCOMPARE(run.status, 0);
    const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    if (lines.size() == 1) {
        QVERIFY2(lines.front().endsWith(ending), qPrintable(lines.front().right(80)));
    } else {
        // A flood crosses the terminal's 4 KiB buffer in pieces, and a poll may fall between
        // them: then it shows on two lines, and what they kept and dropped adds up to it all.
        QVERIFY2(arriving.size() > 4096, qPrintable(run.out));
        static const QRegularExpression dropped(QStringLiteral(" and (\\d+) more bytes"));
        qsizetype accounted = 0;
        for (const QString &line : lines)
            accounted += line.count(QLatin1Char('x')) + dropped.match(line).captured(1).toInt();
        QCOMPARE(accounted, arriving.size());
    }
    QVERIFY(m_boards->received().isEmpty()); // the monitor never sends
}

void TestSend::helpVersionInit_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out"); // how standard output begins

    QTest::newRow("help") << QStringList{"--help"} << "Usage: ";
    QTest::newRow("version") << QStringList{"--version"} << "display-send ";
    QTest::newRow("-v, as the other programs take it") << QStringList{"-v"} << "display-send ";
    QTest::newRow("init") << QStringList{"--init", "--config", "new.cfg"}
                          << "Wrote new.cfg with the default pages and port 1.";
}

void TestSend::helpVersionInit() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    const ProgramResult run = send(arguments, m_dir->path());
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.startsWith(out), qPrintable(run.out));
    if (arguments.contains(QLatin1String("--init"))) {
        qint16 port = 0;
        PageSet pages;
        ConfigStore(m_dir->filePath(QStringLiteral("new.cfg"))).load(port, pages);
        QCOMPARE(port, 1);
        QCOMPARE(pages, DefaultPages::pages());
    }
}

void TestSend::historyReadsTheJournal_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("filled"); // the journal beside display.cfg holds 25 board tests
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<int>>("ports"); // of the records printed, in order
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("error"); // part of standard error; empty: nothing there

    QList<int> newest20;
    for (int port = 25; port > 5; --port)
        newest20 << port;
    QTest::newRow("the newest 20 by default")
        << QStringList{"--history"} << true << 0 << newest20 << false << QString();
    QTest::newRow("--limit 3") << QStringList{"--history", "--limit", "3"} << true << 0
                               << QList<int>{25, 24, 23} << false << QString();
    QTest::newRow("--limit beyond the records")
        << QStringList{"--history", "--limit", "1000"} << true << 0
        << newest20 + QList<int>{5, 4, 3, 2, 1} << false << QString();
    QTest::newRow("--csv --limit 2") << QStringList{"--history", "--csv", "--limit", "2"} << true
                                     << 0 << QList<int>{25, 24} << false << QString();
    QTest::newRow("--csv and --json") << QStringList{"--history", "--csv", "--json"} << true << 3
                                      << QList<int>{} << false << "give --json or --csv";
    QTest::newRow("--json --limit 2") << QStringList{"--history", "--json", "--limit", "2"} << true
                                      << 0 << QList<int>{25, 24} << true << QString();
    QTest::newRow("--journal names the file")
        << QStringList{"--history", "--journal", "elsewhere/other.db", "--limit", "1"} << false << 0
        << QList<int>{7} << false << QString();
    QTest::newRow("--journal names a file that is no journal")
        << QStringList{"--history", "--journal", "elsewhere/notes.db"} << true << 3 << QList<int>{}
        << false << "cannot be read";
    QTest::newRow("no journal yet")
        << QStringList{"--history"} << false << 0 << QList<int>{} << false << "no job journal at";
    QTest::newRow("--limit 0") << QStringList{"--history", "--limit", "0"} << true << 3
                               << QList<int>{} << false << "--limit 0: not a number of records";
    QTest::newRow("--limit of words") << QStringList{"--history", "--limit", "all"} << true << 3
                                      << QList<int>{} << false << "--limit all";
    QTest::newRow("--json without --history") << QStringList{"--test", "--json"} << true << 3
                                              << QList<int>{} << false << "--json goes only";
    QTest::newRow("--history and --test") << QStringList{"--history", "--test"} << true << 3
                                          << QList<int>{} << false << "choose one of";
    QTest::newRow("--history and --port") << QStringList{"--history", "--port", "3"} << true << 3
                                          << QList<int>{} << false << "--port goes only";
}

void TestSend::historyReadsTheJournal() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, filled);
    QFETCH(int, status);
    QFETCH(QList<int>, ports);
    QFETCH(bool, json);
    QFETCH(QString, error);

    const auto boardTest = [](int port) {
        JournalStart start;
        start.program = QStringLiteral("send");
        start.job = QStringLiteral("test");
        start.port = port;
        start.device = QStringLiteral("/dev/ttyS%1").arg(port - 1);
        return start;
    };
    const auto finished = [] {
        JournalEnd end;
        end.outcome = QStringLiteral("complete");
        end.frames = ProbeFrameCount;
        end.lights = QStringLiteral("ggggggggg");
        return end;
    };
    if (filled) {
        Journal journal(journalIn(m_dir->path()));
        for (int port = 1; port <= 25; ++port)
            journal.finish(journal.begin(boardTest(port)), finished());
    }
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("elsewhere")));
    {
        Journal other(m_dir->filePath(QStringLiteral("elsewhere/other.db")));
        other.finish(other.begin(boardTest(7)), finished());
    }
    const QByteArray notes = "not a journal, and not to be moved or changed";
    QVERIFY(writeBytes(m_dir->filePath(QStringLiteral("elsewhere/notes.db")), notes));
    // Reading the journal needs no display.cfg.
    QVERIFY(QFile::remove(m_dir->filePath(QStringLiteral("display.cfg"))));

    const ProgramResult run = send(arguments, m_dir->path(), 10000);
    QCOMPARE(run.status, status);
    QCOMPARE(fileBytes(m_dir->filePath(QStringLiteral("elsewhere/notes.db"))), notes);
    if (error.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QVERIFY2(run.err.startsWith(QLatin1String("display-send: ")) && run.err.contains(error),
                 qPrintable(run.err));
    QList<int> printed;
    if (json) {
        for (const QJsonObject &record : jsonRecords(run.out)) {
            QCOMPARE(record.keys(), JournalKeys);
            QVERIFY(record.value("delay").isNull());
            QVERIFY(record.value("rows").isNull());
            printed << record.value("port").toInt();
        }
    } else if (arguments.contains(QLatin1String("--csv")) && status == 0) {
        // Its byte order mark is read as such, not as text.
        QVERIFY2(run.out.startsWith(QStringLiteral("started,finished,")), qPrintable(run.out));
        for (const QString &line : run.out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts).mid(1))
            printed << line.section(u',', 4, 4).toInt();
    } else {
        static const QRegularExpression com(QStringLiteral(" COM (\\d+) /dev/ttyS"));
        for (const QString &line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QVERIFY2(line.contains(QLatin1String(" complete ")), qPrintable(line));
            printed << com.match(line).captured(1).toInt();
        }
    }
    QCOMPARE(printed, ports);
    QTest::qWait(20);
    QVERIFY(m_boards->received().isEmpty());
}

void TestSend::journalProblemLeavesTheJobAlone_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("upload");  // else the board test
    QTest::addColumn<QString>("said"); // part of the one line on standard error

    QTest::newRow("damaged journal, upload") << "damaged" << true << "moved aside";
    QTest::newRow("journal of a newer version, %2 in its path, board test")
        << "newer" << false << "odd%2/display-journal.db was written by a newer version";
    QTest::newRow("journal folder missing, board test")
        << "missing" << false << "its folder does not exist";
    QTest::newRow("read-only folder, board test") << "read-only" << false << "not writable";
}

void TestSend::journalProblemLeavesTheJobAlone() {
    QFETCH(QString, fault);
    QFETCH(bool, upload);
    QFETCH(QString, said);

    const QString folder = m_dir->path();
    const QString path =
        fault == QLatin1String("newer") ? folder + "/odd%2/display-journal.db" : journalIn(folder);
    QStringList arguments{QStringLiteral("--device"), m_boards->devicePath()};
    if (!upload)
        arguments << QStringLiteral("--test");
    bool asNobody = false;
    QByteArray untouched;
    if (fault == QLatin1String("damaged")) {
        QVERIFY(writeBytes(path, randomBytes(5, 16384)));
    } else if (fault == QLatin1String("newer")) {
        QVERIFY(QDir(folder).mkdir(QStringLiteral("odd%2")));
        arguments << QStringLiteral("--journal") << path;
        QVERIFY(writeNewerJournal(path));
        untouched = fileBytes(path);
    } else if (fault == QLatin1String("missing")) {
        arguments << QStringLiteral("--journal") << QStringLiteral("nowhere/display-journal.db");
    } else if (::geteuid() == 0) {
        // Folder permissions do not bind root: display-send runs as nobody, in a folder of
        // root's that nobody may read but not write, on boards nobody may open.
        asNobody = true;
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
        QVERIFY(QFile::setPermissions(m_dir->filePath(QStringLiteral("display.cfg")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(m_boards->devicePath(), QFile::ReadOwner | QFile::WriteOwner |
                                                                  QFile::ReadOther |
                                                                  QFile::WriteOther));
    } else {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }

    const ProgramResult run = send(arguments, folder, 60000, asNobody);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(run.status, 0);
    QCOMPARE(m_boards->received().size(), upload ? UploadFrameCount : ProbeFrameCount);
    if (upload)
        QCOMPARE(m_boards->allBytes(), goldenUpload());
    QVERIFY2(run.out.endsWith(QStringLiteral("8 of 8 boards answered; %1 of %1 frames sent to %2\n")
                                  .arg(upload ? UploadFrameCount : ProbeFrameCount)
                                  .arg(m_boards->devicePath())),
             qPrintable(run.out));
    // Said once, on one line.
    const QStringList lines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("display-send: The job journal ")) &&
                 lines.first().contains(said),
             qPrintable(run.err));

    if (fault == QLatin1String("damaged")) {
        QCOMPARE(QDir(folder)
                     .entryList({QStringLiteral("display-journal.db.damaged-*")}, QDir::Files)
                     .size(),
                 1);
        Journal fresh(path);
        const QList<JournalRecord> records = fresh.history(10);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().outcome, QStringLiteral("complete"));
    } else if (fault == QLatin1String("newer")) {
        QCOMPARE(fileBytes(path), untouched);
    } else {
        QVERIFY(!QFileInfo::exists(path));
    }
}

void TestSend::mappedPortNumber_data() {
    QTest::addColumn<QByteArray>("portsConf"); // beside display.cfg; BOARDS: the fake boards
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("configPort"); // display.cfg's port number
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("errors"); // each a part of one line of standard error, in order
    QTest::addColumn<int>("frames");         // that reached the boards

    QTest::newRow("--port names a mapped number, bad lines said")
        << QByteArray("; the gate\n250=BOARDS\n33=xyz://a\n400=/dev/ttyUSB0\n")
        << QStringList{"--test", "--port", "250"} << 1 << 0
        << QStringList{"ports.conf, line 3: unknown scheme \"xyz\"",
                       "ports.conf, line 4: COM 400 is not in the port list"}
        << ProbeFrameCount;
    QTest::newRow("display.cfg's number through the map")
        << QByteArray("[General]\n249 = \"BOARDS\"\n") << QStringList{"--test"} << 249 << 0
        << QStringList{} << ProbeFrameCount;
    QTest::newRow("the asked number's line is bad")
        << QByteArray("33=/dev/ttyUSB3\n250=tcp://BOARDS\n") << QStringList{"--port", "250"} << 1
        << 3 << QStringList{"cannot use COM 250: ports.conf, line 2: malformed address"} << 0;
    QTest::newRow("a device name with ESC is shown escaped")
        << QByteArray() << QStringList{"--test", "--device", "/dev/no\x1b[2Jsuch"} << 1 << 2
        << QStringList{"Cannot open /dev/no\\x1b[2Jsuch"} << 0;
    QTest::newRow("another number's bad line does not stop the job")
        << QByteArray("250=BOARDS\n251=/dev/x\n") << QStringList{"--test", "--port", "250"} << 1
        << 0 << QStringList{"ports.conf, line 2: COM 251 is not in the port list"}
        << ProbeFrameCount;
    QTest::newRow("display.cfg's port 300: bad input")
        << QByteArray() << QStringList{"--test"} << 300 << 3
        << QStringList{"display.cfg, line 1: port 300: not a port number from 1 to 250; give "
                       "--port or --device"}
        << 0;
    QTest::newRow("display.cfg's port 251, upload: bad input")
        << QByteArray() << QStringList() << 251 << 3
        << QStringList{"display.cfg, line 1: port 251: not a port number"} << 0;
    QTest::newRow("display.cfg's port 300 under --port")
        << QByteArray("250=BOARDS\n") << QStringList{"--test", "--port", "250"} << 300 << 0
        << QStringList{} << ProbeFrameCount;
}

void TestSend::mappedPortNumber() {
    QFETCH(QByteArray, portsConf);
    QFETCH(QStringList, arguments);
    QFETCH(int, configPort);
    QFETCH(int, status);
    QFETCH(QStringList, errors);
    QFETCH(int, frames);

    writeConfig(DefaultPages::pages(), qint16(configPort));
    const QString portsFile = writeFile(
        QStringLiteral("ports.conf"), portsConf.replace("BOARDS", m_boards->devicePath().toUtf8()));
    // No ports.conf of the user running the tests takes part.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("home")));

    const ProgramResult run = send(arguments, m_dir->path(), 60000, false, environment);
    QCOMPARE(run.status, status);
    const QStringList said = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(said.size(), errors.size());
    for (qsizetype i = 0; i < errors.size(); ++i) {
        const QString expected =
            QString(errors.at(i)).replace(QLatin1String("ports.conf"), portsFile);
        QVERIFY2(said.at(i).startsWith(QLatin1String("display-send: ")), qPrintable(said.at(i)));
        QVERIFY2(said.at(i).contains(expected),
                 qPrintable(said.at(i) + QStringLiteral(" | expected ") + expected));
    }
    QTest::qWait(50);
    QCOMPARE(m_boards->received().size(), frames);
}

void TestSend::wireLog_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("loggingRules"); // QT_LOGGING_RULES; empty: not set
    QTest::addColumn<QStringList>("logged");   // what the wire log lines say after the time

    QStringList probes;
    for (int address = 0; address <= BoardAddress::Highest; ++address)
        probes << QStringLiteral("wrote %1?\\r").arg(address)
               << QStringLiteral("read %1 OK\\r\\n").arg(address);
    // The monitor rows take 1.2 s; something arrives after 0.4 s.
    const QStringList monitor{"--monitor", "--seconds", "1.2"};
    const QStringList arrived{"read 7 RESTARTED\\r\\n\\x01\\\\"};
    QTest::newRow("--verbose logs each frame and reply")
        << QStringList{"--test", "--verbose"} << QString() << probes;
    QTest::newRow("monitor logs what arrives, not the empty polls")
        << monitor + QStringList{"--verbose"} << QString() << arrived;
    QTest::newRow("switched on by QT_LOGGING_RULES")
        << monitor << "display.wire.debug=true" << arrived;
    QTest::newRow("without --verbose nothing") << monitor << QString() << QStringList{};
    QTest::newRow("QT_LOGGING_RULES may switch it off again")
        << monitor + QStringList{"--verbose"} << "display.wire.debug=false" << QStringList{};
}

void TestSend::wireLog() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, loggingRules);
    QFETCH(QStringList, logged);

    m_boards->setReplyTail(" OK\r\n");
    if (arguments.contains(QLatin1String("--monitor")))
        QTimer::singleShot(400, m_boards.get(), [this] {
            m_boards->sendUnasked(QByteArray("7 RESTARTED\r\n\x01\\", 15));
        });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!loggingRules.isEmpty())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);
    const ProgramResult run = send(QStringList{"--device", m_boards->devicePath()} + arguments,
                                   m_dir->path(), 20000, false, environment);
    QCOMPARE(run.status, 0);

    QStringList said;
    QList<int> times;
    for (const QString &line : run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int ms = wireMs(line);
        QVERIFY2(ms >= 0, qPrintable(line));
        said << line.section(QLatin1String(" ms "), 1);
        times << ms;
    }
    QCOMPARE(said, logged);
    // Counted from the job's start: each probe goes out one full reply window after the last.
    for (qsizetype i = 2; i < times.size(); i += 2)
        QVERIFY2(times.at(i) - times.at(i - 2) >= FrameExchange::ReplyWindowMs,
                 qPrintable(run.err));
    if (!times.isEmpty() && arguments.contains(QLatin1String("--test")))
        QVERIFY2(times.front() < 200 && times.back() >= 8 * FrameExchange::ReplyWindowMs,
                 qPrintable(run.err));
}

void TestSend::liveValues_data() {
    QTest::addColumn<QStringList>("arguments"); // BOARDS: the fake boards' device
    QTest::addColumn<QList<int>>("silent");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");      // part of standard output
    QTest::addColumn<QString>("err");      // part of standard error
    QTest::addColumn<int>("frames");       // that reached the boards
    QTest::addColumn<QByteArray>("shown"); // the row as the boards got it

    const QStringList upload{"--device", "BOARDS"};
    const QByteArray missing = "COD(mg/l)    150        --";
    QTest::newRow("stale value: -- in its field, the upload out, exit 4")
        << upload << QList<int>{} << 4 << "8 of 8 boards answered"
        << "display-send: cod unavailable: stale" << UploadFrameCount << missing;
    QTest::newRow("a silent board takes precedence over 4")
        << upload << QList<int>{3} << 1 << "board 3: no answer"
        << "cod unavailable" << UploadFrameCount << missing;
    QTest::newRow("--show-values") << QStringList{"--show-values"} << QList<int>{} << 4
                                   << "cod 198 stale 2026-12-01T08:00:00.000Z json "
                                   << "cod unavailable" << 0 << QByteArray();
    QTest::newRow("--show-values --json, --set wins, {updated} listed, unused")
        << QStringList{"--show-values", "--json", "--set", "cod=120"} << QList<int>{} << 0
        << R"({"name":"updated","problem":"no source gave a current reading","source":"the oldest reading in use","state":"failed")"
        << "ahead of this machine's clock" << 0 << QByteArray();
    QTest::newRow(
        "--show-values: a value its row refuses is listed failed, as the preview lists it")
        << QStringList{"--show-values", "--set", "cod=high"} << QList<int>{} << 4
        << "cod high failed - set\n"
        << "cod unavailable: {cod:>6.0f} does not fit the text" << 0 << QByteArray();
    QTest::newRow("a reading from the future named, the one before it judged")
        << QStringList{"--show-values"} << QList<int>{} << 4 << "cod 198 stale"
        << "cod dated 2100-01-01 00:00:00 UTC, ahead of this machine's clock, skipped" << 0
        << QByteArray();
    QTest::newRow("--show-values quotes a text with a space")
        << QStringList{"--show-values", "--set", "site=Gate 2"} << QList<int>{} << 4
        << "site \"Gate 2\" ok - set\n"
        << "cod unavailable" << 0 << QByteArray();
    QTest::newRow("a bad section's reason said once")
        << QStringList{"--show-values", "--sources", "bad.conf"} << QList<int>{} << 4
        << "cod - failed - json "
        << "max-age \"soon\" is not an age" << 0 << QByteArray();
    QTest::newRow("--sources missing: exit 3, nothing sent")
        << QStringList{"--device", "BOARDS", "--sources", "none.conf"} << QList<int>{} << 3
        << QString() << "none.conf" << 0 << QByteArray();
    // The fill's outcome on the rows, without the upload's 26 s.
    const QStringList dryRun{"--dry-run"};
    const QString dryMissing = QString::fromLatin1(missing);
    QTest::newRow("empty sources.conf: templates, nothing unavailable")
        << dryRun + QStringList{"--sources", "empty.conf", "--set", "cod=5"} << QList<int>{} << 0
        << "COD(mg/l)    150         5" << QString() << 0 << QByteArray();
    QTest::newRow("text in a number's field")
        << dryRun + QStringList{"--set", "cod=high"} << QList<int>{} << 4 << dryMissing
        << "cod unavailable: {cod:>6.0f} does not fit the text" << 0 << QByteArray();
    QTest::newRow("a quote in a value")
        << dryRun + QStringList{"--set", "cod=Gate \"2\""} << QList<int>{} << 4 << dryMissing
        << "holds '\"', which a row cannot carry" << 0 << QByteArray();
    QTest::newRow("1e300 overflows the row")
        << dryRun + QStringList{"--set", "cod=1" + QString(300, u'0')} << QList<int>{} << 4
        << dryMissing << "makes a row of 321 characters" << 0 << QByteArray();
}

void TestSend::liveValues() {
    QFETCH(QStringList, arguments);
    QFETCH(QList<int>, silent);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, frames);
    QFETCH(QByteArray, shown);
    for (int address : silent)
        m_boards->bank().setBehaviour(address, B::Silent);
    PageSet pages = DefaultPages::pages();
    pages.setRow(PageSet::indexOf(5, 3), QStringLiteral("COD(mg/l)    150    {cod:>6.0f}"));
    writeConfig(pages);
    writeFile(QStringLiteral("feed.json"), R"([{"deviceId": "s1", "params": [{"parameter": "cod",
              "value": 198, "timestamp": 1796112000000, "flag": "U"},
              {"parameter": "cod", "value": 9, "timestamp": 4102444800000}]}])");
    writeFile(QStringLiteral("sources.conf"), "[cod]\njson = feed.json\nparameter = cod\n");
    writeFile(QStringLiteral("empty.conf"), "; no sources yet\n");
    writeFile(QStringLiteral("bad.conf"),
              "[cod]\njson = feed.json\nparameter = cod\nmax-age = soon\n");
    arguments.replaceInStrings(QStringLiteral("BOARDS"), m_boards->devicePath());

    const ProgramResult run = send(arguments, m_dir->path(), 60000);
    QCOMPARE(run.status, status);
    QVERIFY2(run.out.contains(out), qPrintable(run.out));
    QVERIFY2(run.err.count(err) == 1, qPrintable(run.err)); // said once
    QTest::qWait(50);
    QCOMPARE(m_boards->received().size(), frames);
    if (frames)
        QVERIFY(m_boards->allBytes().contains(shown));
}

// A folder's optional files: only their true absence means none, and a row holding a field
// needs figures to fill it.
void TestSend::folderFiles_data() {
    QTest::addColumn<QString>("entry"); // made in the folder: "NAME dangling", "NAME folder"
    QTest::addColumn<QString>("row");   // page 6, row 3
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // part of standard error (3) or output (0)

    const QStringList dry{"--dry-run"};
    const QStringList upload{"--device", "BOARDS"};
    const QString pH = QStringLiteral("pH {pH:.1f}");
    QTest::newRow("dangling sources.conf")
        << "sources.conf dangling" << pH << upload << 3 << "sources.conf";
    QTest::newRow("sources.conf a folder")
        << "sources.conf folder" << pH << upload << 3 << "sources.conf";
    QTest::newRow("dangling values.json")
        << "values.json dangling" << pH << upload << 3 << "values.json";
    QTest::newRow("values.json a link to a folder")
        << "values.json linkfolder" << pH << upload << 3 << "values.json";
    QTest::newRow("dangling ports.conf, port number from display.cfg")
        << "ports.conf dangling" << QString() << QStringList{"--test"} << 3
        << "ports.conf: cannot be read";
    QTest::newRow("ports.conf a folder, --port")
        << "ports.conf folder" << QString() << QStringList{"--test", "--port", "7"} << 3
        << "ports.conf: cannot be read";
    QTest::newRow("field without figures")
        << QString() << pH << upload << 3
        << "page 6, row 3 holds a field (\"pH {pH:.1f}\"), but there is no sources.conf";
    QTest::newRow("malformed field without figures")
        << QString() << "pH {pH" << upload << 3 << "page 6, row 3 holds a field";
    QTest::newRow("doubled brace without figures goes as written")
        << QString() << "a {{brace}}" << dry << 0 << "TSCa {{brace}}~";
    QTest::newRow("values.json beside fills") << "values.json" << pH << dry << 0 << "TSCpH 7.1~";
    QTest::newRow("--values replaces a dangling values.json")
        << "values.json dangling" << pH << QStringList{"--dry-run", "--values", "other.json"} << 0
        << "TSCpH 6.5~";
    QTest::newRow("--set alone is figures")
        << QString() << pH << QStringList{"--dry-run", "--set", "pH=8"} << 0 << "TSCpH 8.0~";
}

void TestSend::folderFiles() {
    QFETCH(QString, entry);
    QFETCH(QString, row);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);
    PageSet pages = DefaultPages::pages();
    if (!row.isEmpty())
        pages.setRow(PageSet::indexOf(5, 2), row);
    writeConfig(pages);
    writeFile(QStringLiteral("other.json"), R"({"pH": 6.5})");
    QDir(m_dir->path()).mkdir(QStringLiteral("sub"));
    const QString name = entry.section(u' ', 0, 0);
    const QString kind = entry.section(u' ', 1);
    const QString path = m_dir->filePath(name);
    if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("nowhere")), path));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir(m_dir->path()).mkdir(name));
    else if (kind == QLatin1String("linkfolder"))
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("sub")), path));
    else if (!name.isEmpty())
        writeFile(name, R"({"pH": 7.12})");
    arguments.replaceInStrings(QStringLiteral("BOARDS"), m_boards->devicePath());

    const ProgramResult run = send(arguments, m_dir->path(), 20000);
    QCOMPARE(run.status, status);
    QVERIFY2((status ? run.err : run.out).contains(said), qPrintable(run.err + run.out));
    QTest::qWait(50);
    QVERIFY(m_boards->received().isEmpty());
}

// The alert command after a board test: run when the outcome differs from the test before on
// the same device (an upload's does not count), with the job in its environment; its failure or
// time-out one line on standard error, the exit status that of the test.
void TestSend::alertOnChange_data() {
    QTest::addColumn<QString>("before");   // the lights of the test before; empty: none
    QTest::addColumn<QString>("command");  // the alert command
    QTest::addColumn<QString>("previous"); // DISPLAY_PREVIOUS_OUTCOME; empty: no alert
    QTest::addColumn<QString>("said");     // how standard error begins
    QTest::addColumn<QString>("journal");  // --journal; empty: the one beside display.cfg
    const QString env = QStringLiteral("env > alert.env");
    QTest::newRow("board 5 went dark")
        << "ggggggggg" << env << "complete" << QString() << QString();
    QTest::newRow("board 5 still dark, an upload since saw all")
        << "gggggrggg" << env << QString() << QString() << QString();
    QTest::newRow("first test, board 5 dark") << QString() << env << "" << QString() << QString();
    QTest::newRow("command fails") << QString() << "env > alert.env; exit 3"
                                   << ""
                                   << "display-send: the alert command failed (exit status 3)\n"
                                   << QString();
    QTest::newRow("command hangs, and what it started")
        << QString() << "env > alert.env; sleep 30 & echo $! > child; wait"
        << ""
        << "display-send: the alert command ran longer than 0.5 s and was stopped\n"
        << QString();
    QTest::newRow("journal not writable: board 5 dark alerts, with the journal's problem")
        << QString() << env << ""
        << "display-send: The job journal "
        << "nowhere/journal.db";
}

void TestSend::alertOnChange() {
    QFETCH(QString, before);
    QFETCH(QString, command);
    QFETCH(QString, previous);
    QFETCH(QString, said);
    QFETCH(QString, journal);
    m_boards->bank().setBehaviour(5, B::Silent);
    {
        Journal journal(journalIn(m_dir->path()));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        JournalStart start{"send", "test", 0, m_boards->devicePath(), {}, {}, now, {}, {}, {}};
        JournalEnd end{"complete", {}, 9, before, now, {}, {}, {}};
        if (!before.isEmpty())
            journal.finish(journal.begin(start), end);
        start.job = QStringLiteral("upload");
        end.lights = QStringLiteral("cgggggggg");
        journal.finish(journal.begin(start), end);
    }
    QStringList arguments{"--test",  "--device", m_boards->devicePath(),
                          "--alert", command,    "--alert-timeout-ms",
                          "500"};
    if (!journal.isEmpty())
        arguments << "--journal" << journal;
    const ProgramResult run = send(arguments, m_dir->path(), 20000);
    QCOMPARE(run.status, 1); // board 5 did not answer, whatever the command did
    QVERIFY2(run.err.startsWith(said) && run.err.isEmpty() == said.isEmpty(), qPrintable(run.err));
    const QString envFile = m_dir->filePath(QStringLiteral("alert.env"));
    QCOMPARE(QFileInfo::exists(envFile), !previous.isNull());
    if (previous.isNull())
        return;
    const QMap<QString, QString> expected{
        {"DISPLAY_DEVICE", m_boards->devicePath()},
        {"DISPLAY_PORT", ""},
        {"DISPLAY_JOB", "test"},
        {"DISPLAY_OUTCOME", "complete"},
        {"DISPLAY_PREVIOUS_OUTCOME", previous},
        {"DISPLAY_SILENT_BOARDS", "5"},
        {"DISPLAY_UNAVAILABLE", ""},
        {"DISPLAY_SITE", ""}, // a local journal's
        {"DISPLAY_DEVICES", ""},
        // what standard error said of the journal
        {"DISPLAY_ERROR", journal.isEmpty() ? QString() : run.err.section(u'\n', 0, 0).mid(14)},
        {"DISPLAY_JOURNAL", journal.isEmpty() ? journalIn(m_dir->path()) : journal}};
    QCOMPARE(displayVariables(fileBytes(envFile)), expected);
    if (const QByteArray child = fileBytes(m_dir->filePath(QStringLiteral("child")));
        !child.isEmpty())
        QTRY_VERIFY(::kill(child.trimmed().toInt(), 0) != 0); // its whole group was stopped
}

void TestSend::checkFreshAndStale_data() {
    QTest::addColumn<int>("completeMinutesAgo"); // the last complete upload; -1: none
    QTest::addColumn<int>("failedMinutesAgo");   // a port error since; -1: none
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("previous"); // DISPLAY_PREVIOUS_OUTCOME; null: no alert
    const QStringList every15{"--check", "--expect-every", "15m"};
    QTest::newRow("fresh, 20 min ago of 15 min") << 20 << -1 << every15 << 0 << QString();
    QTest::newRow("stale, 23 min ago of 15 min") << 23 << -1 << every15 << 1 << "complete";
    QTest::newRow("stale, port errors since") << 60 << 2 << every15 << 1 << "port-error";
    QTest::newRow("no upload ever") << -1 << -1 << every15 << 1 << "";
    QTest::newRow("fresh for an hourly timer")
        << 60 << -1 << QStringList{"--check", "--expect-every", "1h"} << 0 << QString();
    QTest::newRow("without --expect-every") << 1 << -1 << QStringList{"--check"} << 3 << QString();
    QTest::newRow("--expect-every of words")
        << 1 << -1 << QStringList{"--check", "--expect-every", "often"} << 3 << QString();
}

void TestSend::checkFreshAndStale() {
    QFETCH(int, completeMinutesAgo);
    QFETCH(int, failedMinutesAgo);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, previous);
    {
        Journal journal(journalIn(m_dir->path()));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        JournalStart start{"send", "upload", 0, m_boards->devicePath(), 5, {}, now, {}, {}, {}};
        for (const auto &[ago, outcome] : {std::pair(completeMinutesAgo, "complete"),
                                           std::pair(failedMinutesAgo, "port-error")}) {
            if (ago >= 0)
                journal.finish(journal.begin(start),
                               {outcome, {}, 0, "ccccccccc", now.addSecs(-60 * ago), {}, {}, {}});
        }
    }
    const ProgramResult run = send(
        arguments + QStringList{"--device", m_boards->devicePath(), "--alert", "env > alert.env"},
        m_dir->path(), 10000);
    QCOMPARE(run.status, status);
    QCOMPARE(run.err.isEmpty(), status == 0);
    const QMap<QString, QString> alerted =
        displayVariables(fileBytes(m_dir->filePath(QStringLiteral("alert.env"))));
    QCOMPARE(alerted.value(QStringLiteral("DISPLAY_PREVIOUS_OUTCOME"), QString()), previous);
    if (!previous.isNull())
        QCOMPARE(alerted.value(QStringLiteral("DISPLAY_OUTCOME")), QStringLiteral("stale"));
    QVERIFY(m_boards->received().isEmpty()); // no port opened
}

QTEST_GUILESS_MAIN(TestSend)
#include "tst_send.moc"
