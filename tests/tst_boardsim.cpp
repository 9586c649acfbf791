#include "failure.h"
#include "simulator.h"
#include "simulatorapp.h"
#include "terminalview.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString lightsOf(const LightPrediction &lights) {
    QString text;
    for (int address = 0; address < LightPrediction::AddressCount; ++address)
        text += QLatin1Char(lightName(lights.light(address))[0]);
    return text;
}

// What SimulatorApp::parse() made of a command line, as one line: "exit <status>: <error>",
// "builtin", or the options: the addresses that do not simply answer, then the rest.
QString outcome(const std::variant<SimulatorOptions, SimulatorExit> &parsed) {
    if (const auto *exit = std::get_if<SimulatorExit>(&parsed)) {
        if (exit->kind == SimulatorExit::Kind::Builtin)
            return QStringLiteral("builtin %1").arg(exit->status);
        return QStringLiteral("exit %1: %2").arg(exit->status).arg(exit->text);
    }
    const auto &options = std::get<SimulatorOptions>(parsed);
    QStringList parts;
    for (int address = 0; address < BoardAddress::Count; ++address) {
        switch (options.behaviour.at(std::size_t(address))) {
        case BoardBehaviour::Present:
            break;
        case BoardBehaviour::Silent:
            parts << QStringLiteral("%1 silent").arg(address);
            break;
        case BoardBehaviour::Wrong:
            parts << QStringLiteral("%1 wrong").arg(address);
            break;
        case BoardBehaviour::Late:
            parts << QStringLiteral("%1 late").arg(address);
            break;
        }
    }
    parts << QStringLiteral("reply %1 ms").arg(options.replyDelayMs)
          << QStringLiteral("late %1 ms").arg(options.lateDelayMs)
          << QStringLiteral("tail \"%1\"").arg(QString::fromLatin1(options.replyTail));
    if (options.cycle)
        parts << QStringLiteral("cycle");
    if (options.once)
        parts << QStringLiteral("once");
    if (options.plain)
        parts << QStringLiteral("plain");
    if (options.config)
        parts << QStringLiteral("config \"%1\"").arg(*options.config);
    if (options.tcp)
        parts << QStringLiteral("tcp %1 port %2")
                     .arg(options.tcp->host.toString())
                     .arg(options.tcp->port);
    if (options.modbusTcp)
        parts << QStringLiteral("modbus-tcp %1 port %2")
                     .arg(options.modbusTcp->host.toString(),
                          QString::number(options.modbusTcp->port));
    return parts.join(QStringLiteral(", "));
}

} // namespace

class TestBoardSim : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lights_data();
    void lights();
    void uploadShownInPlainText();
    void rejectedFramesCountedAndUploadEndsOnlyAfterDelay();
    void pageShowsMissingPairsAndLongRows();
    void commandLine_data();
    void commandLine();
    void configPointedAt_data();
    void configPointedAt();
};

void TestBoardSim::lights_data() {
    // Events: "f:<frame>" a frame arrives, "r:<bytes>" a reply is sent, "e" the window ends.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("expected"); // c(yan), g(reen), r(ed) for addresses 0..8

    QTest::newRow("probe answered in its window")
        << QStringList{"f:3?", "r:3 OK", "e"} << "cccgccccc";
    QTest::newRow("probe without answer") << QStringList{"f:5?", "e"} << "cccccrccc";
    QTest::newRow("non-digit reply is good for address 0")
        << QStringList{"f:0?", "r:OK", "e"} << "gcccccccc";
    QTest::newRow("non-digit reply is bad for address 3")
        << QStringList{"f:3?", "r:OK", "e"} << "cccrccccc";
    QTest::newRow("another board's digit") << QStringList{"f:4?", "r:5 OK", "e"} << "ccccrcccc";
    QTest::newRow("reply 12 for board 2") << QStringList{"f:2ED00TSC~", "r:12", "e"} << "ccrcccccc";
    QTest::newRow("bracket judges nothing") << QStringList{"f:*Q", "r:1 OK", "e"} << "ccccccccc";
    QTest::newRow("address 9 judges nothing") << QStringList{"f:9?", "r:9", "e"} << "ccccccccc";
    QTest::newRow("late reply is read by the next frame")
        << QStringList{"f:2?", "e", "r:2 OK", "f:3?", "r:3 OK", "e"} << "ccrrccccc";
    QTest::newRow("next frame before the window ended")
        << QStringList{"f:1?", "r:1 OK", "f:2?", "e"} << "cgrcccccc";
    QTest::newRow("later judgement replaces an earlier one")
        << QStringList{"f:6?", "e", "f:6?", "r:6 OK", "e"} << "ccccccgcc";
}

void TestBoardSim::lights() {
    QFETCH(QStringList, events);
    QFETCH(QString, expected);

    LightPrediction lights;
    for (const QString &event : events) {
        const QByteArray bytes = event.mid(2).toLatin1();
        if (event.startsWith(QLatin1String("f:")))
            lights.frameArrived(bytes);
        else if (event.startsWith(QLatin1String("r:")))
            lights.replySent(bytes);
        else
            lights.windowEnded();
    }
    QCOMPARE(lightsOf(lights), expected);
}

void TestBoardSim::uploadShownInPlainText() {
    BoardSimulator sim;
    QSignalSpy completed(&sim, &BoardSimulator::uploadCompleted);
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    const QByteArray upload = goldenUpload();
    QVERIFY(!upload.isEmpty());
    port.write(upload);
    QVERIFY(port.waitForBytesWritten(2000));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(sim.framesReceived(), 52);
    QCOMPARE(sim.framesRejected(), 0);

    ViewStyle plain;
    const QString view = renderView(sim, plain);
    QVERIFY(!view.contains(QLatin1Char('\x1b')));
    QVERIFY(view.contains(QStringLiteral("page delay: 5 s")));
    QVERIFY(view.contains(QStringLiteral("COM %1").arg(sim.boards().portNumber())));
    for (int page = 1; page <= 6; ++page)
        QVERIFY(view.contains(QStringLiteral("Page %1 (page digit %2)").arg(page).arg(page - 1)));
    QVERIFY(view.contains(QStringLiteral("1 |EFFLUENT DISCHARGE MONITORING   |")));
    QVERIFY(view.contains(QStringLiteral("|CHEMICAL            QUANTITY(MT)|")));
    for (const QString &line : view.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= plain.width, qPrintable(line));

    ViewStyle narrow;
    narrow.width = 80;
    narrow.colour = true;
    const QString coloured = renderView(sim, narrow);
    QVERIFY(coloured.contains(QLatin1Char('\x1b')));
    // Two pages side by side: the six pages take three bands.
    QCOMPARE(coloured.count(QStringLiteral("  +--------------------------------+    +")), 6);

    // A terminal too short for all six shows the page that changed last, and never scrolls.
    ViewStyle shortTerminal;
    shortTerminal.width = 114;
    shortTerminal.height = 30;
    const QStringList lines = renderView(sim, shortTerminal).split(QLatin1Char('\n'));
    QVERIFY(lines.size() - 1 < shortTerminal.height);
    QVERIFY(lines.contains(QStringLiteral("1 |EFFLUENT DISCHARGE MONITORING   |")));
    QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("Page 1 (page digit 0)")));
}

void TestBoardSim::rejectedFramesCountedAndUploadEndsOnlyAfterDelay() {
    BoardSimulator sim;
    QSignalSpy completed(&sim, &BoardSimulator::uploadCompleted);
    QSignalSpy log(&sim, &BoardSimulator::logLine);
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    port.write("*Q\r*Q\r1ED07TSCa~b\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(sim.framesReceived(), 3);
    QCOMPARE(completed.size(), 0);
    QCOMPARE(sim.framesRejected(), 1);
    QVERIFY(log.last().at(0).toString().contains(
        QStringLiteral("REJECTED \"1ED07TSCa~b\\x0d\": row-pair frame for page 7: pages are 0..5")));

    port.write("1EN0612\r*Q\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(sim.bank().pageDelaySeconds(), 12);
    QCOMPARE(sim.uploadsCompleted(), 1);
}

void TestBoardSim::pageShowsMissingPairsAndLongRows() {
    BoardSimulator sim;
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write("2ED03TSC" + QByteArray(40, 'w') + "~short\x01\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(sim.framesReceived(), 1);

    const QStringList lines = renderPage(sim, 3).split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0).trimmed(), QStringLiteral("Page 4 (page digit 3)"));
    QCOMPARE(lines.at(2), QStringLiteral("1 |") + QString(32, QLatin1Char('.')) + '|');
    QCOMPARE(lines.at(4), QStringLiteral("2 |") + QString(32, QLatin1Char('w')) + '>');
    QCOMPARE(lines.at(5), QStringLiteral("  |short.") + QString(26, QLatin1Char(' ')) + '|');
}

void TestBoardSim::commandLine_data() {
    QTest::addColumn<QStringList>("arguments"); // after the program's name
    QTest::addColumn<QString>("expected");      // as outcome() puts it

    // Values the boards cannot take: status 2, nothing runs.
    QTest::newRow("address 9") << QStringList{"--silent", "9"}
                               << R"(exit 2: --silent: "9" is no board address (0 to 8))";
    QTest::newRow("address x") << QStringList{"--wrong", "x"}
                               << R"(exit 2: --wrong: "x" is no board address (0 to 8))";
    QTest::newRow("negative address")
        << QStringList{"--late", "-1"} << R"(exit 2: --late: "-1" is no board address (0 to 8))";
    QTest::newRow("one bad address in a list")
        << QStringList{"--silent", "3, 9"}
        << R"(exit 2: --silent: "9" is no board address (0 to 8))";
    QTest::newRow("one address, two behaviours")
        << QStringList{"--silent", "3", "--wrong", "2,3"}
        << "exit 2: address 3 is both --silent and --wrong";
    QTest::newRow("a bad address before a second behaviour")
        << QStringList{"--wrong", "3", "--late", "9,3"}
        << R"(exit 2: --late: "9" is no board address (0 to 8))";
    QTest::newRow("reply delay over a minute")
        << QStringList{"--reply-delay", "60001"}
        << R"(exit 2: --reply-delay: "60001" is not a number of milliseconds from 0 to 60000)";
    QTest::newRow("negative reply delay")
        << QStringList{"--reply-delay", "-1"}
        << R"(exit 2: --reply-delay: "-1" is not a number of milliseconds from 0 to 60000)";
    QTest::newRow("late delay in words")
        << QStringList{"--late-delay", "soon"}
        << R"(exit 2: --late-delay: "soon" is not a number of milliseconds from 0 to 60000)";
    QTest::newRow("empty late delay")
        << QStringList{"--late-delay", ""}
        << R"(exit 2: --late-delay: "" is not a number of milliseconds from 0 to 60000)";
    QTest::newRow("delay that looks like a place in the message")
        << QStringList{"--reply-delay", "%3"}
        << R"(exit 2: --reply-delay: "%3" is not a number of milliseconds from 0 to 60000)";
    QTest::newRow("argument that is no option")
        << QStringList{"--plain", "foo", "bar"} << R"(exit 2: unexpected argument "foo")";

    QTest::newRow("TCP host that is a name")
        << QStringList{"--tcp", "boards.example:4001"}
        << R"(exit 2: --tcp: "boards.example" is no IP address to listen on)";
    QTest::newRow("TCP port beyond 65535")
        << QStringList{"--tcp", "65536"} << R"(exit 2: --tcp: "65536" is no TCP port (0 to 65535))";
    QTest::newRow("TCP host without a port")
        << QStringList{"--tcp", "127.0.0.1:"} << R"(exit 2: --tcp: "" is no TCP port (0 to 65535))";
    QTest::newRow("Modbus port beyond 65535")
        << QStringList{"--modbus-tcp", "70000"}
        << R"(exit 2: --modbus-tcp: "70000" is no TCP port (0 to 65535))";
    QTest::newRow("TCP with a display.cfg to point at it")
        << QStringList{"--tcp", "4001", "--config", "display.cfg"}
        << "exit 2: --config writes a COM number, and no COM number reaches a TCP port: map one "
           "to it in the console's ports.conf instead";

    // Refused by Qt's parser: status 1.
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "exit 1: Unknown option 'bogus'.";
    QTest::newRow("option without its value")
        << QStringList{"--silent"} << "exit 1: Missing value after '--silent'.";

    // Help and version come before anything else is looked at.
    QTest::newRow("help") << QStringList{"--help", "--silent", "9"} << "builtin 0";
    QTest::newRow("help-all") << QStringList{"--help-all"} << "builtin 0";
    QTest::newRow("version") << QStringList{"-v", "foo"} << "builtin 0";

    // Good command lines.
    QTest::newRow("no options") << QStringList{} << R"(reply 20 ms, late 700 ms, tail " OK")";
    // Every option, the empty reply tail last.
    const QStringList everything =
        QStringLiteral("--silent 3,5 --wrong 4 --late 7 --late 0 --reply-delay 0 --late-delay "
                       "60000 --cycle --once --plain --config run/display.cfg --reply-tail")
            .split(QLatin1Char(' '))
        << QString();
    QTest::newRow("everything at once")
        << everything
        << "0 late, 3 silent, 4 wrong, 5 silent, 7 late, reply 0 ms, late 60000 ms, tail \"\", "
           "cycle, once, plain, config \"run/display.cfg\"";
    QTest::newRow("an address repeated, spaces and empty parts")
        << QStringList{"--silent", "3", "--silent", " 3,,3 , 8", "--reply-tail", " ACK"}
        << R"(3 silent, 8 silent, reply 20 ms, late 700 ms, tail " ACK")";
    QTest::newRow("TCP port alone listens on the loopback address")
        << QStringList{"--tcp", "4001"}
        << R"(reply 20 ms, late 700 ms, tail " OK", tcp 127.0.0.1 port 4001)";
    QTest::newRow("TCP on every interface, asked for")
        << QStringList{"--tcp", "0.0.0.0:4001"}
        << R"(reply 20 ms, late 700 ms, tail " OK", tcp 0.0.0.0 port 4001)";
    QTest::newRow("TCP on IPv6 loopback, any free port")
        << QStringList{"--tcp", "[::1]:0"}
        << R"(reply 20 ms, late 700 ms, tail " OK", tcp ::1 port 0)";
    QTest::newRow("Modbus analyser beside boards on TCP")
        << QStringList{"--tcp", "4001", "--modbus-tcp", "0.0.0.0:0"}
        << R"(reply 20 ms, late 700 ms, tail " OK", tcp 127.0.0.1 port 4001, modbus-tcp 0.0.0.0 port 0)";
    QTest::newRow("empty config path")
        << QStringList{"--config", ""} << R"(reply 20 ms, late 700 ms, tail " OK", config "")";
}

void TestBoardSim::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    QCOMPARE(outcome(SimulatorApp::parse(QStringList{"display-board-sim"} + arguments)), expected);
}

void TestBoardSim::configPointedAt_data() {
    QTest::addColumn<bool>("fifo");     // display.cfg is a FIFO, else a damaged file
    QTest::addColumn<QString>("words"); // in the printed line or the failure
    QTest::newRow("damaged file") << false << "the old file is kept as";
    QTest::newRow("FIFO") << true << "FIFO";
}

void TestBoardSim::configPointedAt() {
    QFETCH(bool, fifo);
    QFETCH(QString, words);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("display.cfg"));
    const QByteArray damaged = "COM3\r\n\"kept\"";
    QVERIFY(fifo ? QProcess::execute(QStringLiteral("mkfifo"), {path}) == 0
                 : writeBytes(path, damaged));
    QString said;
    try {
        said = SimulatorApp::pointConfigAt(path, 120);
    } catch (const Failure &failure) {
        said = failure.text();
    }
    QVERIFY2(said.contains(words), qPrintable(said));
    const QStringList copies =
        QDir(dir.path()).entryList({QStringLiteral("display.cfg.damaged-*")});
    QCOMPARE(copies.size(), fifo ? 0 : 1);
    QCOMPARE(QFileInfo(path).isFile(), !fifo);
    if (!fifo)
        QCOMPARE(fileBytes(dir.filePath(copies.constFirst())), damaged);
}

QTEST_GUILESS_MAIN(TestBoardSim)
#include "tst_boardsim.moc"
