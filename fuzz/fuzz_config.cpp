// Feeds arbitrary bytes to the display.cfg reader. Besides crashes and sanitizer reports, it checks
// that whatever the reader accepts is written back and read again unchanged, wherever the format
// can carry it (a row holding a double quote cannot be written).

#include "configstore.h"
#include "failure.h"
#include "pageset.h"

#include <QBuffer>

#include <cstdlib>

namespace {

bool readFrom(const QByteArray &bytes, qint16 &portNumber, PageSet &pages) {
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    try {
        ConfigStore::read(buffer, QStringLiteral("fuzz input"), portNumber, pages);
        return true;
    } catch (const Failure &) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    qint16 portNumber = 1;
    PageSet pages;
    if (!readFrom(input, portNumber, pages))
        return 0;

    for (int i = 0; i < PageSet::RowCount; ++i) {
        const QString &row = pages.row(i);
        if (row.contains(QLatin1Char('\r')) || row.contains(QLatin1Char('\n')))
            std::abort(); // a line end always ends a value
        if (row.contains(QLatin1Char('"')))
            return 0;
    }

    qint16 again = 0;
    PageSet reread;
    if (!readFrom(ConfigStore::serialize(portNumber, pages), again, reread) ||
        again != portNumber || reread != pages)
        std::abort();
    return 0;
}
