#include "analyser.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTimer>

#include <bit>
#include <cmath>

namespace {

struct Figure {
    QModbusDataUnit::RegisterType table;
    int address;  // 0-based: 30001 is input 0
    bool float32; // else int16
    double typical;
};

const Figure Figures[] = {
    {QModbusDataUnit::InputRegisters, 0, true, 35.0},
    {QModbusDataUnit::InputRegisters, 2, true, 120.0},
    {QModbusDataUnit::InputRegisters, 4, true, 8.5},
    {QModbusDataUnit::InputRegisters, 10, false, 712},
    {QModbusDataUnit::InputRegisters, 11, false, 1455},
    {QModbusDataUnit::HoldingRegisters, 0, true, 198.0},
    {QModbusDataUnit::HoldingRegisters, 2, true, 30.0},
    {QModbusDataUnit::HoldingRegisters, 10, false, 45},
};
constexpr int RegistersServed = 20;
constexpr int DriftIntervalMs = 1000;

void put(QModbusServer &server, const Figure &figure, double value) {
    if (figure.float32) {
        const quint32 bits = std::bit_cast<quint32>(float(value));
        server.setData(QModbusDataUnit(figure.table, figure.address,
                                       QList<quint16>{quint16(bits >> 16), quint16(bits)}));
    } else {
        server.setData(figure.table, quint16(figure.address), quint16(qint16(std::lround(value))));
    }
}

} // namespace

SimulatedAnalyser::SimulatedAnalyser(const QHostAddress &host, quint16 port, QObject *parent)
    : QObject(parent)
    , m_server(new QModbusTcpServer(this))
    , m_drift(new QTimer(this))
    , m_host(host)
    , m_port(port) {
    m_server->setServerAddress(1);
    m_server->setMap(
        {{QModbusDataUnit::InputRegisters, {QModbusDataUnit::InputRegisters, 0, RegistersServed}},
         {QModbusDataUnit::HoldingRegisters,
          {QModbusDataUnit::HoldingRegisters, 0, RegistersServed}}});
    for (const Figure &figure : Figures)
        put(*m_server, figure, figure.typical);
    m_server->setConnectionParameter(QModbusDevice::NetworkAddressParameter, host.toString());
    m_server->setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
    if (!m_server->connectDevice())
        return;
    // Asked for any port: the one the system gave is the listening socket's.
    if (const auto *listener = m_server->findChild<QTcpServer *>())
        m_port = listener->serverPort();
    connect(m_drift, &QTimer::timeout, this, &SimulatedAnalyser::drift);
    m_drift->start(DriftIntervalMs);
}

QString SimulatedAnalyser::address() const {
    const QString host = m_host.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(m_host.toString())
                             : m_host.toString();
    return QStringLiteral("%1:%2").arg(host, QString::number(m_port));
}

void SimulatedAnalyser::drift() {
    // A step of at most 0.5 % of the typical value, staying within 5 % of it.
    for (const Figure &figure : Figures) {
        quint16 words[2] = {};
        m_server->data(figure.table, quint16(figure.address), &words[0]);
        double value = 0;
        if (figure.float32) {
            m_server->data(figure.table, quint16(figure.address + 1), &words[1]);
            value = std::bit_cast<float>(quint32(words[0]) << 16 | words[1]);
        } else {
            value = qint16(words[0]);
        }
        const double step = (QRandomGenerator::global()->generateDouble() - 0.5) * 0.01;
        value =
            std::clamp(value + step * figure.typical, figure.typical * 0.95, figure.typical * 1.05);
        put(*m_server, figure, value);
    }
}
