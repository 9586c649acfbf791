#pragma once

#include "reading.h"
#include "sources.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The monitoring system's files as sources of live values.
//
// json: the readings monitoring servers exchange, an array of devices each with its parameters,
//   [{"deviceId": "stack-1", "params": [{"parameter": "cod", "value": 198, "unit": "mg/l",
//     "timestamp": 1441686170004, "flag": "U"}]}]
//   (a single device object is taken too). The newest reading of the parameter counts; a flag
//   other than the accepted ones (U unless accept-flags says more) makes it unavailable.
// csv: an export that grows a row at a time (RFC 4180: a quoted field may hold line ends). Its
//   header and its last MaxTailBytes are read; the row with the newest time counts.
//
// A reading dated more than FutureSlack ahead of now is never current: it is passed over, and
// named in the reading's notes. Numbers never have a thousands separator; where a CSV's fields
// are separated by ';' or a tab, a comma is the decimal mark (7,125 is 7.125).

// How far a source's clock may run ahead of this machine's.
inline constexpr qint64 FutureSlackSeconds = 2 * 60;

// The reading of one json or csv section, judged at now (UTC). Never throws.
Reading readFileSource(const SourceSection &section, const QDateTime &now);

Reading readJsonReadings(const QByteArray &bytes, const SourceSection &section,
                         const QDateTime &now);

namespace CsvSource {

// The end of the file read for its newest rows: a day of minute rows is far less.
inline constexpr qint64 MaxTailBytes = 1024 * 1024;
// A header longer than this is not a header.
inline constexpr qint64 MaxHeaderBytes = 64 * 1024;

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
