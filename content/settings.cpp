#include "settings.h"

namespace Settings {

QStringList portEntries() {
    QStringList entries;
    entries.reserve(PortCount);
    for (int number = 1; number <= PortCount; ++number)
        entries << QStringLiteral("COM %1").arg(number);
    return entries;
}

QStringList delayEntries() {
    QStringList entries;
    for (int seconds = DelayMinSeconds; seconds <= DelayMaxSeconds; ++seconds)
        entries << QString::number(seconds);
    return entries;
}

std::optional<int> portPositionForNumber(int portNumber) {
    if (portNumber < 0 || portNumber > PortCount)
        return std::nullopt;
    return portNumber - 1;
}

} // namespace Settings
