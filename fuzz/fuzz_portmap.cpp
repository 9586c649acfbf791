// Feeds arbitrary bytes to the ports.conf reader, as the file beside display.cfg. Besides
// crashes and sanitizer reports, it checks that each number the file names either opens a
// device or says why it opens nothing, and that the usable entries, written back one a line,
// are read again unchanged.

#include "portmapfile.h"
#include "settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

PortMapLoad loaded(const QTemporaryDir &dir, const QByteArray &bytes) {
    QFile file(dir.filePath(QString(PortMapFile::FileName)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();
    return PortMapFile::load({dir.path()});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QTemporaryDir dir;
    const PortMapLoad first =
        loaded(dir, QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));

    QByteArray again;
    for (int number = 1; number <= Settings::PortCount; ++number) {
        if (!first.map.contains(number))
            continue;
        const QString device = first.map.devicePath(number);
        if (device.isEmpty() == first.map.problem(number).isEmpty())
            std::abort(); // a number opens a device, or says why it opens none
        if (!device.isEmpty())
            again += QByteArray::number(number) + "=\"" + device.toUtf8() + "\"\n";
    }
    const PortMapLoad second = loaded(dir, again);
    if (!second.problems.isEmpty())
        std::abort();
    for (int number = 1; number <= Settings::PortCount; ++number) {
        const bool usable = first.map.contains(number) && first.map.problem(number).isEmpty();
        if (usable != second.map.contains(number) ||
            (usable && second.map.devicePath(number) != first.map.devicePath(number)))
            std::abort();
    }
    return 0;
}
