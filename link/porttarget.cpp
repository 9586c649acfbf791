#include "porttarget.h"

#include "bytetext.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
constexpr QLatin1StringView TcpScheme("tcp://");
}

QString TcpEndpoint::label() const {
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shownHost + QLatin1Char(':') + QString::number(port);
}

bool isTcpDevice(const QString &device) {
    return device.startsWith(TcpScheme, Qt::CaseInsensitive);
}

std::optional<TcpEndpoint> tcpEndpoint(const QString &device) {
    if (!isTcpDevice(device))
        return std::nullopt;
    const QUrl url(device, QUrl::StrictMode);
    // QUrl takes "tcp://host" without a port as port -1 and "tcp://host:0" as 0: both are no
    // place to connect to.
    if (!url.isValid() || url.host().isEmpty() || url.port() < 1 || url.port() > 65535 ||
        !url.userInfo().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/")) ||
        url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return TcpEndpoint{url.host(), quint16(url.port())};
}

QString deviceAddressProblem(const QString &device) {
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    if (isTcpDevice(device)) {
        if (tcpEndpoint(device))
            return {};
        return QStringLiteral("malformed address \"%1\": a device server is tcp://HOST:PORT, "
                              "with a port from 1 to 65535")
            .arg(quoted(device));
    }
    if (const QRegularExpressionMatch match = scheme.match(device); match.hasMatch())
        return QStringLiteral("unknown scheme \"%1\": a device is an absolute path or "
                              "tcp://HOST:PORT")
            .arg(quoted(match.capturedView(1)));
    return {};
}

QString devicePathForPort(int portNumber) {
#ifdef Q_OS_WIN
    return portNumber >= 1 ? QStringLiteral("COM%1").arg(portNumber) : QString();
#else
    struct Range {
        int first;
        int last;
        const char *prefix;
    };
    static constexpr Range table[] = {
        {1, 32, "/dev/ttyS"},
        {33, 64, "/dev/ttyUSB"},
        {65, 96, "/dev/ttyACM"},
        {100, 250, "/dev/pts/"},
    };
    for (const Range &range : table) {
        if (portNumber >= range.first && portNumber <= range.last)
            return QLatin1String(range.prefix) + QString::number(portNumber - range.first);
    }
    return {};
#endif
}

QString PortMap::devicePath(int portNumber) const {
    return m_devices.value(portNumber, devicePathForPort(portNumber));
}

PortTarget PortTarget::number(int portNumber, const PortMap &map) {
    PortTarget target;
    target.m_number = portNumber;
    target.m_device = map.devicePath(portNumber);
    target.m_problem = map.problem(portNumber);
    return target;
}

PortTarget PortTarget::device(const QString &path) {
    PortTarget target;
    target.m_named = true;
    target.m_device = path;
    return target;
}

QString PortTarget::label() const {
    if (m_named)
        return m_device;
    const QString com = QStringLiteral("COM %1").arg(m_number);
    return m_device.isEmpty() ? com : QStringLiteral("%1 (%2)").arg(m_device, com);
}

QDebug operator<<(QDebug debug, const PortTarget &target) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "PortTarget(" << target.label() << ')';
    return debug;
}
