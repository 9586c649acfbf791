#include "modbus.h"

#include "loopback.h"
#include "modbusgateway.h"
#include "ptycable.h"

#include <QElapsedTimer>
#include <QModbusRtuSerialServer>
#include <QModbusTcpServer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <cmath>

namespace {

// "modbus-tcp=10.0.0.5:502; register=30001" as a section's keys.
QMap<QString, QString> keysOf(const QString &text) {
    QMap<QString, QString> keys;
    for (const QString &pair : text.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        keys.insert(pair.section(QLatin1Char('='), 0, 0).trimmed(),
                    pair.section(QLatin1Char('='), 1).trimmed());
    return keys;
}

QString resolveCom(int number, QString *problem) {
    if (number == 33)
        return QStringLiteral("/dev/ttyUSB0");
    *problem = QStringLiteral("no device has that number");
    return {};
}

// What the analysers hold: 241.5 as float32 in each order, integers with the high bit set,
// counting registers up to the last mapped one (input 19, holding 9), and the float nearest 7.12
// (7.119999885559082 as a double) in holding 40004.
void fill(QModbusServer &server) {
    const QList<quint16> input = {0x4371, 0x8000, 0x8000, 0x4371, 0x7143, 0x0080, 0x0080,
                                  0x7143, 0xFFFE, 0xFFFF, 0xFFFE, 0x0001, 0x0002, 13,
                                  14,     15,     16,     17,     18,     19};
    const QList<quint16> holding = {1234, 0x4371, 0x8000, 0x40E3, 0xD70A, 0, 0, 0, 0, 0};
    server.setMap(
        {{QModbusDataUnit::InputRegisters, {QModbusDataUnit::InputRegisters, 0, 20}},
         {QModbusDataUnit::HoldingRegisters, {QModbusDataUnit::HoldingRegisters, 0, 10}}});
    server.setData(QModbusDataUnit(QModbusDataUnit::InputRegisters, 0, input));
    server.setData(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, holding));
}

} // namespace

class TestModbus : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void decoding_data();
    void decoding();
    void sections_data();
    void sections();
    void reading_data();
    void reading();
    void heldSerialLine_data();
    void heldSerialLine();

private:
    QModbusTcpServer m_live;
    QTcpServer m_silent;     // takes connections and never answers
    QTcpServer m_closing;    // closes a connection once a request arrives on it
    QTcpServer m_garbling;   // answers a request with a byte count and no bytes
    ModbusGateway m_gateway; // only unit 1 answers
    HangingListener m_hanging;
    PtyCable m_cable;
    QModbusRtuSerialServer m_rtu;
    quint16 m_livePort = 0;
};

void TestModbus::initTestCase() {
    fill(m_live);
    m_live.setServerAddress(1);
    m_livePort = refusedPort();
    m_live.setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                  QStringLiteral("127.0.0.1"));
    m_live.setConnectionParameter(QModbusDevice::NetworkPortParameter, m_livePort);
    QVERIFY2(m_live.connectDevice(), qPrintable(m_live.errorString()));
    QVERIFY(m_silent.listen(QHostAddress::LocalHost));
    for (QTcpServer *const server : {&m_closing, &m_garbling}) {
        QVERIFY(server->listen(QHostAddress::LocalHost));
        connect(server, &QTcpServer::newConnection, server, [server, this] {
            QTcpSocket *const socket = server->nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, this, server] {
                const QByteArray request = socket->readAll();
                if (server == &m_closing || request.size() < 8)
                    return socket->disconnectFromHost();
                // Its transaction, protocol and unit, a length of 3: the function and a count.
                socket->write(request.first(4) + QByteArray("\0\3", 2) + request.mid(6, 2) + '\4');
            });
        });
    }
    QVERIFY(m_cable.isValid());
    fill(m_rtu);
    m_rtu.setServerAddress(1);
    m_rtu.setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_cable.end(1));
    m_rtu.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    m_rtu.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
    QVERIFY2(m_rtu.connectDevice(), qPrintable(m_rtu.errorString()));
}

void TestModbus::decoding_data() {
    QTest::addColumn<QList<quint16>>("words");
    QTest::addColumn<ModbusType>("type");
    QTest::addColumn<ModbusOrder>("order");
    QTest::addColumn<double>("expected"); // NaN: no value

    using T = ModbusType;
    using O = ModbusOrder;
    const double none = std::nan("");
    QTest::newRow("float32 ABCD") << QList<quint16>{0x4371, 0x8000} << T::Float32 << O::ABCD
                                  << 241.5;
    QTest::newRow("float32 CDAB") << QList<quint16>{0x8000, 0x4371} << T::Float32 << O::CDAB
                                  << 241.5;
    QTest::newRow("float32 BADC") << QList<quint16>{0x7143, 0x0080} << T::Float32 << O::BADC
                                  << 241.5;
    QTest::newRow("float32 DCBA") << QList<quint16>{0x0080, 0x7143} << T::Float32 << O::DCBA
                                  << 241.5;
    QTest::newRow("int32 ABCD negative")
        << QList<quint16>{0xFFFF, 0xFFFE} << T::Int32 << O::ABCD << -2.0;
    QTest::newRow("int32 CDAB negative")
        << QList<quint16>{0xFFFE, 0xFFFF} << T::Int32 << O::CDAB << -2.0;
    QTest::newRow("uint32 ABCD") << QList<quint16>{0x0001, 0x0002} << T::Uint32 << O::ABCD
                                 << 65538.0;
    QTest::newRow("uint32 BADC") << QList<quint16>{0x0100, 0x0200} << T::Uint32 << O::BADC
                                 << 65538.0;
    QTest::newRow("uint32 DCBA") << QList<quint16>{0x0200, 0x0100} << T::Uint32 << O::DCBA
                                 << 65538.0;
    QTest::newRow("uint32 high bit")
        << QList<quint16>{0xFFFF, 0xFFFE} << T::Uint32 << O::ABCD << 4294967294.0;
    QTest::newRow("int16 negative") << QList<quint16>{0xFFFE} << T::Int16 << O::ABCD << -2.0;
    QTest::newRow("uint16 high bit") << QList<quint16>{0xFFFE} << T::Uint16 << O::ABCD << 65534.0;
    QTest::newRow("16 bits keep their order")
        << QList<quint16>{0x0102} << T::Uint16 << O::DCBA << 258.0;
    QTest::newRow("float32 NaN") << QList<quint16>{0x7FC0, 0} << T::Float32 << O::ABCD << none;
    QTest::newRow("float32 infinite") << QList<quint16>{0x7F80, 0} << T::Float32 << O::ABCD << none;
    QTest::newRow("float32 in one word") << QList<quint16>{0x4371} << T::Float32 << O::ABCD << none;
}

void TestModbus::decoding() {
    QFETCH(QList<quint16>, words);
    QFETCH(ModbusType, type);
    QFETCH(ModbusOrder, order);
    QFETCH(double, expected);
    const std::optional<double> value = modbusValue(words, type, order);
    QCOMPARE(value.has_value(), !std::isnan(expected));
    if (value)
        QCOMPARE(*value, expected);
}

void TestModbus::sections_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected"); // the point's source and wire address, or the problem

    const QString tcp = QStringLiteral("modbus-tcp=10.0.0.5:1502;");
    const QString rtu = QStringLiteral("modbus-rtu=/dev/ttyS0;");
    const auto row = [](const char *name, const QString &keys, const char *expected) {
        QTest::newRow(name) << keys << QString::fromUtf8(expected);
    };
    row("input 30001 is address 0", tcp + "register=30001",
        "modbus-tcp 10.0.0.5:1502 unit 1 register 30001 @input 0");
    row("holding 49999 is address 9998", tcp + "register=49999;unit=0",
        "modbus-tcp 10.0.0.5:1502 unit 0 register 49999 @holding 9998");
    row("input 365536 is address 65535", tcp + "register=365536;unit=255",
        "modbus-tcp 10.0.0.5:1502 unit 255 register 365536 @input 65535");
    row("holding 400001 is address 0", tcp + "register=400001", "register 400001 @holding 0");
    row("port 502 unless given", "modbus-tcp=plc.example;register=30001",
        "modbus-tcp plc.example:502 unit 1");
    row("IPv6 address", "modbus-tcp=[::1]:5020;register=30001", "modbus-tcp [::1]:5020 unit 1");
    row("serial defaults", rtu + "register=30001", "modbus-rtu /dev/ttyS0 9600 8N1 unit 1");
    row("COM number through the port map",
        "modbus-rtu=COM 33;baud=19200;parity=even;stop-bits=2;unit=247;register=30010",
        "modbus-rtu /dev/ttyUSB0 19200 8E2 unit 247 register 30010 @input 9");

    row("no connection", "register=30001",
        "give either modbus-tcp = HOST:PORT or modbus-rtu = DEVICE");
    row("both connections", tcp + rtu + "register=30001", "give either");
    row("no register", tcp, "no register (30001 to 39999 input, 40001 to 49999 holding)");
    row("register 50001", tcp + "register=50001",
        "register \"50001\" is neither an input register");
    row("register 29999", tcp + "register=29999", "is neither an input register");
    row("register too large for a number", tcp + "register=99999999999",
        "register \"99999999999\" is neither");
    row("float32 in the last register", tcp + "register=39999;type=float32",
        "register 39999 is the last of its table, and a float32 takes two");
    row("unit 256 over TCP", tcp + "register=30001;unit=256",
        "unit \"256\" is not a whole number from 0 to 255");
    row("unit 0 over RTU", rtu + "register=30001;unit=0", "from 1 to 247");
    row("unit past 32 bits", tcp + "register=30001;unit=4294967297",
        "unit \"4294967297\" is not a whole number");
    row("baud over TCP", tcp + "register=30001;baud=9600",
        "baud is for modbus-rtu, not modbus-tcp");
    row("baud no serial speed", rtu + "register=30001;baud=9601",
        "baud 9601 is not a serial speed");
    row("parity mark", rtu + "register=30001;parity=mark",
        "parity \"mark\" is none of none|even|odd");
    row("three stop bits", rtu + "register=30001;stop-bits=3", "stop-bits \"3\"");
    row("type float64", tcp + "register=30001;type=float64",
        "type \"float64\" is none of int16|uint16|int32|uint32|float32");
    row("order ABDC", tcp + "register=30001;order=ABDC", "order \"ABDC\" is none of");
    row("scale with a decimal comma", tcp + "register=30001;scale=1,5",
        "scale \"1,5\" is not a number");
    row("offset infinite", tcp + "register=30001;offset=inf", "offset \"inf\" is not a number");
    row("port 0", "modbus-tcp=10.0.0.5:0;register=30001",
        "modbus-tcp \"10.0.0.5:0\" is not HOST:PORT");
    row("port 70000", "modbus-tcp=10.0.0.5:70000;register=30001", "is not HOST:PORT");
    row("misspelt key", tcp + "regster=30001", "unknown key \"regster\" in a Modbus value");
    row("COM that opens nothing", "modbus-rtu=COM 97;register=30001",
        "modbus-rtu \"COM 97\" opens no device: no device has that number");
    row("relative device", "modbus-rtu=ttyUSB0;register=30001",
        "modbus-rtu \"ttyUSB0\" is neither a device path nor COM n");
}

void TestModbus::sections() {
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    QString problem;
    const auto point = modbusPoint(QStringLiteral("so2"), keysOf(keys), &problem, resolveCom);
    const QString outcome =
        point ? QStringLiteral("%1 @%2 %3")
                    .arg(point->source(),
                         point->table == ModbusTable::Input ? QStringLiteral("input")
                                                            : QStringLiteral("holding"),
                         QString::number(point->address))
              : problem;
    QVERIFY2(outcome.contains(expected), qPrintable(outcome));
}

void TestModbus::reading_data() {
    QTest::addColumn<QStringList>("sections"); // %live, %silent, %gateway, %hanging, %refused, %rtu
    QTest::addColumn<QStringList>("expected"); // each value, or "!" and part of its problem

    const auto live = [](const char *keys) {
        return QStringLiteral("modbus-tcp=%live;") + QString::fromUtf8(keys);
    };
    QTest::newRow("float32 in each order")
        << QStringList{live("register=30001;type=float32"),
                       live("register=30003;type=float32;order=CDAB"),
                       live("register=30005;type=float32;order=BADC"),
                       live("register=30007;type=float32;order=DCBA")}
        << QStringList{"241.5", "241.5", "241.5", "241.5"};
    QTest::newRow("integers, overlapping")
        << QStringList{live("register=30009;type=int16"), live("register=30009"),
                       live("register=30010;type=int32"), live("register=30010;type=uint32"),
                       live("register=30012;type=uint32;order=CDAB")}
        << QStringList{"-2", "65534", "-2", "4294967294", "131073"};
    QTest::newRow("six digits and holding registers")
        << QStringList{live("register=300001;type=float32"), live("register=40001"),
                       live("register=400002;type=float32")}
        << QStringList{"241.5", "1234", "241.5"};
    QTest::newRow("scale and offset") << QStringList{live("register=40001;scale=0.1;offset=-3"),
                                                     live("register=30009;type=int16;scale=-1.5")}
                                      << QStringList{"120.4", "3"};
    // A float's figure as the analyser meant it, also scaled; an offset figure is a double.
    QTest::newRow("float32 as its shortest text")
        << QStringList{live("register=40004;type=float32"),
                       live("register=40004;type=float32;scale=10"),
                       live("register=40004;type=float32;offset=1")}
        << QStringList{"7.12", "71.2", "8.119999885559082"};
    QTest::newRow("scale past a double") << QStringList{live("register=40001;scale=1e308")}
                                         << QStringList{"!scaled is not a finite number"};
    QTest::newRow("exception inside a batch")
        << QStringList{live("register=30019"), live("register=30020"), live("register=30021"),
                       live("register=40001")}
        << QStringList{"18", "19", "!the analyser refused register 30021: no such register",
                       "1234"};
    QTest::newRow("float32 whose second register is unmapped")
        << QStringList{live("register=30020;type=float32"), live("register=40010;type=int32"),
                       live("register=40001")}
        << QStringList{"!the analyser refused register 30021: no such register",
                       "!the analyser refused register 40011: no such register", "1234"};
    QTest::newRow("float32 whose first register is unmapped")
        << QStringList{live("register=30021;type=float32")}
        << QStringList{"!the analyser refused register 30021: no such register"};
    QTest::newRow("connection closed on a request: Qt's text after the place")
        << QStringList{"modbus-tcp=%closing;register=30001", "modbus-tcp=%closing;register=30005"}
        << QStringList{"!%closing unit 1 register 30001: Reply aborted due to connection closure.",
                       "!%closing unit 1 register 30005: "};
    QTest::newRow("invalid answer: Qt's text after the place")
        << QStringList{"modbus-tcp=%garbling;unit=7;register=40002"}
        << QStringList{"!%garbling unit 7 register 40002: An invalid response has been received."};
    QTest::newRow("dead device beside a live one")
        << QStringList{"modbus-tcp=%silent;register=30001;type=float32",
                       "modbus-tcp=%silent;register=40001", live("register=30001;type=float32")}
        << QStringList{"!unit 1 did not answer within 1 s (asked twice)", "!unit 1 did not",
                       "241.5"};
    // Each silent unit costs its two tries at the same time as the others, and once only.
    QTest::newRow("silent units behind a gateway beside a live one")
        << QStringList{"modbus-tcp=%gateway;unit=2;register=30001",
                       "modbus-tcp=%gateway;unit=3;register=30001",
                       "modbus-tcp=%gateway;unit=4;register=30001",
                       "modbus-tcp=%gateway;unit=2;register=30010",
                       "modbus-tcp=%gateway;unit=1;register=30005"}
        << QStringList{"!unit 2 did not answer", "!unit 3 did not answer", "!unit 4 did not answer",
                       "!unit 2 did not answer", "5"};
    QTest::newRow("connect that never completes")
        << QStringList{"modbus-tcp=%hanging;register=30001", live("register=40001")}
        << QStringList{"!no answer within 1 s (tried twice)", "1234"};
    QTest::newRow("connection refused")
        << QStringList{"modbus-tcp=%refused;register=30001", live("register=40001")}
        << QStringList{"!(tried twice)", "1234"};
    QTest::newRow("over RTU")
        << QStringList{"modbus-rtu=%rtu;baud=19200;parity=even;register=30001;type=float32",
                       "modbus-rtu=%rtu;baud=19200;parity=even;register=40001"}
        << QStringList{"241.5", "1234"};
    QTest::newRow("silent unit on a serial line")
        << QStringList{"modbus-rtu=%rtu;baud=19200;parity=even;register=40001;unit=2",
                       "modbus-rtu=%rtu;baud=19200;parity=even;register=40001"}
        << QStringList{"!unit 2 did not answer", "1234"};
}

void TestModbus::reading() {
    QFETCH(QStringList, sections);
    QFETCH(QStringList, expected);
    if (QTest::currentDataTag() == QLatin1String("connect that never completes") &&
        !m_hanging.hangs())
        QSKIP("this kernel answers a connect to a full listener");

    const auto placed = [this](QString text) {
        const auto at = [](quint16 port) { return QStringLiteral("127.0.0.1:%1").arg(port); };
        return text.replace(QLatin1String("%live"), at(m_livePort))
            .replace(QLatin1String("%silent"), at(m_silent.serverPort()))
            .replace(QLatin1String("%gateway"), at(m_gateway.serverPort()))
            .replace(QLatin1String("%hanging"), at(m_hanging.port))
            .replace(QLatin1String("%refused"), at(refusedPort()))
            .replace(QLatin1String("%rtu"), m_cable.end(0))
            .replace(QLatin1String("%closing"), at(m_closing.serverPort()))
            .replace(QLatin1String("%garbling"), at(m_garbling.serverPort()));
    };
    QList<ModbusPoint> points;
    for (const QString &section : sections) {
        const QString keys = placed(section);
        QString problem;
        const auto point =
            modbusPoint(QStringLiteral("v%1").arg(points.size()), keysOf(keys), &problem);
        QVERIFY2(point, qPrintable(problem));
        points << *point;
    }

    ModbusReader reader;
    QSignalSpy finished(&reader, &ModbusReader::finished);
    const QDateTime before = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(reader.start(points));
    QVERIFY(!reader.start(points.mid(1))); // refused: the first read finishes whole
    QVERIFY(finished.wait(5000));
    // Connections are read side by side: one dead device costs its two tries, not more.
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));

    const auto readings = finished.first().first().value<Readings>();
    QCOMPARE(readings.size(), expected.size());
    for (qsizetype i = 0; i < readings.size(); ++i) {
        const Reading &reading = readings.at(i);
        QCOMPARE(reading.name, points.at(i).name);
        QCOMPARE(reading.source, points.at(i).source());
        QVERIFY(reading.time >= before && reading.time <= QDateTime::currentDateTimeUtc());
        if (expected.at(i).startsWith(QLatin1Char('!'))) {
            QCOMPARE(reading.state, Reading::State::Failed);
            QVERIFY2(reading.problem.contains(placed(expected.at(i).mid(1))),
                     qPrintable(reading.problem));
        } else {
            QVERIFY2(reading.ok(), qPrintable(reading.problem));
            QCOMPARE(numberText(*reading.value, reading.float32), expected.at(i));
        }
    }
}

// A serial line that another program holds (the console's SEND while the timer's run reads the
// same analyser) is waited for, for up to 5 s, before its values count as unavailable.
void TestModbus::heldSerialLine_data() {
    QTest::addColumn<int>("heldMs");
    QTest::addColumn<bool>("read");
    QTest::newRow("released after 1 s: read") << 1000 << true;
    QTest::newRow("held for 7 s: unavailable after 5 s") << 7000 << false;
}

void TestModbus::heldSerialLine() {
    QFETCH(int, heldMs);
    QFETCH(bool, read);
    QSerialPort other(m_cable.end(0));
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
    QTimer::singleShot(heldMs, &other, &QSerialPort::close);
    QString problem;
    const auto point =
        modbusPoint(QStringLiteral("v"),
                    keysOf(QStringLiteral("modbus-rtu=%1;baud=19200;parity=even;register=40001")
                               .arg(m_cable.end(0))),
                    &problem);
    QVERIFY2(point, qPrintable(problem));

    ModbusReader reader;
    QSignalSpy finished(&reader, &ModbusReader::finished);
    QElapsedTimer clock;
    clock.start();
    reader.start({*point});
    QVERIFY(finished.wait(8000));
    const Reading reading = finished.first().first().value<Readings>().value(0);
    QCOMPARE(reading.ok(), read);
    QVERIFY2(clock.elapsed() >= qMin(heldMs, 4500) && clock.elapsed() < 6000,
             qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestModbus)
#include "tst_modbus.moc"
