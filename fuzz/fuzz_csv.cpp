// Feeds arbitrary bytes to the CSV reader as a file read by its head and tail. The first byte
// says where the tail begins (a share of the file, as a file that grew past the tail is read)
// and, when odd, that the section names a time column; the rest is the file. Besides crashes
// and sanitizer reports, it checks what holds for every reading.

#include "readingcheck.h"

#include <QTimeZone>

#include <ctime>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A zone with summer time, so that local times the clock skips or repeats are met.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray file(reinterpret_cast<const char *>(data) + 1,
                          static_cast<qsizetype>(size - 1));
    const qint64 tailStart = file.size() * data[0] / 255;
    SourceSection section;
    section.name = QStringLiteral("v");
    section.kind = QStringLiteral("csv");
    section.target = QStringLiteral("/fuzz/export.csv");
    section.options.insert(QStringLiteral("column"), QStringLiteral("pH"));
    if (data[0] % 2)
        section.options.insert(QStringLiteral("time-column"), QStringLiteral("time"));
    const QDateTime now(QDate(2026, 3, 29), QTime(1, 30), QTimeZone::utc());

    checkReading(
        CsvSource::read(file.first(qMin<qsizetype>(file.size(), CsvSource::MaxHeaderBytes)),
                        file.sliced(tailStart), tailStart, section, now),
        now);
    return 0;
}
