#pragma once

#include "csvsource.h"
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
//   other than the accepted ones (U unless accept-flags says more) makes it unavailable. Where
//   several devices give the parameter, the section names one with device =.
// csv: an export that grows a row at a time (RFC 4180: a quoted field may hold line ends). Its
//   header and its last MaxTailBytes are read; the row with the newest time counts.
//
// A reading dated more than FutureSlack ahead of now is never current: it is passed over, and
// named in the reading's notes. Numbers never have a thousands separator. A CSV has one decimal
// mark: decimal = comma or point says which; without it, where the fields are separated by ';'
// or a tab and a figure of the value column has a decimal comma (7,125 is 7.125), a dot is
// refused, and elsewhere a dot is the decimal mark.

// How far a source's clock may run ahead of this machine's.
inline constexpr qint64 FutureSlackSeconds = 2 * 60;

// The reading of one json or csv section, judged at now (UTC). Never throws.
Reading readFileSource(const SourceSection &section, const QDateTime &now);

Reading readJsonReadings(const QByteArray &bytes, const SourceSection &section,
                         const QDateTime &now);
