#pragma once

#include "modbuspoint.h"
#include "reading.h"

#include <QList>
#include <QObject>

class ModbusLine;

// Reads a list of Modbus values once. Registers next to each other on one device (one
// connection, unit and table) are asked for in one request; a request the analyser refuses is
// asked again register by register, so an unmapped register costs only its own value. Devices
// are read at the same time, so a read takes as long as its slowest device: each serial line
// (whose units take turns on the one bus) and each unit behind a TCP endpoint (all on one
// connection to it). Each connect and each request waits ConnectTimeoutMs / RequestTimeoutMs and
// is tried once more. A device that never answers fails only its own values, and a unit that
// did not answer is not asked again in the same read.
class ModbusReader : public QObject {
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 1000;
    static constexpr int RequestTimeoutMs = 1000;
    static constexpr int MaxRegistersPerRequest = 125; // the most one Modbus read may ask for

    explicit ModbusReader(QObject *parent = nullptr);
    ~ModbusReader() override;

    // Begins reading; finished() follows from the event loop, also for an empty list. While a
    // read is under way another is refused (false): it would lose the one running.
    bool start(const QList<ModbusPoint> &points);
    bool running() const { return m_running; }

Q_SIGNALS:
    // One reading per point, in the order start() was given them. A reading's time is when the
    // analyser answered.
    void finished(const Readings &readings);

private:
    void lineDone();

    Readings m_readings;
    QList<ModbusLine *> m_lines;
    int m_linesOpen = 0;
    bool m_running = false;
};
