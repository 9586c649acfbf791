#include "boardlink.h"
#include "boardrig.h"
#include "failure.h"
#include "portfailure.h"
#include "sendrec.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(Light)

namespace {

QString failureOf(const std::function<void()> &operation) {
    try {
        operation();
    } catch (const Failure &failure) {
        return failure.text();
    }
    return {};
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void devicePath_data();
    void devicePath();
    void openFailureTexts_data();
    void openFailureTexts();
    void judge_data();
    void judge();
    void refusals();
    void openAndAlreadyOpen();
    void sameDeviceTwiceIsInUse();
    void lineSettings();
    void vanishedDeviceFailsOnce();
    void exchangeWaitsOneFullWindow();
    void exchangeShowsAndJudges_data();
    void exchangeShowsAndJudges();
    void lateReplyJudgedByTheNextExchange();
};

void TestLink::devicePath_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");

    QTest::newRow("port 0 has no device") << 0 << QString();
    QTest::newRow("negative port from display.cfg") << -5 << QString();
    QTest::newRow("COM 1 first serial") << 1 << QStringLiteral("/dev/ttyS0");
    QTest::newRow("COM 32 last serial") << 32 << QStringLiteral("/dev/ttyS31");
    QTest::newRow("COM 33 first USB") << 33 << QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("COM 64 last USB") << 64 << QStringLiteral("/dev/ttyUSB31");
    QTest::newRow("COM 65 first ACM") << 65 << QStringLiteral("/dev/ttyACM0");
    QTest::newRow("COM 96 last ACM") << 96 << QStringLiteral("/dev/ttyACM31");
    QTest::newRow("COM 97 none") << 97 << QString();
    QTest::newRow("COM 99 none") << 99 << QString();
    QTest::newRow("COM 100 first pseudo-terminal") << 100 << QStringLiteral("/dev/pts/0");
    QTest::newRow("COM 250 last pseudo-terminal") << 250 << QStringLiteral("/dev/pts/150");
    QTest::newRow("port 251 from display.cfg") << 251 << QString();
    QTest::newRow("port 32767 from display.cfg") << 32767 << QString();
}

void TestLink::devicePath() {
    QFETCH(int, port);
    QFETCH(QString, device);
    QCOMPARE(devicePathForPort(port), device);
}

void TestLink::openFailureTexts_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QString>("text");

    QTest::newRow("no such device")
        << 33 << int(QSerialPort::DeviceNotFoundError)
        << QStringLiteral("No such file or directory")
        << QStringLiteral("Cannot open /dev/ttyUSB0 (COM 33): no such port (No such file or "
                          "directory).");
    QTest::newRow("permission denied names dialout")
        << 1 << int(QSerialPort::PermissionError) << QStringLiteral("Permission denied")
        << QStringLiteral("Cannot open /dev/ttyS0 (COM 1): permission denied (Permission "
                          "denied). The user must be allowed to use serial devices, for example "
                          "as a member of the dialout group.");
    QTest::newRow("lock file held is in use")
        << 34 << int(QSerialPort::PermissionError)
        << QStringLiteral("Permission error while locking the device")
        << QStringLiteral("Cannot open /dev/ttyUSB1 (COM 34): the port is in use by another "
                          "program (Permission error while locking the device).");
    QTest::newRow("busy device is in use")
        << 65 << int(QSerialPort::PermissionError) << QStringLiteral("Device or resource busy")
        << QStringLiteral("Cannot open /dev/ttyACM0 (COM 65): the port is in use by another "
                          "program (Device or resource busy).");
    QTest::newRow("already open here")
        << 100 << int(QSerialPort::OpenError) << QString()
        << QStringLiteral("Cannot open /dev/pts/0 (COM 100): the port is already open in this "
                          "console.");
    QTest::newRow("other failure keeps the platform's words")
        << 2 << int(QSerialPort::ResourceError) << QStringLiteral("Input/output error")
        << QStringLiteral("Cannot open /dev/ttyS1 (COM 2): Input/output error.");
}

void TestLink::openFailureTexts() {
    QFETCH(int, port);
    QFETCH(int, error);
    QFETCH(QString, platform);
    QFETCH(QString, text);
    QCOMPARE(openFailureText(port, QSerialPort::SerialPortError(error), platform), text);
}

void TestLink::judge_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("judged");
    QTest::addColumn<int>("address");
    QTest::addColumn<Light>("colour");

    QTest::newRow("probe 3 answered '3 OK': green")
        << QByteArray("3?\r") << QByteArray("3 OK") << true << 3 << Light::Green;
    QTest::newRow("probe 3 answered 'OK': red")
        << QByteArray("3?\r") << QByteArray("OK") << true << 3 << Light::Red;
    QTest::newRow("probe 0 answered 'OK': green (non-digit counts 0)")
        << QByteArray("0?\r") << QByteArray("OK") << true << 0 << Light::Green;
    QTest::newRow("probe 0 with no reply: red")
        << QByteArray("0?\r") << QByteArray() << true << 0 << Light::Red;
    QTest::newRow("probe 5 with no reply: red")
        << QByteArray("5?\r") << QByteArray() << true << 5 << Light::Red;
    QTest::newRow("bracket frame with a reply: no light")
        << QByteArray("*Q\r") << QByteArray("1 OK") << false << 0 << Light::Red;
    QTest::newRow("bracket frame with no reply: no light")
        << QByteArray("*Q\r") << QByteArray() << false << 0 << Light::Red;
    QTest::newRow("row pair 2 answered '2': green")
        << QByteArray("2ED00TSC~\r") << QByteArray("2") << true << 2 << Light::Green;
    QTest::newRow("row pair 2 answered '12': red")
        << QByteArray("2ED00TSC~\r") << QByteArray("12") << true << 2 << Light::Red;
    QTest::newRow("page delay judged against board 1")
        << QByteArray("1EN0605\r") << QByteArray("1") << true << 1 << Light::Green;
    QTest::newRow("address 8 answered '8': green")
        << QByteArray("8?\r") << QByteArray("8\r\n") << true << 8 << Light::Green;
    QTest::newRow("frame beginning with 9: no light")
        << QByteArray("9?\r") << QByteArray("9") << false << 0 << Light::Red;
    QTest::newRow("empty frame: no light")
        << QByteArray() << QByteArray("1") << false << 0 << Light::Red;
    QTest::newRow("rest of the reply ignored")
        << QByteArray("4?\r") << QByteArray("4 anything at all") << true << 4 << Light::Green;
}

void TestLink::judge() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    QFETCH(bool, judged);
    QFETCH(int, address);
    QFETCH(Light, colour);

    const std::optional<Judgement> judgement = StatusJudge::judge(frame, reply);
    QCOMPARE(judgement.has_value(), judged);
    if (judged)
        QCOMPARE(*judgement, (Judgement{address, colour}));
}

void TestLink::refusals() {
    BoardLink link;
    QCOMPARE(failureOf([&] { link.setPortNumber(0); }),
             QStringLiteral("Cannot use COM 0: no port selected. Choose a port from the list."));
    QVERIFY(!failureOf([&] { link.setPortNumber(-1); }).isEmpty());

    link.setPortNumber(98);
    QCOMPARE(failureOf([&] { link.open(); }), QStringLiteral("Cannot open COM 98: no such port."));
    link.setPortNumber(300);
    QCOMPARE(failureOf([&] { link.open(); }), QStringLiteral("Cannot open COM 300: no such port."));
    link.setPortNumber(64); // /dev/ttyUSB31: not on this machine
    QVERIFY(failureOf([&] {
                link.open();
            }).startsWith(QStringLiteral("Cannot open /dev/ttyUSB31 (COM 64): no such port")));
    QVERIFY(!link.isOpen());

    QCOMPARE(failureOf([&] { link.write("*Q\r"); }),
             QStringLiteral("Cannot write to /dev/ttyUSB31 (COM 64): the port is not open."));
    QCOMPARE(failureOf([&] { link.readAll(); }),
             QStringLiteral("Cannot read from /dev/ttyUSB31 (COM 64): the port is not open."));
}

void TestLink::openAndAlreadyOpen() {
    PtyBoards pty;
    if (pty.portNumber() < 0)
        QSKIP("pseudo-terminal beyond the console's port table");

    BoardLink link;
    link.setPortNumber(pty.portNumber());
    link.open();
    QVERIFY(link.isOpen());
    const QString label = QStringLiteral("%1 (COM %2)").arg(pty.devicePath()).arg(pty.portNumber());

    QCOMPARE(
        failureOf([&] { link.open(); }),
        QStringLiteral("Cannot open %1: the port is already open in this console.").arg(label));
    // Refused while open, even to the same number.
    QCOMPARE(failureOf([&] { link.setPortNumber(pty.portNumber()); }),
             QStringLiteral("Cannot change the port to COM %1: %2 is already open (another job or "
                            "the receive monitor holds it).")
                 .arg(pty.portNumber())
                 .arg(label));
    QCOMPARE(link.readAll(), QByteArray());
    link.close();
    QVERIFY(!link.isOpen());
    link.setPortNumber(pty.portNumber());
}

void TestLink::sameDeviceTwiceIsInUse() {
    PtyBoards pty;
    if (pty.portNumber() < 0)
        QSKIP("pseudo-terminal beyond the console's port table");
    BoardLink first;
    BoardLink second;
    first.setPortNumber(pty.portNumber());
    second.setPortNumber(pty.portNumber());
    first.open();
    const QString text = failureOf([&] { second.open(); });
    QVERIFY2(text.contains(QLatin1String("in use by another program")), qPrintable(text));
    QVERIFY(text.contains(pty.devicePath()));
    first.close();
    second.open();
    QVERIFY(second.isOpen());
}

void TestLink::lineSettings() {
    BoardLink link;
    auto *port = link.findChild<QSerialPort *>();
    QVERIFY(port);
    QCOMPARE(port->baudRate(), 9600);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
    QCOMPARE(port->stopBits(), QSerialPort::OneStop);
    QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
}

void TestLink::vanishedDeviceFailsOnce() {
    PtyBoards boards;
    if (boards.portNumber() < 0)
        QSKIP("pseudo-terminal beyond the console's port table");
    BoardLink link;
    QSignalSpy failed(&link, &BoardLink::failed);
    link.setPortNumber(boards.portNumber());
    link.open();

    boards.vanish();
    QTRY_COMPARE(failed.size(), 1);
    // Closed on the first error: no flood of errors, no second signal.
    QVERIFY(!link.isOpen());
    QTest::qWait(100);
    QCOMPARE(failed.size(), 1);
    const QString text = failed.front().front().toString();
    QVERIFY2(text.startsWith(QStringLiteral("The connection to %1 (COM %2) failed: ")
                                 .arg(boards.devicePath())
                                 .arg(boards.portNumber())),
             qPrintable(text));
    // The next read or write raises the same text.
    QCOMPARE(failureOf([&] { link.readAll(); }), text);
    QCOMPARE(failureOf([&] { link.write("*Q\r"); }), text);
}

void TestLink::exchangeWaitsOneFullWindow() {
    BoardRig rig(SendRec::ReplyWindowMs);
    if (!rig.usable())
        QSKIP("pseudo-terminal beyond the console's port table");
    QCOMPARE(rig.exchange.tmrTout()->timerType(), Qt::PreciseTimer);
    rig.link.setPortNumber(rig.boards.portNumber());
    rig.link.open();

    // The board answers after 20 ms; the window still lasts its full 500 ms.
    rig.exchange.pendingFrame = "3?\r";
    QElapsedTimer clock;
    clock.start();
    rig.exchange.sendRec();
    const qint64 elapsedNs = clock.nsecsElapsed();
    QVERIFY2(elapsedNs >= 500'000'000, qPrintable(QString::number(elapsedNs)));
    QVERIFY(rig.exchange.replyWindowElapsed);
    QVERIFY(!rig.exchange.tmrTout()->isActive());
    QCOMPARE(rig.exchange.replyText, QByteArray("3 OK"));
}

void TestLink::exchangeShowsAndJudges_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("behaviour"); // of the addressed board
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<QString>("lights"); // 0..8 afterwards

    QTest::newRow("probe 3 answered") << QByteArray("3?\r") << int(BoardBehaviour::Present)
                                      << QByteArray("3 OK") << QStringLiteral("CCCGCCCCC");
    QTest::newRow("probe 3 answered wrongly") << QByteArray("3?\r") << int(BoardBehaviour::Wrong)
                                              << QByteArray("4 OK") << QStringLiteral("CCCRCCCCC");
    QTest::newRow("probe 5 silent: line cleared")
        << QByteArray("5?\r") << int(BoardBehaviour::Silent) << QByteArray()
        << QStringLiteral("CCCCCRCCC");
    QTest::newRow("bracket frame: no light") << QByteArray("*Q\r") << int(BoardBehaviour::Present)
                                             << QByteArray() << QStringLiteral("CCCCCCCCC");
    QTest::newRow("row pair 2 answered")
        << QByteArray("2ED00TSCa~b\r") << int(BoardBehaviour::Present) << QByteArray("2 OK")
        << QStringLiteral("CCGCCCCCC");
}

void TestLink::exchangeShowsAndJudges() {
    QFETCH(QByteArray, frame);
    QFETCH(int, behaviour);
    QFETCH(QByteArray, shown);
    QFETCH(QString, lights);

    BoardRig rig;
    if (!rig.usable())
        QSKIP("pseudo-terminal beyond the console's port table");
    for (int address = 0; address <= 8; ++address)
        rig.boards.bank().setBehaviour(address, BoardBehaviour(behaviour));
    rig.console.receiveLine = "left from before";
    rig.link.setPortNumber(rig.boards.portNumber());
    rig.link.open();
    rig.exchange.pendingFrame = frame;
    rig.exchange.sendRec();

    QCOMPARE(rig.boards.allBytes(), frame);
    QCOMPARE(rig.exchange.replyText, shown);
    QCOMPARE(rig.console.receiveLine, shown);
    QString seen;
    for (Light light : rig.console.lights)
        seen += light == Light::Green ? u'G' : light == Light::Red ? u'R' : u'C';
    QCOMPARE(seen, lights);
}

void TestLink::lateReplyJudgedByTheNextExchange() {
    BoardRig rig;
    if (!rig.usable())
        QSKIP("pseudo-terminal beyond the console's port table");
    rig.boards.bank().setBehaviour(4, BoardBehaviour::Late);
    rig.boards.bank().setBehaviour(5, BoardBehaviour::Silent);
    rig.link.setPortNumber(rig.boards.portNumber());
    rig.link.open();
    rig.exchange.pendingFrame = "4?\r";
    rig.exchange.sendRec();
    QCOMPARE(rig.console.lights.at(4), Light::Red);
    rig.exchange.pendingFrame = "5?\r";
    rig.exchange.sendRec();
    QCOMPARE(rig.exchange.replyText, QByteArray("4 OK"));
    QCOMPARE(rig.console.lights.at(5), Light::Red);
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
