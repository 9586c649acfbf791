#pragma once

#include "modbuspoint.h"
#include "reading.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <functional>
#include <map>
#include <utility>

class QModbusClient;
class QModbusReply;
class QTimer;

// One connection (a TCP endpoint or a serial line): connects, asks for each request, and hands
// back one reading per point. Over TCP each unit behind the endpoint is a device of its own: the
// units are asked side by side on the one connection, each with at most one request on its way
// (gateways and analysers cope badly with more; Qt matches each answer to its request by the
// transaction id). A serial line is one bus that carries one request at a time, so its units are
// asked in turn.
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

    // The requests of one unit behind a TCP endpoint, or of a whole serial line, asked in turn.
    struct Lane {
        QList<Request> queue;
        bool asking = false; // a request is on its way
    };

    enum class Phase { Connecting, Reading, Done };

    QModbusClient *makeClient();
    void connectOnce();
    void connectFailed(int attempt, const QString &why);
    Lane &laneOf(int unit);
    void sendNext(Lane &lane);
    void finishWhenAnswered();
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
    std::map<int, Lane> m_lanes; // by unit over TCP; one lane for a serial line
    QList<int> m_silentUnits;
    QModbusClient *m_client = nullptr;
    QTimer *const m_connectTimer;
    Phase m_phase = Phase::Connecting;
    int m_attempt = 0;
    bool m_retryPending = false;
    QElapsedTimer m_sinceFirstAttempt;
};
