#include "filereading.h"

#include "bytetext.h"
#include "filesources.h"

#include <QLocale>

#include <chrono>
#include <cmath>

namespace {

QString ageText(std::chrono::seconds age) {
    const qint64 s = age.count();
    if (s % 86400 == 0)
        return QStringLiteral("%1d").arg(s / 86400);
    if (s % 3600 == 0)
        return QStringLiteral("%1h").arg(s / 3600);
    if (s % 60 == 0)
        return QStringLiteral("%1m").arg(s / 60);
    return QStringLiteral("%1s").arg(s);
}

} // namespace

namespace FileReading {

Reading failed(const SourceSection &section, const QString &problem) {
    Reading reading;
    reading.name = section.name;
    reading.source = QStringLiteral("%1 %2").arg(section.kind, section.target);
    reading.problem = problem;
    return reading;
}

QString timeText(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

Reading judged(const SourceSection &section, double value, const QDateTime &time,
               const QString &flag, const QDateTime &now) {
    Reading reading = failed(section, {});
    reading.value = value;
    reading.time = time.toUTC();
    if (!flag.isEmpty()) {
        reading.state = Reading::State::Flagged;
        reading.problem = QStringLiteral("flagged %1 at %2").arg(quoted(flag), timeText(time));
    } else if (time.secsTo(now) > section.maxAge.count()) {
        reading.state = Reading::State::Stale;
        reading.problem = QStringLiteral("stale: measured %1, more than %2 ago")
                              .arg(timeText(time), ageText(section.maxAge));
    } else {
        reading.state = Reading::State::Ok;
    }
    return reading;
}

std::optional<double> numberIn(QString text, bool decimalComma) {
    text = text.trimmed();
    if (decimalComma) {
        // Where a comma is the decimal mark, a dot can only group thousands.
        if (text.contains(u'.'))
            return std::nullopt;
        if (text.count(u',') == 1)
            text.replace(u',', u'.');
    }
    static const QLocale plain = [] {
        QLocale locale = QLocale::c();
        locale.setNumberOptions(QLocale::RejectGroupSeparator);
        return locale;
    }();
    bool ok = false;
    const double number = plain.toDouble(text, &ok);
    if (ok && std::isfinite(number))
        return number;
    return std::nullopt;
}

bool writesDecimalComma(const QString &text) {
    return text.contains(u',') && numberIn(text, true).has_value();
}

bool isAhead(const QDateTime &time, const QDateTime &now) {
    return now.secsTo(time) > FutureSlackSeconds;
}

void Ahead::add(const QDateTime &time) {
    ++count;
    if (!latest.isValid() || time > latest)
        latest = time;
}
QString Ahead::note(const QString &source, const QString &what) const {
    return count == 1 ? QStringLiteral("%1: a %2 dated %3, ahead of this machine's clock, "
                                       "skipped")
                            .arg(source, what, timeText(latest))
                      : QStringLiteral("%1: %2 %3s dated ahead of this machine's clock "
                                       "skipped, the latest %4")
                            .arg(source, QString::number(count), what, timeText(latest));
}
QString Ahead::problem(const QString &what) const {
    return QStringLiteral("the newest %1 is dated %2, ahead of this machine's clock")
        .arg(what, timeText(latest));
}

} // namespace FileReading
