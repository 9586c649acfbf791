#pragma once

#include <QDebug>
#include <QMap>
#include <QString>

#include <functional>
#include <optional>

// Where an analyser is reached: a TCP endpoint, or a serial device with its line settings.
struct ModbusConnection {
    enum class Kind { Tcp, Rtu };
    enum class Parity { None, Even, Odd };

    Kind kind = Kind::Tcp;
    QString host;       // Tcp
    quint16 port = 502; // Tcp
    QString device;     // Rtu: the device path, a COM number already resolved
    int baud = 9600;    // Rtu
    Parity parity = Parity::None;
    int stopBits = 1;

    // How the operator reads it: "modbus-tcp 10.1.2.3:502", "modbus-rtu /dev/ttyUSB0 9600 8N1".
    QString label() const;
    // Connections with one key share one socket or one serial line.
    QString lineKey() const;
    friend bool operator==(const ModbusConnection &, const ModbusConnection &) = default;
};

enum class ModbusTable { Input, Holding };
enum class ModbusType { Int16, Uint16, Int32, Uint32, Float32 };
// Byte order of a 32-bit value over its two registers: A is the value's most significant byte.
// ABCD is high word first, each word big-endian; CDAB low word first; BADC and DCBA swap the
// bytes inside each word as well.
enum class ModbusOrder { ABCD, CDAB, BADC, DCBA };

// One value of the sources file read from an analyser.
struct ModbusPoint {
    QString name;
    ModbusConnection connection;
    int unit = 1;
    int reg = 0; // as the analyser's manual writes it: 30001, 400001, ...
    ModbusTable table = ModbusTable::Input;
    int address = 0; // 0-based on the wire: 40001 is holding address 0
    ModbusType type = ModbusType::Uint16;
    ModbusOrder order = ModbusOrder::ABCD;
    double scale = 1;
    double offset = 0;

    int words() const { return type == ModbusType::Int16 || type == ModbusType::Uint16 ? 1 : 2; }
    // "modbus-tcp 127.0.0.1:5020 unit 1 register 30001"
    QString source() const;
    friend bool operator==(const ModbusPoint &, const ModbusPoint &) = default;
};
QDebug operator<<(QDebug debug, const ModbusPoint &point);

// Resolves "COM n" to a device path as the port list and ports.conf do; empty with *problem set
// when the number opens nothing.
using ComPortResolver = std::function<QString(int portNumber, QString *problem)>;

// One sources-file section's keys as a Modbus value: modbus-tcp = HOST:PORT or modbus-rtu =
// DEVICE (a path or "COM n"), baud, parity, stop-bits, unit, register, type, order, scale,
// offset. Nothing and *problem set ("register 50001 is neither an input (30001-39999) nor ...")
// when the section cannot be read.
std::optional<ModbusPoint> modbusPoint(const QString &name, const QMap<QString, QString> &keys,
                                       QString *problem, const ComPortResolver &resolveCom = {});
