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
// csv: an export that grows a row at a time. Its header and its last MaxTailBytes are read; the
//   row with the newest time counts.

// The reading of one json or csv section, judged at now (UTC). Never throws.
Reading readFileSource(const SourceSection &section, const QDateTime &now);

Reading readJsonReadings(const QByteArray &bytes, const SourceSection &section,
                         const QDateTime &now);

namespace CsvSource {

// The end of the file read for its newest rows: a day of minute rows is far less.
inline constexpr qint64 MaxTailBytes = 1024 * 1024;
// A header longer than this is not a header.
inline constexpr qint64 MaxHeaderBytes = 64 * 1024;

// The fields of one line; double quotes keep delimiters, and "" inside them is one quote.
QStringList fields(const QString &line, QChar delimiter);
// ',', ';' or '\t', whichever the header holds most of outside quotes (',' when none).
QChar delimiterOf(const QString &header);
// ISO 8601 with 'T' or a space, or dd-mm-yyyy HH:MM[:SS]; local time unless an offset is given.
// Invalid when the text is neither.
QDateTime parseTime(const QString &text);

} // namespace CsvSource
