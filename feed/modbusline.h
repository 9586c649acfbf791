#pragma once

#include "modbuspoint.h"
#include "reading.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <functional>
#include <utility>

class QModbusClient;
class QModbusReply;
class QTimer;

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
