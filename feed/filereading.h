#pragma once

#include "reading.h"
#include "sources.h"

#include <QDateTime>
#include <QString>

#include <optional>

// What the monitoring system's JSON and CSV readers share: a figure judged against its flag and
// its age, numbers as a person writes them in a file, and readings dated ahead of this machine's
// clock.
namespace FileReading {

// A section's reading that failed for problem.
Reading failed(const SourceSection &section, const QString &problem);
QString timeText(const QDateTime &time);
// The chosen figure judged: flagged before stale, since a flag says more than an age.
Reading judged(const SourceSection &section, double value, const QDateTime &time,
               const QString &flag, const QDateTime &now);
// A number as a person writes it in a file: no thousands separator ever, and a comma as the
// decimal mark only where the file says so (7,125 is 7.125; 1.234 and 1.234,5 are no number).
std::optional<double> numberIn(QString text, bool decimalComma);
// A figure written with a decimal comma (7,125): what shows a file's decimal mark.
bool writesDecimalComma(const QString &text);
bool isAhead(const QDateTime &time, const QDateTime &now);

// The rows passed over because their time lies ahead of this machine's clock.
struct Ahead {
    int count = 0;
    QDateTime latest;

    void add(const QDateTime &time);
    QString note(const QString &source, const QString &what) const;
    QString problem(const QString &what) const;
};

} // namespace FileReading
