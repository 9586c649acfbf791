#include "filesources.h"

#include "bytetext.h"
#include "filereading.h"
#include "regularfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTimeZone>

using namespace FileReading;

namespace {

// The feed of a whole plant's analysers, every parameter of every device: far below this.
constexpr qint64 MaxJsonBytes = 16 * 1024 * 1024;
// Milliseconds since 1970 that QDateTime shows as a year of four digits.
constexpr double LatestMs = 253402300799999.0;

std::optional<double> numberOf(const QJsonValue &value) {
    if (value.isDouble())
        return value.toDouble();
    if (value.isString())
        return numberIn(value.toString(), false);
    return std::nullopt;
}

// The devices that give one parameter, each once, in the file's order. Two of them leave open
// which stack a figure belongs to: taking the newest would show one stack's figure as another's.
struct Givers {
    QStringList ids;    // as the file writes them: a string as it is, anything else as JSON
    QSet<QString> seen; // by JSON text, so that "1" and 1 stay two devices

    void add(const QJsonValue &id) {
        const QByteArray json = QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact);
        const QString text = QString::fromUtf8(json.sliced(1, json.size() - 2));
        if (!seen.contains(text)) {
            seen.insert(text);
            ids << (id.isString() ? id.toString() : text);
        }
    }
    // "s1 and s2", "s1, s2 and s3"; a plant of many stacks is cut short.
    QString said() const {
        constexpr qsizetype Shown = 6;
        QStringList names;
        for (qsizetype i = 0; i < qMin(ids.size(), Shown); ++i)
            names << quoted(ids.at(i));
        const QString last = ids.size() > Shown ? QStringLiteral("%1 more").arg(ids.size() - Shown)
                                                : names.takeLast();
        return QStringLiteral("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
    }
};

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
    Givers givers;
    double newestMs = -1;
    QJsonObject newest;
    Ahead ahead;
    for (const QJsonValue &entry : devices) {
        const QJsonObject object = entry.toObject();
        if (!device.isEmpty() && object.value(QLatin1String("deviceId")).toString() != device)
            continue;
        bool gives = false;
        for (const QJsonValue &param : object.value(QLatin1String("params")).toArray()) {
            const QJsonObject reading = param.toObject();
            if (reading.value(QLatin1String("parameter"))
                    .toString()
                    .compare(parameter, Qt::CaseInsensitive) != 0)
                continue;
            named = gives = true;
            const QJsonValue stamp = reading.value(QLatin1String("timestamp"));
            const double ms = stamp.isDouble() ? std::floor(stamp.toDouble()) : -1;
            if (ms < 0 || ms > LatestMs)
                continue;
            if (const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(ms), QTimeZone::utc());
                isAhead(time, now)) {
                ahead.add(time);
            } else if (ms > newestMs) {
                newestMs = ms;
                newest = reading;
            }
        }
        if (gives && device.isEmpty())
            givers.add(object.value(QLatin1String("deviceId")));
    }
    const QString where =
        device.isEmpty() ? QString() : QStringLiteral(" of device %1").arg(quoted(device));
    if (!named)
        return failed(section, QStringLiteral("no parameter %1%2").arg(quoted(parameter), where));
    if (givers.ids.size() > 1)
        return failed(section, QStringLiteral("%1 is given by devices %2; name one with device =")
                                   .arg(quoted(parameter), givers.said()));
    if (newestMs < 0 && ahead.count > 0)
        return failed(
            section,
            ahead.problem(QStringLiteral("reading of %1%2").arg(quoted(parameter), where)));
    if (newestMs < 0)
        return failed(
            section,
            QStringLiteral("no reading of %1%2 with a timestamp").arg(quoted(parameter), where));
    const QStringList notes =
        ahead.count == 0 ? QStringList()
                         : QStringList{ahead.note(
                               QStringLiteral("%1 %2").arg(section.kind, section.target),
                               QStringLiteral("reading of %1%2").arg(quoted(parameter), where))};
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(qint64(newestMs), QTimeZone::utc());
    const std::optional<double> value = numberOf(newest.value(QLatin1String("value")));
    if (!value) {
        Reading reading = failed(section, QStringLiteral("the reading of %1 at %2 is not a number")
                                              .arg(quoted(parameter), timeText(time)));
        reading.notes = notes;
        return reading;
    }
    const QJsonValue flagValue = newest.value(QLatin1String("flag"));
    QString flag;
    if (!flagValue.isUndefined() && !flagValue.isNull()) {
        flag = flagValue.isString() ? flagValue.toString() : QStringLiteral("?");
        if (accepted.contains(flag))
            flag.clear();
    }
    Reading reading = judged(section, *value, time, flag, now);
    reading.notes = notes;
    return reading;
}

Reading readFileSource(const SourceSection &section, const QDateTime &now) {
    if (section.kind == QLatin1String("csv"))
        return CsvSource::readFile(section, now);
    QByteArray bytes;
    try {
        bytes = RegularFile::read(section.target, MaxJsonBytes);
    } catch (const Failure &failure) {
        return failed(section, failure.text());
    }
    return readJsonReadings(bytes, section, now);
}
