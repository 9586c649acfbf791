#pragma once

#include <QDebug>
#include <QHash>
#include <QString>

#include <optional>

// The device that port number n opens by the console's own table ("/dev/ttyS0" for 1, ...);
// empty when no device has that number.
QString devicePathForPort(int portNumber);

// A device server reached over raw TCP, named as "tcp://HOST:PORT" ("tcp://[::1]:4001" for an
// IPv6 address).
struct TcpEndpoint {
    QString host;
    quint16 port = 0;

    QString label() const; // "10.1.2.3:4001", "[::1]:4001"
    friend bool operator==(const TcpEndpoint &, const TcpEndpoint &) = default;
};

// True when the device names a network device rather than a path ("tcp://" in any case).
bool isTcpDevice(const QString &device);
// The endpoint, or nothing when the device is not a well-formed "tcp://HOST:PORT" (no host, a
// port outside 1-65535, a path, a user or a query).
std::optional<TcpEndpoint> tcpEndpoint(const QString &device);
// Why a device cannot be opened by its form alone, in the words ports.conf reports it with: a
// malformed "tcp://" address or another scheme ("rfc2217://..."). Empty for a path or a
// well-formed tcp://HOST:PORT.
QString deviceAddressProblem(const QString &device);
// Numbers mapped to other devices than the table gives them. Numbers it does not name keep the
// table's device. A number whose entry could not be used opens nothing, rather than the table's
// device: that could be another chain of boards.
class PortMap {
public:
    void insert(int portNumber, const QString &device) {
        m_problems.remove(portNumber);
        m_devices.insert(portNumber, device);
    }
    // The number opens nothing; why says where its entry is and what is wrong with it.
    void insertUnusable(int portNumber, const QString &why) {
        m_devices.insert(portNumber, QString());
        m_problems.insert(portNumber, why);
    }
    bool contains(int portNumber) const { return m_devices.contains(portNumber); }
    QString devicePath(int portNumber) const;
    // Empty unless the number's entry could not be used.
    QString problem(int portNumber) const { return m_problems.value(portNumber); }

    friend bool operator==(const PortMap &, const PortMap &) = default;

private:
    QHash<int, QString> m_devices;
    QHash<int, QString> m_problems;
};

// What a job opens: a COM number, resolved to a device through the table (or a port map), or a
// device named outright. Named outright, it has no number.
class PortTarget {
public:
    PortTarget() = default;
    static PortTarget number(int portNumber, const PortMap &map = {});
    static PortTarget device(const QString &path);

    int portNumber() const { return m_number; } // 0 when the device was named outright
    bool isNamed() const { return m_named; }
    const QString &devicePath() const { return m_device; } // empty: no device has the number
    // Why the number opens nothing when a port map made it unusable; empty otherwise.
    const QString &problem() const { return m_problem; }

    // How failure texts name it: "/dev/ttyUSB0 (COM 33)", "COM 97", "/dev/serial/by-id/x".
    QString label() const;

    friend bool operator==(const PortTarget &, const PortTarget &) = default;

private:
    int m_number = 0;
    bool m_named = false;
    QString m_device;
    QString m_problem;
};
QDebug operator<<(QDebug debug, const PortTarget &target);
