#include "filesources.h"

#include "regularfile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>

#include <cmath>

namespace {

// The feed of a whole plant's analysers, every parameter of every device: far below this.
constexpr qint64 MaxJsonBytes = 16 * 1024 * 1024;
// Milliseconds since 1970 that QDateTime shows as a year of four digits.
constexpr double LatestMs = 253402300799999.0;
constexpr qsizetype MaxQuoted = 40;

QString quoted(const QString &text) {
    return text.size() <= MaxQuoted ? text : text.left(MaxQuoted) + QChar(0x2026);
}

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

// The chosen figure judged: flagged before stale, since a flag says more than an age.
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

std::optional<double> numberOf(const QJsonValue &value) {
    if (value.isDouble())
        return value.toDouble();
    if (value.isString()) {
        bool ok = false;
        const double number = QLocale::c().toDouble(value.toString().trimmed(), &ok);
        if (ok && std::isfinite(number))
            return number;
    }
    return std::nullopt;
}

// ---- CSV ----------------------------------------------------------------------------------------

struct CsvText {
    QString header;
    QStringList rows; // whole lines only, oldest first
};

CsvText readCsv(const QString &path) {
    const std::unique_ptr<QFile> file = RegularFile::open(path);
    QByteArray head = file->read(CsvSource::MaxHeaderBytes);
    const qsizetype headerEnd = head.indexOf('\n');
    if (headerEnd < 0)
        throw Failure(QStringLiteral("%1: no header line").arg(path));
    CsvText text;
    text.header = QString::fromUtf8(head.first(headerEnd));
    if (text.header.startsWith(QChar(0xfeff)))
        text.header.remove(0, 1);

    // Read from one byte before the tail, to see whether the tail begins with a whole line.
    const qint64 size = file->size();
    const qint64 from = qMax<qint64>(headerEnd, size - CsvSource::MaxTailBytes - 1);
    if (!file->seek(from))
        throw Failure(QStringLiteral("%1: %2").arg(path, file->errorString()));
    QByteArray tail = file->read(CsvSource::MaxTailBytes + 1);
    const qsizetype firstEnd = tail.indexOf('\n');
    tail = firstEnd < 0 ? QByteArray() : tail.sliced(firstEnd + 1);
    // A last line without its line end is still being written: its figure may be cut short.
    tail.truncate(tail.lastIndexOf('\n') + 1);
    for (QByteArray line : tail.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            text.rows.append(QString::fromUtf8(line));
    }
    return text;
}

qsizetype columnOf(const QStringList &header, const QString &name) {
    for (qsizetype i = 0; i < header.size(); ++i) {
        if (header.at(i).trimmed().compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<double> csvNumber(QString text, QChar delimiter) {
    text = text.trimmed();
    bool ok = false;
    double number = QLocale::c().toDouble(text, &ok);
    // Where ';' or a tab separates fields, ',' may be the decimal mark (7,12).
    if (!ok && delimiter != u',' && text.count(u',') == 1)
        number = QLocale::c().toDouble(QString(text).replace(u',', u'.'), &ok);
    if (ok && std::isfinite(number))
        return number;
    return std::nullopt;
}

Reading readCsvSource(const SourceSection &section, const QDateTime &now) {
    CsvText text;
    try {
        text = readCsv(section.target);
    } catch (const Failure &failure) {
        return failed(section, failure.text());
    }
    const QChar delimiter = CsvSource::delimiterOf(text.header);
    const QStringList header = CsvSource::fields(text.header, delimiter);
    const QString columnName = section.options.value(QStringLiteral("column"));
    const qsizetype column = columnOf(header, columnName);
    if (column < 0)
        return failed(section, QStringLiteral("no column %1").arg(quoted(columnName)));
    qsizetype timeColumn = 0;
    QString timeName = header.value(0);
    if (section.options.contains(QStringLiteral("time-column"))) {
        timeName = section.options.value(QStringLiteral("time-column"));
        timeColumn = columnOf(header, timeName);
        if (timeColumn < 0)
            return failed(section, QStringLiteral("no column %1").arg(quoted(timeName)));
    }

    QDateTime newest;
    QString newestValue;
    for (const QString &row : std::as_const(text.rows)) {
        const QStringList cells = CsvSource::fields(row, delimiter);
        const QDateTime time = CsvSource::parseTime(cells.value(timeColumn));
        if (time.isValid() && (!newest.isValid() || time >= newest)) {
            newest = time;
            newestValue = cells.value(column);
        }
    }
    if (!newest.isValid())
        return failed(section,
                      QStringLiteral("no row with a time in column %1").arg(quoted(timeName)));
    const std::optional<double> value = csvNumber(newestValue, delimiter);
    if (!value)
        return failed(section, QStringLiteral("\"%1\" at %2 is not a number")
                                   .arg(quoted(newestValue.trimmed()), timeText(newest)));
    return judged(section, *value, newest, {}, now);
}

} // namespace

Reading readJsonReadings(const QByteArray &bytes, const SourceSection &section,
                         const QDateTime &now) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return failed(section, QStringLiteral("not JSON: %1 at offset %2")
                                   .arg(error.errorString(), QString::number(error.offset)));
    const QJsonArray devices =
        document.isObject() ? QJsonArray{document.object()} : document.array();
    const QString parameter = section.options.value(QStringLiteral("parameter"));
    const QString device = section.options.value(QStringLiteral("device"));
    QStringList accepted{QStringLiteral("U")};
    if (section.options.contains(QStringLiteral("accept-flags")))
        accepted = section.options.value(QStringLiteral("accept-flags")).split(u',');
    for (QString &flag : accepted)
        flag = flag.trimmed();

    bool named = false;
    double newestMs = -1;
    QJsonObject newest;
    for (const QJsonValue &entry : devices) {
        const QJsonObject object = entry.toObject();
        if (!device.isEmpty() && object.value(QLatin1String("deviceId")).toString() != device)
            continue;
        for (const QJsonValue &param : object.value(QLatin1String("params")).toArray()) {
            const QJsonObject reading = param.toObject();
            if (reading.value(QLatin1String("parameter"))
                    .toString()
                    .compare(parameter, Qt::CaseInsensitive) != 0)
                continue;
            named = true;
            const QJsonValue stamp = reading.value(QLatin1String("timestamp"));
            const double ms = stamp.isDouble() ? std::floor(stamp.toDouble()) : -1;
            if (ms >= 0 && ms <= LatestMs && ms > newestMs) {
                newestMs = ms;
                newest = reading;
            }
        }
    }
    const QString where =
        device.isEmpty() ? QString() : QStringLiteral(" of device %1").arg(quoted(device));
    if (!named)
        return failed(section, QStringLiteral("no parameter %1%2").arg(quoted(parameter), where));
    if (newestMs < 0)
        return failed(
            section,
            QStringLiteral("no reading of %1%2 with a timestamp").arg(quoted(parameter), where));
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(newestMs), QTimeZone::utc());
    const std::optional<double> value = numberOf(newest.value(QLatin1String("value")));
    if (!value)
        return failed(section, QStringLiteral("the reading of %1 at %2 is not a number")
                                   .arg(quoted(parameter), timeText(time)));
    const QJsonValue flagValue = newest.value(QLatin1String("flag"));
    QString flag;
    if (!flagValue.isUndefined() && !flagValue.isNull()) {
        flag = flagValue.isString() ? flagValue.toString() : QStringLiteral("?");
        if (accepted.contains(flag))
            flag.clear();
    }
    return judged(section, *value, time, flag, now);
}

Reading readFileSource(const SourceSection &section, const QDateTime &now) {
    if (section.kind == QLatin1String("csv"))
        return readCsvSource(section, now);
    QByteArray bytes;
    try {
        bytes = RegularFile::read(section.target, MaxJsonBytes);
    } catch (const Failure &failure) {
        return failed(section, failure.text());
    }
    return readJsonReadings(bytes, section, now);
}

namespace CsvSource {

QStringList fields(const QString &line, QChar delimiter) {
    QStringList cells{QString()};
    bool inQuotes = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == u'"') {
            if (inQuotes && i + 1 < line.size() && line.at(i + 1) == u'"') {
                cells.last() += c;
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (c == delimiter && !inQuotes) {
            cells.append(QString());
        } else {
            cells.last() += c;
        }
    }
    return cells;
}

QChar delimiterOf(const QString &header) {
    int counts[3] = {};
    const QChar candidates[3] = {u',', u';', u'\t'};
    bool inQuotes = false;
    for (const QChar c : header) {
        if (c == u'"')
            inQuotes = !inQuotes;
        for (int k = 0; k < 3 && !inQuotes; ++k)
            counts[k] += c == candidates[k];
    }
    int best = 0;
    for (int k = 1; k < 3; ++k) {
        if (counts[k] > counts[best])
            best = k;
    }
    return candidates[best];
}

QDateTime parseTime(const QString &text) {
    static const QRegularExpression iso(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)"
        R"(\s*(Z|[+-]\d{2}(?::?\d{2})?)?$)"));
    static const QRegularExpression dayFirst(
        QStringLiteral(R"(^(\d{1,2})-(\d{1,2})-(\d{4}) (\d{1,2}):(\d{2})(?::(\d{2}))?$)"));
    const QString trimmed = text.trimmed();
    QDate date;
    QTime time;
    QString offset;
    if (const QRegularExpressionMatch m = iso.match(trimmed); m.hasMatch()) {
        const int ms =
            m.captured(7).isEmpty() ? 0 : m.captured(7).left(3).leftJustified(3, u'0').toInt();
        date = QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
        offset = m.captured(8);
    } else if (const QRegularExpressionMatch d = dayFirst.match(trimmed); d.hasMatch()) {
        date = QDate(d.captured(3).toInt(), d.captured(2).toInt(), d.captured(1).toInt());
        time = QTime(d.captured(4).toInt(), d.captured(5).toInt(), d.captured(6).toInt());
    }
    if (!date.isValid() || !time.isValid())
        return {};
    if (offset.isEmpty())
        return QDateTime(date, time).toUTC();
    if (offset == QLatin1String("Z"))
        return QDateTime(date, time, QTimeZone::utc());
    const QString digits = QString(offset).remove(u':');
    const int hours = digits.mid(1, 2).toInt();
    const int minutes = digits.size() > 3 ? digits.mid(3, 2).toInt() : 0;
    if (hours > 14 || minutes > 59)
        return {};
    const int seconds = (hours * 3600 + minutes * 60) * (offset.startsWith(u'-') ? -1 : 1);
    return QDateTime(date, time, QTimeZone(seconds)).toUTC();
}

} // namespace CsvSource
