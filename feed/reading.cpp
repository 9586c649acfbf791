#include "reading.h"

#include <QLocale>

#include <charconv>
#include <cmath>
#include <limits>

QString stateName(Reading::State state) {
    switch (state) {
    case Reading::State::Ok:
        return QStringLiteral("ok");
    case Reading::State::Stale:
        return QStringLiteral("stale");
    case Reading::State::Flagged:
        return QStringLiteral("flagged");
    case Reading::State::Failed:
        break;
    }
    return QStringLiteral("failed");
}

double meantNumber(double value, bool float32) {
    if (!float32 || !(std::fabs(value) <= std::numeric_limits<float>::max()))
        return value;
    // The float's shortest digits (at most nine) read as a double are the same digits. Neither
    // side heeds the locale.
    char digits[32];
    const auto made = std::to_chars(digits, digits + sizeof digits, float(value));
    double meant = value;
    if (made.ec != std::errc() || std::from_chars(digits, made.ptr, meant).ec != std::errc())
        return value;
    return meant;
}

QString numberText(double value, bool float32) {
    return QString::number(meantNumber(value, float32), 'g', QLocale::FloatingPointShortest);
}
