#include "modbus.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QModbusRtuSerialClient>
#include <QModbusTcpClient>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

const QString TcpKey = QStringLiteral("modbus-tcp");
// How long a serial line that another program holds is waited for, tried again this often.
constexpr int HeldLineWaitMs = 5000;
constexpr int HeldLineRetryMs = 250;
const QString RtuKey = QStringLiteral("modbus-rtu");
const QString BaudKey = QStringLiteral("baud");
const QString ParityKey = QStringLiteral("parity");
const QString StopBitsKey = QStringLiteral("stop-bits");
const QString UnitKey = QStringLiteral("unit");
const QString RegisterKey = QStringLiteral("register");
const QString TypeKey = QStringLiteral("type");
const QString OrderKey = QStringLiteral("order");
const QString ScaleKey = QStringLiteral("scale");
const QString OffsetKey = QStringLiteral("offset");

const QStringList TypeNames = {QStringLiteral("int16"), QStringLiteral("uint16"),
                               QStringLiteral("int32"), QStringLiteral("uint32"),
                               QStringLiteral("float32")};
const QStringList OrderNames = {QStringLiteral("ABCD"), QStringLiteral("CDAB"),
                                QStringLiteral("BADC"), QStringLiteral("DCBA")};
const QStringList ParityNames = {QStringLiteral("none"), QStringLiteral("even"),
                                 QStringLiteral("odd")};
const int Bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A section that cannot be read: what is wrong with it.
struct BadSection {
    QString text;
};

QString quote(const QString &text) {
    QString shown = text.left(40);
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text.size() > 40 ? shown + QStringLiteral("…") : shown;
}

int whole(const QMap<QString, QString> &keys, const QString &key, int low, int high, int fallback) {
    if (!keys.contains(key))
        return fallback;
    bool ok = false;
    const QString text = keys.value(key).trimmed();
    const int number = text.toInt(&ok); // refuses what does not fit
    if (!ok || number < low || number > high)
        throw BadSection{QStringLiteral("%1 \"%2\" is not a whole number from %3 to %4")
                             .arg(key, quote(text), QString::number(low), QString::number(high))};
    return number;
}

double real(const QMap<QString, QString> &keys, const QString &key, double fallback) {
    if (!keys.contains(key))
        return fallback;
    bool ok = false;
    const QString text = keys.value(key).trimmed();
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        throw BadSection{QStringLiteral("%1 \"%2\" is not a number").arg(key, quote(text))};
    return number;
}

int choice(const QMap<QString, QString> &keys, const QString &key, const QStringList &names,
           int fallback) {
    if (!keys.contains(key))
        return fallback;
    const QString text = keys.value(key).trimmed();
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(text, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    throw BadSection{QStringLiteral("%1 \"%2\" is none of %3")
                         .arg(key, quote(text), names.join(QLatin1Char('|')))};
}

// "10.1.2.3:502", "plc.example:1502", "[::1]:502"; port 502 when none is given.
void readTcp(const QString &text, ModbusConnection &connection) {
    static const QRegularExpression form(
        QStringLiteral(R"(^(?:\[([0-9A-Fa-f:.]+)\]|([^\s:\[\]/]+))(?::(\d{1,5}))?$)"));
    const auto match = form.match(text);
    bool ok = match.hasMatch();
    int port = 502;
    if (ok && match.hasCaptured(3))
        port = match.captured(3).toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        throw BadSection{QStringLiteral("%1 \"%2\" is not HOST:PORT (a port from 1 to 65535)")
                             .arg(TcpKey, quote(text))};
    connection.kind = ModbusConnection::Kind::Tcp;
    connection.host = match.hasCaptured(1) ? match.captured(1) : match.captured(2);
    connection.port = quint16(port);
}

void readRtu(const QString &text, const QMap<QString, QString> &keys,
             const ComPortResolver &resolveCom, ModbusConnection &connection) {
    static const QRegularExpression com(QStringLiteral(R"(^COM\s*(\d+)$)"),
                                        QRegularExpression::CaseInsensitiveOption);
    connection.kind = ModbusConnection::Kind::Rtu;
    if (const auto match = com.match(text); match.hasMatch()) {
        bool ok = false;
        const int number = match.captured(1).toInt(&ok);
        QString why;
        connection.device = ok && resolveCom ? resolveCom(number, &why) : QString();
        if (connection.device.isEmpty())
            throw BadSection{QStringLiteral("%1 \"%2\" opens no device%3")
                                 .arg(RtuKey, quote(text),
                                      why.isEmpty() ? QString() : QStringLiteral(": ") + why)};
    } else if (text.startsWith(QLatin1Char('/'))) {
        connection.device = text;
    } else {
        throw BadSection{QStringLiteral("%1 \"%2\" is neither a device path nor COM n")
                             .arg(RtuKey, quote(text))};
    }
    connection.baud = whole(keys, BaudKey, 50, 4000000, 9600);
    if (std::find(std::begin(Bauds), std::end(Bauds), connection.baud) == std::end(Bauds))
        throw BadSection{QStringLiteral("%1 %2 is not a serial speed (1200 to 115200)")
                             .arg(BaudKey, QString::number(connection.baud))};
    connection.parity = ModbusConnection::Parity(choice(keys, ParityKey, ParityNames, 0));
    connection.stopBits = whole(keys, StopBitsKey, 1, 2, 1);
}

// 30001-39999 and 300001-365536 are input registers, 40001-49999 and 400001-465536 holding
// registers, counted from 1.
void readRegister(const QMap<QString, QString> &keys, ModbusPoint &point) {
    if (!keys.contains(RegisterKey))
        throw BadSection{QStringLiteral("no %1 (30001 to 39999 input, 40001 to 49999 holding)")
                             .arg(RegisterKey)};
    const QString text = keys.value(RegisterKey).trimmed();
    bool ok = false;
    const int reg = text.toInt(&ok);
    struct Range {
        int first, last;
        ModbusTable table;
    };
    static const Range ranges[] = {{30001, 39999, ModbusTable::Input},
                                   {300001, 365536, ModbusTable::Input},
                                   {40001, 49999, ModbusTable::Holding},
                                   {400001, 465536, ModbusTable::Holding}};
    const Range *found = nullptr;
    for (const Range &range : ranges) {
        if (ok && reg >= range.first && reg <= range.last)
            found = &range;
    }
    if (!found)
        throw BadSection{QStringLiteral("%1 \"%2\" is neither an input register (30001-39999, "
                                        "300001-365536) nor a holding register (40001-49999, "
                                        "400001-465536)")
                             .arg(RegisterKey, quote(text))};
    point.reg = reg;
    point.table = found->table;
    point.address = reg - found->first;
    if (reg + point.words() - 1 > found->last)
        throw BadSection{QStringLiteral("%1 %2 is the last of its table, and a %3 takes two")
                             .arg(RegisterKey, text, TypeNames.at(int(point.type)))};
}

} // namespace

QString ModbusConnection::label() const {
    if (kind == Kind::Rtu) {
        static const char parities[] = {'N', 'E', 'O'};
        return QStringLiteral("%1 %2 %3 8%4%5")
            .arg(RtuKey, device, QString::number(baud), QString(QLatin1Char(parities[int(parity)])),
                 QString::number(stopBits));
    }
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1 %2:%3").arg(TcpKey, shownHost, QString::number(port));
}

QString ModbusConnection::lineKey() const {
    return kind == Kind::Rtu ? device : label();
}

QString ModbusPoint::source() const {
    return QStringLiteral("%1 unit %2 register %3")
        .arg(connection.label(), QString::number(unit), QString::number(reg));
}

QDebug operator<<(QDebug debug, const ModbusPoint &point) {
    const QDebugStateSaver saver(debug);
    debug.nospace() << "ModbusPoint(" << point.name << ", " << point.source() << ", "
                    << TypeNames.at(int(point.type)) << ' ' << OrderNames.at(int(point.order))
                    << ", x" << point.scale << " +" << point.offset << ')';
    return debug;
}

std::optional<ModbusPoint> modbusPoint(const QString &name, const QMap<QString, QString> &keys,
                                       QString *problem, const ComPortResolver &resolveCom) {
    static const QStringList known = {TcpKey,      RtuKey,   BaudKey,     ParityKey,
                                      StopBitsKey, UnitKey,  RegisterKey, TypeKey,
                                      OrderKey,    ScaleKey, OffsetKey};
    try {
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            if (!known.contains(it.key()))
                throw BadSection{
                    QStringLiteral("unknown key \"%1\" in a Modbus value").arg(quote(it.key()))};
        }
        ModbusPoint point;
        point.name = name;
        const bool tcp = keys.contains(TcpKey);
        if (tcp == keys.contains(RtuKey))
            throw BadSection{
                QStringLiteral("give either %1 = HOST:PORT or %2 = DEVICE").arg(TcpKey, RtuKey)};
        if (tcp) {
            for (const QString &serialOnly : {BaudKey, ParityKey, StopBitsKey}) {
                if (keys.contains(serialOnly))
                    throw BadSection{
                        QStringLiteral("%1 is for %2, not %3").arg(serialOnly, RtuKey, TcpKey)};
            }
            readTcp(keys.value(TcpKey).trimmed(), point.connection);
            point.unit = whole(keys, UnitKey, 0, 255, 1);
        } else {
            readRtu(keys.value(RtuKey).trimmed(), keys, resolveCom, point.connection);
            point.unit = whole(keys, UnitKey, 1, 247, 1);
        }
        point.type = ModbusType(choice(keys, TypeKey, TypeNames, int(ModbusType::Uint16)));
        point.order = ModbusOrder(choice(keys, OrderKey, OrderNames, int(ModbusOrder::ABCD)));
        readRegister(keys, point);
        point.scale = real(keys, ScaleKey, 1);
        point.offset = real(keys, OffsetKey, 0);
        return point;
    } catch (const BadSection &bad) {
        if (problem)
            *problem = bad.text;
        return std::nullopt;
    }
}

std::optional<double> modbusValue(const QList<quint16> &words, ModbusType type, ModbusOrder order) {
    if (words.isEmpty())
        return std::nullopt;
    const quint16 first = words.at(0);
    switch (type) {
    case ModbusType::Int16:
        return double(qint16(first));
    case ModbusType::Uint16:
        return double(first);
    default:
        break;
    }
    if (words.size() < 2)
        return std::nullopt;
    const quint16 second = words.at(1);
    const auto swapped = [](quint16 word) { return quint16((word << 8) | (word >> 8)); };
    quint32 bits = 0;
    switch (order) {
    case ModbusOrder::ABCD:
        bits = quint32(first) << 16 | second;
        break;
    case ModbusOrder::CDAB:
        bits = quint32(second) << 16 | first;
        break;
    case ModbusOrder::BADC:
        bits = quint32(swapped(first)) << 16 | swapped(second);
        break;
    case ModbusOrder::DCBA:
        bits = quint32(swapped(second)) << 16 | swapped(first);
        break;
    }
    if (type == ModbusType::Int32)
        return double(qint32(bits));
    if (type == ModbusType::Uint32)
        return double(bits);
    const double value = std::bit_cast<float>(bits);
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

// ---------------------------------------------------------------------------------------------

namespace {

QString exceptionText(QModbusPdu::ExceptionCode code) {
    switch (code) {
    case QModbusPdu::IllegalFunction:
        return QStringLiteral("it does not serve that table");
    case QModbusPdu::IllegalDataAddress:
        return QStringLiteral("no such register");
    case QModbusPdu::IllegalDataValue:
        return QStringLiteral("illegal data value");
    case QModbusPdu::ServerDeviceFailure:
        return QStringLiteral("device failure");
    case QModbusPdu::ServerDeviceBusy:
        return QStringLiteral("busy");
    case QModbusPdu::GatewayPathUnavailable:
        return QStringLiteral("gateway path unavailable");
    case QModbusPdu::GatewayTargetDeviceFailedToRespond:
        return QStringLiteral("the gateway's device did not answer");
    default:
        break;
    }
    return QStringLiteral("exception %1").arg(int(code));
}

} // namespace

// One connection (a TCP endpoint or a serial line): connects, then asks for each request in
// turn, and hands back one reading per point.
class ModbusLine : public QObject {
public:
    using Done = std::function<void(int index, Reading reading)>;

    ModbusLine(const QList<std::pair<int, ModbusPoint>> &points, Done done,
               std::function<void()> finished, QObject *parent);

    void start() { connectOnce(); }

private:
    // Registers start .. start + count - 1 of one unit's table, and the points they hold.
    struct Request {
        int unit = 1;
        ModbusTable table = ModbusTable::Input;
        int start = 0;
        int count = 0;
        QList<int> points; // indexes into m_points
        // The first register of a refused 32-bit value alone: its answer tells which of the two
        // the analyser lacks.
        bool firstOfTwo = false;
    };

    enum class Phase { Connecting, Reading, Done };

    QModbusClient *makeClient();
    void connectOnce();
    void connectFailed(int attempt, const QString &why);
    void sendNext();
    void answered(QModbusReply *reply, const Request &request);
    bool refused(QModbusReply *reply, const Request &request);
    // The host and port, or the serial device: "10.1.2.3:502", "/dev/ttyUSB0".
    QString target() const;
    // located: why is a text of Qt's own, and each point's host, unit and register go before it.
    void fail(const QList<int> &points, const QString &why, bool located = false);
    void finish();

    const ModbusConnection m_connection;
    const Done m_done;
    const std::function<void()> m_finished;
    QList<std::pair<int, ModbusPoint>> m_points;
    QList<Request> m_queue;
    QList<int> m_silentUnits;
    QModbusClient *m_client = nullptr;
    QTimer *const m_connectTimer;
    Phase m_phase = Phase::Connecting;
    int m_attempt = 0;
    bool m_retryPending = false;
    QElapsedTimer m_sinceFirstAttempt;
};

ModbusLine::ModbusLine(const QList<std::pair<int, ModbusPoint>> &points, Done done,
                       std::function<void()> finished, QObject *parent)
    : QObject(parent)
    , m_connection(points.first().second.connection)
    , m_done(std::move(done))
    , m_finished(std::move(finished))
    , m_points(points)
    , m_connectTimer(new QTimer(this)) {
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setTimerType(Qt::PreciseTimer);

    // A serial line runs at one speed: a value that asks for another fails alone.
    QList<int> order;
    for (int i = 0; i < m_points.size(); ++i) {
        if (m_points.at(i).second.connection == m_connection)
            order << i;
        else
            m_done(m_points.at(i).first,
                   Reading{m_points.at(i).second.name,
                           std::nullopt,
                           {},
                           Reading::State::Failed,
                           m_points.at(i).second.source(),
                           QStringLiteral("%1 is already read as %2")
                               .arg(m_connection.device, m_connection.label())});
    }
    // Adjacent or overlapping registers of one unit's table go in one request.
    std::sort(order.begin(), order.end(), [this](int a, int b) {
        const ModbusPoint &p = m_points.at(a).second;
        const ModbusPoint &q = m_points.at(b).second;
        return std::tie(p.unit, p.table, p.address) < std::tie(q.unit, q.table, q.address);
    });
    for (const int i : std::as_const(order)) {
        const ModbusPoint &point = m_points.at(i).second;
        const int end = point.address + point.words();
        if (!m_queue.isEmpty()) {
            Request &last = m_queue.last();
            const int lastEnd = last.start + last.count;
            if (last.unit == point.unit && last.table == point.table && point.address <= lastEnd &&
                std::max(end, lastEnd) - last.start <= ModbusReader::MaxRegistersPerRequest) {
                last.count = std::max(end, lastEnd) - last.start;
                last.points << i;
                continue;
            }
        }
        m_queue << Request{point.unit, point.table, point.address, point.words(), {i}};
    }
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        connectFailed(
            m_attempt,
            QStringLiteral("no answer within %1 s").arg(ModbusReader::ConnectTimeoutMs / 1000.0));
    });
}

QModbusClient *ModbusLine::makeClient() {
    QModbusClient *client = nullptr;
    if (m_connection.kind == ModbusConnection::Kind::Tcp) {
        client = new QModbusTcpClient(this);
        client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, m_connection.host);
        client->setConnectionParameter(QModbusDevice::NetworkPortParameter, m_connection.port);
    } else {
        client = new QModbusRtuSerialClient(this);
        static const QSerialPort::Parity parities[] = {
            QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity};
        client->setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_connection.device);
        client->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, m_connection.baud);
        client->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                       parities[int(m_connection.parity)]);
        client->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        client->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                       m_connection.stopBits == 2 ? QSerialPort::TwoStop
                                                                  : QSerialPort::OneStop);
    }
    client->setTimeout(ModbusReader::RequestTimeoutMs);
    client->setNumberOfRetries(1);
    return client;
}

void ModbusLine::connectOnce() {
    const int attempt = ++m_attempt;
    if (attempt == 1)
        m_sinceFirstAttempt.start();
    if (m_client) {
        // A connect that never completed leaves the client half open: start afresh.
        m_client->disconnect(this);
        m_client->disconnectDevice();
        m_client->deleteLater();
    }
    m_client = makeClient();
    QModbusClient *const client = m_client;
    connect(client, &QModbusDevice::errorOccurred, this, [this, attempt, client](auto error) {
        if (error == QModbusDevice::ConnectionError && m_phase == Phase::Connecting)
            connectFailed(attempt, client->errorString());
    });
    connect(client, &QModbusDevice::stateChanged, this, [this, attempt, client](auto state) {
        if (m_phase != Phase::Connecting || attempt != m_attempt)
            return;
        if (state == QModbusDevice::ConnectedState) {
            m_connectTimer->stop();
            m_phase = Phase::Reading;
            sendNext();
        } else if (state == QModbusDevice::UnconnectedState) {
            // The error, with the platform's words, may follow the state: take it from there.
            QTimer::singleShot(0, this, [this, attempt, client] {
                connectFailed(attempt, client->errorString().isEmpty()
                                           ? QStringLiteral("the connection closed")
                                           : client->errorString());
            });
        }
    });
    m_connectTimer->start(ModbusReader::ConnectTimeoutMs);
    client->connectDevice();
}

void ModbusLine::connectFailed(int attempt, const QString &why) {
    if (m_phase != Phase::Connecting || attempt != m_attempt || m_retryPending)
        return;
    m_connectTimer->stop();
    // A serial line that is there but will not open is held by another program (the console's
    // SEND and a scheduled display-send read the same analysers): it is tried again for a while
    // rather than making the other's figures unavailable.
    const bool held = m_connection.kind == ModbusConnection::Kind::Rtu &&
                      QFileInfo::exists(m_connection.device) &&
                      m_sinceFirstAttempt.elapsed() + HeldLineRetryMs <= HeldLineWaitMs;
    if (m_attempt < 2 || held) {
        // From the event loop: the failing client may be inside its own connectDevice().
        m_retryPending = true;
        QTimer::singleShot(m_attempt < 2 ? 0 : HeldLineRetryMs, this, [this] {
            m_retryPending = false;
            connectOnce();
        });
        return;
    }
    QList<int> all;
    for (const Request &request : std::as_const(m_queue))
        all << request.points;
    m_queue.clear();
    fail(all, QStringLiteral("no connection to %1: %2 (tried twice)").arg(target(), why));
    finish();
}

QString ModbusLine::target() const {
    return m_connection.kind == ModbusConnection::Kind::Tcp
               ? m_connection.label().section(QLatin1Char(' '), 1)
               : m_connection.device;
}

void ModbusLine::sendNext() {
    while (m_phase == Phase::Reading && !m_queue.isEmpty()) {
        const Request request = m_queue.takeFirst();
        if (m_silentUnits.contains(request.unit)) {
            fail(request.points,
                 QStringLiteral("unit %1 did not answer within %2 s (asked twice)")
                     .arg(QString::number(request.unit),
                          QString::number(ModbusReader::RequestTimeoutMs / 1000.0)));
            continue;
        }
        const QModbusDataUnit unit(request.table == ModbusTable::Input
                                       ? QModbusDataUnit::InputRegisters
                                       : QModbusDataUnit::HoldingRegisters,
                                   request.start, quint16(request.count));
        QModbusReply *const reply = m_client->sendReadRequest(unit, request.unit);
        if (!reply) {
            fail(request.points, m_client->errorString(), true);
            continue;
        }
        if (reply->isFinished()) {
            answered(reply, request);
            continue;
        }
        connect(reply, &QModbusReply::finished, this, [this, reply, request] {
            answered(reply, request);
            sendNext();
        });
        return;
    }
    if (m_phase == Phase::Reading)
        finish();
}

void ModbusLine::answered(QModbusReply *reply, const Request &request) {
    // Closing the connection afterwards finishes a reply once more, as aborted: take it once.
    reply->disconnect(this);
    reply->deleteLater();
    if (refused(reply, request))
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    switch (reply->error()) {
    case QModbusDevice::NoError: {
        const QModbusDataUnit result = reply->result();
        const QList<quint16> words = result.values();
        for (const int i : request.points) {
            const ModbusPoint &point = m_points.at(i).second;
            const qsizetype from = point.address - request.start;
            Reading reading{point.name, std::nullopt, now, Reading::State::Failed, point.source(),
                            {}};
            if (words.size() < from + point.words()) {
                reading.problem = QStringLiteral("the analyser's answer was too short");
            } else if (const auto value =
                           modbusValue(words.mid(from, point.words()), point.type, point.order)) {
                reading.value = *value * point.scale + point.offset;
                reading.state = Reading::State::Ok;
                if (!std::isfinite(*reading.value)) {
                    reading.state = Reading::State::Failed;
                    reading.problem =
                        QStringLiteral("register %1 scaled is not a finite number").arg(point.reg);
                }
            } else {
                reading.problem = QStringLiteral("register %1 holds no number").arg(point.reg);
            }
            m_done(m_points.at(i).first, reading);
        }
        return;
    }
    case QModbusDevice::TimeoutError:
        // A unit that did not answer twice is not asked again in this run.
        m_silentUnits << request.unit;
        fail(request.points, QStringLiteral("unit %1 did not answer within %2 s (asked twice)")
                                 .arg(QString::number(request.unit),
                                      QString::number(ModbusReader::RequestTimeoutMs / 1000.0)));
        return;
    default:
        fail(request.points, reply->errorString(), true);
        if (m_client->state() != QModbusDevice::ConnectedState) {
            QList<int> rest;
            for (const Request &left : std::as_const(m_queue))
                rest << left.points;
            m_queue.clear();
            fail(rest, QStringLiteral("the connection was lost: %1").arg(reply->errorString()),
                 true);
        }
        return;
    }
}

// An exception answer: the request is asked again in smaller parts until the register it
// concerns is known, and that register's value fails. False for any other answer.
bool ModbusLine::refused(QModbusReply *reply, const Request &request) {
    const bool exception = reply->error() == QModbusDevice::ProtocolError;
    const ModbusPoint &point = m_points.at(request.points.first()).second;
    const auto failWith = [&](int reg, QModbusPdu::ExceptionCode code) {
        fail(request.points, QStringLiteral("the analyser refused register %1: %2")
                                 .arg(QString::number(reg), exceptionText(code)));
    };
    if (request.firstOfTwo && reply->error() == QModbusDevice::NoError) {
        failWith(point.reg + 1, QModbusPdu::IllegalDataAddress);
        return true;
    }
    if (!exception)
        return false;
    if (request.points.size() > 1) {
        // Ask again one value at a time, so one unmapped register costs only its own value.
        QList<Request> single;
        for (const int i : request.points) {
            const ModbusPoint &each = m_points.at(i).second;
            single << Request{request.unit, request.table, each.address, each.words(), {i}};
        }
        m_queue = single + m_queue;
        return true;
    }
    // The code is read from the answer's data: Qt 6.4's QModbusPdu::exceptionCode() holds the
    // answer's function code in an enum that cannot take it (undefined behaviour).
    const QByteArray data = reply->rawResult().data();
    const auto code = data.isEmpty() ? QModbusPdu::ExtendedException
                                     : QModbusPdu::ExceptionCode(quint8(data.at(0)));
    if (code == QModbusPdu::IllegalDataAddress && request.count == 2 && !request.firstOfTwo) {
        Request first = request;
        first.count = 1;
        first.firstOfTwo = true;
        m_queue.prepend(first);
        return true;
    }
    failWith(point.reg, code);
    return true;
}

void ModbusLine::fail(const QList<int> &points, const QString &why, bool located) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const int i : points) {
        const ModbusPoint &point = m_points.at(i).second;
        const QString said = located ? QStringLiteral("%1 unit %2 register %3: %4")
                                           .arg(target(), QString::number(point.unit),
                                                QString::number(point.reg), why)
                                     : why;
        m_done(m_points.at(i).first, Reading{point.name, std::nullopt, now, Reading::State::Failed,
                                             point.source(), said});
    }
}

void ModbusLine::finish() {
    if (m_phase == Phase::Done)
        return;
    m_phase = Phase::Done;
    m_connectTimer->stop();
    if (m_client) {
        m_client->disconnect(this);
        m_client->disconnectDevice();
    }
    m_finished();
}

// ---------------------------------------------------------------------------------------------

ModbusReader::ModbusReader(QObject *parent)
    : QObject(parent) {}

ModbusReader::~ModbusReader() = default;

bool ModbusReader::start(const QList<ModbusPoint> &points) {
    // A second start would delete lines whose answers are still on their way, and their queued
    // ends would finish the new read before its own lines had answered.
    if (m_running)
        return false;
    m_running = true;
    qDeleteAll(m_lines);
    m_lines.clear();
    m_readings.clear();
    m_readings.resize(points.size());
    QMap<QString, QList<std::pair<int, ModbusPoint>>> byLine;
    QStringList lineOrder;
    for (int i = 0; i < points.size(); ++i) {
        const QString key = points.at(i).connection.lineKey();
        if (!byLine.contains(key))
            lineOrder << key;
        byLine[key] << std::pair{i, points.at(i)};
    }
    m_linesOpen = int(lineOrder.size());
    for (const QString &key : std::as_const(lineOrder)) {
        m_lines << new ModbusLine(
            byLine.value(key),
            [this](int index, const Reading &reading) { m_readings[index] = reading; },
            [this] { QTimer::singleShot(0, this, &ModbusReader::lineDone); }, this);
    }
    // Every line starts from the event loop, so that finished() never comes from start().
    QTimer::singleShot(0, this, [this] {
        if (m_lines.isEmpty()) {
            m_running = false;
            Q_EMIT finished(m_readings);
        }
        for (ModbusLine *line : std::as_const(m_lines))
            line->start();
    });
    return true;
}

void ModbusReader::lineDone() {
    if (--m_linesOpen > 0)
        return;
    m_running = false;
    Q_EMIT finished(m_readings);
}
