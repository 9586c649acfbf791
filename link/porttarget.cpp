#include "porttarget.h"

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
