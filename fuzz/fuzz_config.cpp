// Feeds arbitrary bytes to the display.cfg reader. Besides crashes and sanitizer reports, it checks
// that whatever the reader accepts is written back and read again unchanged, wherever the format
// can carry it (a row holding a double quote cannot be written), once the writing has settled:
// written in Latin-1, text that is valid UTF-8 ("Ã©") reads again as UTF-8 ("é").

#include "configstore.h"
#include "failure.h"
#include "pageset.h"

#include <QBuffer>

#include <cstdlib>

namespace {

bool readFrom(const QByteArray &bytes, qint16 &portNumber, PageSet &pages,
              QString *failure = nullptr) {
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    try {
        ConfigStore::read(buffer, QStringLiteral("fuzz input"), portNumber, pages);
        return true;
    } catch (const Failure &refused) {
        if (failure)
            *failure = refused.text();
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

    // Each write that reads back otherwise has turned UTF-8 sequences into single characters, so
    // it is shorter than the one before: the writing settles.
    QByteArray written = ConfigStore::serialize(portNumber, pages);
    for (;;) {
        qint16 again = 0;
        PageSet reread;
        QString failure;
        if (!readFrom(written, again, reread, &failure)) {
            // Only Latin-1 text that reads as UTF-8 beyond Latin-1 may be refused.
            if (!written.isValidUtf8() || !failure.contains(QLatin1String("cannot show")))
                std::abort();
            return 0;
        }
        if (again != portNumber)
            std::abort();
        const QByteArray rewritten = ConfigStore::serialize(again, reread);
        if (rewritten == written)
            return 0;
        if (!written.isValidUtf8() || rewritten.size() >= written.size())
            std::abort();
        written = rewritten;
    }
}
