#pragma once

#include "reading.h"
#include "sources.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A csv source: an export that grows a row at a time, read from its header and its end.
namespace CsvSource {

// The end of the file read for its newest rows: a day of minute rows is far less.
inline constexpr qint64 MaxTailBytes = 1024 * 1024;
// A header longer than this is not a header.
inline constexpr qint64 MaxHeaderBytes = 64 * 1024;

// The reading of a csv section from its file: the header and the last MaxTailBytes.
Reading readFile(const SourceSection &section, const QDateTime &now);

// The reading of a csv section from the file's first bytes (head, at most MaxHeaderBytes) and
// its last ones (tail, from byte tailStart of the file to its end). A tail that begins after the
// header is read from a known record start; one that begins further in starts at the first line
// from which the quotes balance, and only rows with the header's count of fields are read.
Reading read(const QByteArray &head, const QByteArray &tail, qint64 tailStart,
             const SourceSection &section, const QDateTime &now);

// ',', ';' or '\t', whichever the header holds most of outside quotes (',' when none).
char delimiterOf(QByteArrayView header);

struct Time {
    QDateTime utc;        // invalid when the text is no time, or no instant
    bool skipped = false; // a local time the clock jumped over (when summer time begins)
};
// ISO 8601 with 'T' or a space, or dd-mm-yyyy HH:MM[:SS]; local time unless an offset is given.
// A local time the clock shows twice (when summer time ends) is its earlier instant.
Time parseTime(const QString &text);

} // namespace CsvSource
