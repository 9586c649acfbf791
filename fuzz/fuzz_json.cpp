// Feeds arbitrary bytes to the reader of the monitoring system's JSON feed, asking for the
// parameter "cod" of any device (or of device "s1" when the input's length is odd). Besides
// crashes and sanitizer reports, it checks what holds for every reading.

#include "readingcheck.h"

#include <QTimeZone>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    SourceSection section;
    section.name = QStringLiteral("cod");
    section.kind = QStringLiteral("json");
    section.target = QStringLiteral("/fuzz/latest.json");
    section.options.insert(QStringLiteral("parameter"), QStringLiteral("cod"));
    section.options.insert(QStringLiteral("accept-flags"), QStringLiteral("U, C"));
    if (size % 2)
        section.options.insert(QStringLiteral("device"), QStringLiteral("s1"));
    const QDateTime now(QDate(2026, 12, 8), QTime(10, 0), QTimeZone::utc());

    checkReading(readJsonReadings(bytes, section, now), now);
    return 0;
}
