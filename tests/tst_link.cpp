#include "boardlink.h"
#include "boardrig.h"
#include "failure.h"
#include "frameexchange.h"
#include "portfailure.h"
#include "porttarget.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PortTarget)

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
    void portTargets_data();
    void portTargets();
    void tcpEndpoints_data();
    void tcpEndpoints();
    void openFailureTexts_data();
    void openFailureTexts();
    void judge_data();
    void judge();
    void refusals();
    void openAndAlreadyOpen();
    void sameDeviceTwiceIsInUse();
    void lineSettingsOnTheDevice();
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

void TestLink::portTargets_data() {
    QTest::addColumn<PortTarget>("target");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("label");

    PortMap map;
    map.insert(33, QStringLiteral("/dev/serial/by-id/usb-adapter-port0"));
    map.insert(97, QStringLiteral("/dev/ttyUSB5"));
    QTest::newRow("COM 33 from the table")
        << PortTarget::number(33) << QStringLiteral("/dev/ttyUSB0")
        << QStringLiteral("/dev/ttyUSB0 (COM 33)");
    QTest::newRow("COM 33 mapped elsewhere")
        << PortTarget::number(33, map) << QStringLiteral("/dev/serial/by-id/usb-adapter-port0")
        << QStringLiteral("/dev/serial/by-id/usb-adapter-port0 (COM 33)");
    QTest::newRow("COM 97 given a device by the map")
        << PortTarget::number(97, map) << QStringLiteral("/dev/ttyUSB5")
        << QStringLiteral("/dev/ttyUSB5 (COM 97)");
    QTest::newRow("COM 34 not in the map keeps the table")
        << PortTarget::number(34, map) << QStringLiteral("/dev/ttyUSB1")
        << QStringLiteral("/dev/ttyUSB1 (COM 34)");
    QTest::newRow("COM 98 nowhere")
        << PortTarget::number(98, map) << QString() << QStringLiteral("COM 98");
    QTest::newRow("device named outright")
        << PortTarget::device(QStringLiteral("/tmp/boards")) << QStringLiteral("/tmp/boards")
        << QStringLiteral("/tmp/boards");
}

void TestLink::portTargets() {
    QFETCH(PortTarget, target);
    QFETCH(QString, device);
    QFETCH(QString, label);
    QCOMPARE(target.devicePath(), device);
    QCOMPARE(target.label(), label);
}

void TestLink::tcpEndpoints_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("endpoint"); // empty: not a usable address

    const auto row = [](const char *name, const char *device, bool tcp, const char *endpoint) {
        QTest::newRow(name) << QString::fromUtf8(device) << tcp << QString::fromUtf8(endpoint);
    };
    row("IPv4 address", "tcp://10.1.2.3:4001", true, "10.1.2.3:4001");
    row("host name", "tcp://gate-server.plant:7000", true, "gate-server.plant:7000");
    row("scheme in capitals", "TCP://127.0.0.1:4001", true, "127.0.0.1:4001");
    row("IPv6 in brackets", "tcp://[::1]:4001", true, "[::1]:4001");
    row("trailing slash", "tcp://127.0.0.1:4001/", true, "127.0.0.1:4001");
    row("highest port", "tcp://127.0.0.1:65535", true, "127.0.0.1:65535");
    row("no port", "tcp://127.0.0.1", true, "");
    row("port 0", "tcp://127.0.0.1:0", true, "");
    row("port above 65535", "tcp://127.0.0.1:65536", true, "");
    row("port not a number", "tcp://127.0.0.1:x1", true, "");
    row("no host", "tcp://:4001", true, "");
    row("a path", "tcp://127.0.0.1:4001/boards", true, "");
    row("a user", "tcp://op@127.0.0.1:4001", true, "");
    row("a query", "tcp://127.0.0.1:4001?x=1", true, "");
    row("serial device", "/dev/ttyUSB0", false, "");
    row("other scheme", "udp://127.0.0.1:4001", false, "");
}

void TestLink::tcpEndpoints() {
    QFETCH(QString, device);
    QFETCH(bool, tcp);
    QFETCH(QString, endpoint);

    QCOMPARE(isTcpDevice(device), tcp);
    const std::optional<TcpEndpoint> parsed = tcpEndpoint(device);
    QCOMPARE(parsed ? parsed->label() : QString(), endpoint);
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
    QCOMPARE(
        openFailureText(PortTarget::number(port), QSerialPort::SerialPortError(error), platform),
        text);
}

void TestLink::judge_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("judged");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("answered");

    QTest::newRow("probe 3 answered '3 OK': green")
        << QByteArray("3?\r") << QByteArray("3 OK") << true << 3 << true;
    QTest::newRow("probe 3 answered 'OK': red")
        << QByteArray("3?\r") << QByteArray("OK") << true << 3 << false;
    QTest::newRow("probe 0 answered 'OK': green (non-digit counts 0)")
        << QByteArray("0?\r") << QByteArray("OK") << true << 0 << true;
    QTest::newRow("probe 0 with no reply: red")
        << QByteArray("0?\r") << QByteArray() << true << 0 << false;
    QTest::newRow("probe 5 with no reply: red")
        << QByteArray("5?\r") << QByteArray() << true << 5 << false;
    QTest::newRow("bracket frame with a reply: no light")
        << QByteArray("*Q\r") << QByteArray("1 OK") << false << 0 << false;
    QTest::newRow("bracket frame with no reply: no light")
        << QByteArray("*Q\r") << QByteArray() << false << 0 << false;
    QTest::newRow("row pair 2 answered '2': green")
        << QByteArray("2ED00TSC~\r") << QByteArray("2") << true << 2 << true;
    QTest::newRow("row pair 2 answered '12': red")
        << QByteArray("2ED00TSC~\r") << QByteArray("12") << true << 2 << false;
    QTest::newRow("page delay judged against board 1")
        << QByteArray("1EN0605\r") << QByteArray("1") << true << 1 << true;
    QTest::newRow("address 8 answered '8': green")
        << QByteArray("8?\r") << QByteArray("8\r\n") << true << 8 << true;
    QTest::newRow("frame beginning with 9: no light")
        << QByteArray("9?\r") << QByteArray("9") << false << 0 << false;
    QTest::newRow("empty frame: no light")
        << QByteArray() << QByteArray("1") << false << 0 << false;
    QTest::newRow("rest of the reply ignored")
        << QByteArray("4?\r") << QByteArray("4 anything at all") << true << 4 << true;
}

void TestLink::judge() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    QFETCH(bool, judged);
    QFETCH(int, address);
    QFETCH(bool, answered);

    const std::optional<Judgement> judgement = StatusJudge::judge(frame, reply);
    QCOMPARE(judgement.has_value(), judged);
    if (judged)
        QCOMPARE(*judgement, (Judgement{address, answered}));
}

void TestLink::refusals() {
    BoardLink link;
    QCOMPARE(failureOf([&] { link.setPort(PortTarget::number(0)); }),
             QStringLiteral("Cannot use COM 0: no port selected. Choose a port from the list."));
    QVERIFY(!failureOf([&] { link.setPort(PortTarget::number(-1)); }).isEmpty());

    link.setPort(PortTarget::number(98));
    QCOMPARE(failureOf([&] { link.open(); }), QStringLiteral("Cannot open COM 98: no such port."));
    link.setPort(PortTarget::number(300));
    QCOMPARE(failureOf([&] { link.open(); }), QStringLiteral("Cannot open COM 300: no such port."));
    link.setPort(PortTarget::number(64)); // /dev/ttyUSB31: not on this machine
    QVERIFY(failureOf([&] {
                link.open();
            }).startsWith(QStringLiteral("Cannot open /dev/ttyUSB31 (COM 64): no such port")));
    QVERIFY(!link.isOpen());

    QCOMPARE(failureOf([&] { link.write("*Q\r"); }),
             QStringLiteral("Cannot write to /dev/ttyUSB31 (COM 64): the port is not open."));
    QCOMPARE(failureOf([&] { link.read(); }),
             QStringLiteral("Cannot read from /dev/ttyUSB31 (COM 64): the port is not open."));
}

void TestLink::openAndAlreadyOpen() {
    PtyBoards pty;
    REQUIRE_BOARDS(pty);

    BoardLink link;
    link.setPort(PortTarget::device(pty.devicePath()));
    link.open();
    QVERIFY(link.isOpen());

    QCOMPARE(failureOf([&] { link.open(); }),
             QStringLiteral("Cannot open %1: the port is already open in this console.")
                 .arg(pty.devicePath()));
    // Refused while open, even to the same port.
    QCOMPARE(failureOf([&] { link.setPort(PortTarget::device(pty.devicePath())); }),
             QStringLiteral("Cannot change the port to %1: %1 is already open (another job or "
                            "the receive monitor holds it).")
                 .arg(pty.devicePath()));
    QCOMPARE(failureOf([&] { link.setPort(PortTarget::number(7)); }),
             QStringLiteral("Cannot change the port to COM 7: %1 is already open (another job or "
                            "the receive monitor holds it).")
                 .arg(pty.devicePath()));
    QCOMPARE(link.read().bytes, QByteArray());
    link.close();
    QVERIFY(!link.isOpen());
    link.setPort(PortTarget::number(7));
}

void TestLink::sameDeviceTwiceIsInUse() {
    PtyBoards pty;
    REQUIRE_BOARDS(pty);
    BoardLink first;
    BoardLink second;
    first.setPort(PortTarget::device(pty.devicePath()));
    second.setPort(PortTarget::device(pty.devicePath()));
    first.open();
    const QString text = failureOf([&] { second.open(); });
    QVERIFY2(text.contains(QLatin1String("in use by another program")), qPrintable(text));
    QVERIFY(text.contains(pty.devicePath()));
    first.close();
    second.open();
    QVERIFY(second.isOpen());
}

void TestLink::lineSettingsOnTheDevice() {
    // What the boards' end of the line is set to, read from the device itself.
    PtyBoards pty;
    REQUIRE_BOARDS(pty);
    BoardLink link;
    link.setPort(PortTarget::device(pty.devicePath()));
    link.open();

    const int fd = ::open(qPrintable(pty.devicePath()), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios settings{};
    const int got = ::tcgetattr(fd, &settings);
    ::close(fd);
    QCOMPARE(got, 0);
    QCOMPARE(cfgetospeed(&settings), speed_t(B9600));
    QCOMPARE(cfgetispeed(&settings), speed_t(B9600));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & PARENB, tcflag_t(0));  // no parity
    QCOMPARE(settings.c_cflag & CSTOPB, tcflag_t(0));  // one stop bit
    QCOMPARE(settings.c_cflag & CRTSCTS, tcflag_t(0)); // no hardware flow control
    QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));
    // Raw: a CR in a frame reaches the boards as a CR, and nothing is echoed back.
    QCOMPARE(settings.c_iflag & (ICRNL | INLCR | IGNCR), tcflag_t(0));
    QCOMPARE(settings.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(settings.c_lflag & (ICANON | ECHO), tcflag_t(0));
}

void TestLink::vanishedDeviceFailsOnce() {
    PtyBoards boards;
    REQUIRE_BOARDS(boards);
    BoardLink link;
    QSignalSpy failed(&link, &BoardLink::failed);
    link.setPort(PortTarget::device(boards.devicePath()));
    link.open();

    boards.vanish();
    QTRY_COMPARE(failed.size(), 1);
    // Closed on the first error: no flood of errors, no second signal.
    QVERIFY(!link.isOpen());
    QTest::qWait(100);
    QCOMPARE(failed.size(), 1);
    const QString text = failed.front().front().toString();
    QVERIFY2(
        text.startsWith(QStringLiteral("The connection to %1 failed: ").arg(boards.devicePath())),
        qPrintable(text));
    // The next read or write raises the same text.
    QCOMPARE(failureOf([&] { link.read(); }), text);
    QCOMPARE(failureOf([&] { link.write("*Q\r"); }), text);
}

void TestLink::exchangeWaitsOneFullWindow() {
    BoardRig rig(FrameExchange::ReplyWindowMs);
    REQUIRE_BOARDS(rig.boards);
    rig.link().setPort(rig.port());
    rig.link().open();

    // The board answers after 20 ms; the window still lasts its full 500 ms.
    QElapsedTimer clock;
    clock.start();
    const ExchangeResult exchanged = rig.exchangeOnce("3?\r");
    const qint64 elapsedNs = clock.nsecsElapsed();
    QVERIFY2(elapsedNs >= 500'000'000, qPrintable(QString::number(elapsedNs)));
    QVERIFY(!rig.replyWindow()->isActive());
    QCOMPARE(exchanged, (ExchangeResult{"3?\r", "3 OK", Judgement{3, true}}));
}

void TestLink::exchangeShowsAndJudges_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("behaviour"); // of the addressed board
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("judged"); // -1: no light, 0: no answer, 1: answered

    QTest::newRow("probe 3 answered")
        << QByteArray("3?\r") << int(BoardBehaviour::Present) << QByteArray("3 OK") << 1;
    QTest::newRow("probe 3 answered wrongly")
        << QByteArray("3?\r") << int(BoardBehaviour::Wrong) << QByteArray("4 OK") << 0;
    QTest::newRow("probe 5 silent")
        << QByteArray("5?\r") << int(BoardBehaviour::Silent) << QByteArray() << 0;
    QTest::newRow("bracket frame: no light")
        << QByteArray("*Q\r") << int(BoardBehaviour::Present) << QByteArray() << -1;
    QTest::newRow("row pair 2 answered")
        << QByteArray("2ED00TSCa~b\r") << int(BoardBehaviour::Present) << QByteArray("2 OK") << 1;
}

void TestLink::exchangeShowsAndJudges() {
    QFETCH(QByteArray, frame);
    QFETCH(int, behaviour);
    QFETCH(QByteArray, reply);
    QFETCH(int, judged);

    BoardRig rig;
    REQUIRE_BOARDS(rig.boards);
    for (int address = 0; address <= BoardAddress::Highest; ++address)
        rig.boards.bank().setBehaviour(address, BoardBehaviour(behaviour));
    rig.link().setPort(rig.port());
    rig.link().open();
    const ExchangeResult exchanged = rig.exchangeOnce(frame);

    QCOMPARE(rig.boards.allBytes(), frame);
    QCOMPARE(exchanged.frame, frame);
    QCOMPARE(exchanged.reply, reply);
    QCOMPARE(exchanged.judgement.has_value(), judged >= 0);
    if (exchanged.judgement)
        QCOMPARE(exchanged.judgement->answered, judged == 1);
}

void TestLink::lateReplyJudgedByTheNextExchange() {
    BoardRig rig;
    REQUIRE_BOARDS(rig.boards);
    rig.boards.bank().setBehaviour(4, BoardBehaviour::Late);
    rig.boards.bank().setBehaviour(5, BoardBehaviour::Silent);
    rig.link().setPort(rig.port());
    rig.link().open();
    QCOMPARE(rig.exchangeOnce("4?\r").judgement, (Judgement{4, false}));
    const ExchangeResult next = rig.exchangeOnce("5?\r");
    QCOMPARE(next.reply, QByteArray("4 OK"));
    QCOMPARE(next.judgement, (Judgement{5, false}));
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
