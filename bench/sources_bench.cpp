// display-sources-bench: one read of Modbus values, against analysers in this process on
// 127.0.0.1. Prints medians; the last line is
//   sources_s=<x> sources_dead_s=<x> sources_dead12_s=<x>
// sources_s: 32 float32 values from one device; sources_dead_s: one value from each of 4
// devices, one of which takes the connection and never answers; sources_dead12_s: one value from
// each of units 1 to 13 behind one gateway, where only unit 1 answers.
//
//   display-sources-bench [runs]      (default 7)

#include "modbus.h"

#include "figures.h"
#include "modbusgateway.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QModbusTcpServer>
#include <QTcpServer>
#include <QTextStream>

#include <algorithm>
#include <memory>

namespace {

constexpr int Values = 32;
constexpr int LiveDevices = 3;
constexpr int GatewayUnits = 13; // unit 1 answers, the other 12 are silent

// An analyser with Values float32 input registers from 30001, on a port of its own choosing.
std::unique_ptr<QModbusTcpServer> analyser(quint16 *port) {
    auto server = std::make_unique<QModbusTcpServer>();
    server->setServerAddress(1);
    server->setMap(
        {{QModbusDataUnit::InputRegisters, {QModbusDataUnit::InputRegisters, 0, Values * 2}}});
    server->setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                   QStringLiteral("127.0.0.1"));
    server->setConnectionParameter(QModbusDevice::NetworkPortParameter, 0);
    if (!server->connectDevice())
        qFatal("cannot listen: %s", qPrintable(server->errorString()));
    *port = server->findChild<QTcpServer *>()->serverPort();
    return server;
}

ModbusPoint point(quint16 port, int index, int unit = 1) {
    QString problem;
    const auto made =
        modbusPoint(QStringLiteral("v%1").arg(index),
                    {{QStringLiteral("modbus-tcp"), QStringLiteral("127.0.0.1:%1").arg(port)},
                     {QStringLiteral("unit"), QString::number(unit)},
                     {QStringLiteral("register"), QString::number(30001 + 2 * index)},
                     {QStringLiteral("type"), QStringLiteral("float32")}},
                    &problem);
    if (!made)
        qFatal("%s", qPrintable(problem));
    return *made;
}

// Reads each list `runs` times in turn from the event loop, timing each read.
class Bench : public QObject {
public:
    Bench(const QList<QList<ModbusPoint>> &lists, int runs)
        : m_lists(lists)
        , m_runs(runs)
        , m_seconds(lists.size())
        , m_reader(new ModbusReader(this)) {
        connect(m_reader, &ModbusReader::finished, this, [this](const Readings &readings) {
            m_seconds[m_list] << double(m_clock.nsecsElapsed()) / 1e9;
            m_failed += int(std::count_if(readings.cbegin(), readings.cend(),
                                          [](const Reading &r) { return !r.ok(); }));
            if (++m_list == m_lists.size()) {
                m_list = 0;
                --m_runs;
            }
            if (m_runs == 0)
                QCoreApplication::quit();
            else
                next();
        });
    }
    void next() {
        m_clock.start();
        m_reader->start(m_lists.at(m_list));
    }
    const QList<QList<double>> &seconds() const { return m_seconds; }
    int failed() const { return m_failed; }

private:
    const QList<QList<ModbusPoint>> m_lists;
    int m_runs;
    QList<QList<double>> m_seconds;
    ModbusReader *const m_reader;
    QElapsedTimer m_clock;
    qsizetype m_list = 0;
    int m_failed = 0;
};

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::clamp(QByteArray(argv[1]).toInt(), 1, 1000) : 7;

    std::vector<std::unique_ptr<QModbusTcpServer>> servers;
    QList<ModbusPoint> one;
    QList<ModbusPoint> four;
    for (int device = 0; device < LiveDevices; ++device) {
        quint16 port = 0;
        servers.push_back(analyser(&port));
        if (device == 0) {
            for (int i = 0; i < Values; ++i)
                one << point(port, i);
        }
        four << point(port, device);
    }
    QTcpServer silent; // takes the connection, never answers
    silent.listen(QHostAddress::LocalHost);
    four << point(silent.serverPort(), 0);
    ModbusGateway gateway;
    QList<ModbusPoint> gatewayUnits;
    for (int unit = 1; unit <= GatewayUnits; ++unit)
        gatewayUnits << point(gateway.serverPort(), 0, unit);

    Bench bench({one, four, gatewayUnits}, runs);
    bench.next();
    QCoreApplication::exec();

    QTextStream out(stdout);
    // Every run fails the silent device's value and the silent units' values, and nothing else.
    out << "runs=" << runs << " failed_values=" << bench.failed() << '\n';
    out << "sources_s=" << QString::number(median(bench.seconds().at(0)), 'f', 4)
        << " sources_dead_s=" << QString::number(median(bench.seconds().at(1)), 'f', 4)
        << " sources_dead12_s=" << QString::number(median(bench.seconds().at(2)), 'f', 4) << '\n';
    return bench.failed() == runs * GatewayUnits ? 0 : 1;
}
