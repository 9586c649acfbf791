#include "modbusline.h"

#include "modbusreader.h"
#include "modbusvalue.h"

#include <QDateTime>
#include <QFileInfo>
#include <QModbusRtuSerialClient>
#include <QModbusTcpClient>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>

namespace {

// How long a serial line that another program holds is waited for, tried again this often.
constexpr int HeldLineWaitMs = 5000;
constexpr int HeldLineRetryMs = 250;

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
        QList<Request> &queue = laneOf(point.unit).queue;
        if (!queue.isEmpty()) {
            Request &last = queue.last();
            const int lastEnd = last.start + last.count;
            if (last.unit == point.unit && last.table == point.table && point.address <= lastEnd &&
                std::max(end, lastEnd) - last.start <= ModbusReader::MaxRegistersPerRequest) {
                last.count = std::max(end, lastEnd) - last.start;
                last.points << i;
                continue;
            }
        }
        queue << Request{point.unit, point.table, point.address, point.words(), {i}};
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
            for (auto &entry : m_lanes)
                sendNext(entry.second);
            finishWhenAnswered();
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
    for (auto &entry : m_lanes) {
        for (const Request &request : std::as_const(entry.second.queue))
            all << request.points;
        entry.second.queue.clear();
    }
    fail(all, QStringLiteral("no connection to %1: %2 (tried twice)").arg(target(), why));
    finish();
}

QString ModbusLine::target() const {
    return m_connection.kind == ModbusConnection::Kind::Tcp
               ? m_connection.label().section(QLatin1Char(' '), 1)
               : m_connection.device;
}

ModbusLine::Lane &ModbusLine::laneOf(int unit) {
    // One bus carries one request at a time: every unit of a serial line waits its turn.
    return m_lanes[m_connection.kind == ModbusConnection::Kind::Tcp ? unit : 0];
}

void ModbusLine::sendNext(Lane &lane) {
    while (m_phase == Phase::Reading && !lane.asking && !lane.queue.isEmpty()) {
        const Request request = lane.queue.takeFirst();
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
        // m_lanes never drops a lane, so the reference holds as long as this line.
        lane.asking = true;
        connect(reply, &QModbusReply::finished, this, [this, reply, request, &lane] {
            lane.asking = false;
            answered(reply, request);
            sendNext(lane);
        });
        return;
    }
    finishWhenAnswered();
}

void ModbusLine::finishWhenAnswered() {
    if (m_phase != Phase::Reading)
        return;
    for (const auto &entry : std::as_const(m_lanes)) {
        if (entry.second.asking || !entry.second.queue.isEmpty())
            return;
    }
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
                reading.float32 = point.type == ModbusType::Float32 && point.offset == 0;
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
            // The other units' requests on their way end as aborted and fail on their own.
            QList<int> rest;
            for (auto &entry : m_lanes) {
                for (const Request &left : std::as_const(entry.second.queue))
                    rest << left.points;
                entry.second.queue.clear();
            }
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
        QList<Request> &queue = laneOf(request.unit).queue;
        queue = single + queue;
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
        laneOf(request.unit).queue.prepend(first);
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
