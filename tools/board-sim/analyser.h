#pragma once

#include <QHostAddress>
#include <QModbusTcpServer>
#include <QObject>
#include <QString>

class QTimer;

// A simulated analyser on Modbus TCP, unit 1, for trying live figures without a plant. Its
// figures drift a little every second around a typical value:
//   input   30001 float32 SO2 mg/m3      ~35      holding 40001 float32 COD mg/l   ~198
//   input   30003 float32 NOx mg/m3      ~120     holding 40003 float32 BOD mg/l   ~30
//   input   30005 float32 dust mg/m3     ~8.5     holding 40011 int16   TSS mg/l   ~45
//   input   30011 int16   pH x 100       ~712
//   input   30012 int16   flue gas degC x 10 ~1455
// float32 high word first (ABCD). Registers 30001-30020 and 40001-40020 are served; any other
// is refused as no such register.
class SimulatedAnalyser : public QObject {
public:
    SimulatedAnalyser(const QHostAddress &host, quint16 port, QObject *parent = nullptr);

    bool isListening() const { return m_server->state() == QModbusDevice::ConnectedState; }
    QString listenProblem() const { return m_server->errorString(); }
    // "127.0.0.1:5020", the port it listens on even when asked for any.
    QString address() const;

private:
    void drift();

    QModbusTcpServer *const m_server;
    QTimer *const m_drift;
    QHostAddress m_host;
    quint16 m_port = 0;
};
