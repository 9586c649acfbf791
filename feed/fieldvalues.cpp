#include "fieldvalues.h"

#include "failure.h"
#include "regularfile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

const QString FieldValues::DateName = QStringLiteral("date");
const QString FieldValues::TimeName = QStringLiteral("time");
const QString FieldValues::UpdatedName = QStringLiteral("updated");

namespace {

QString builtInReason(const QString &name) {
    return QStringLiteral("\"%1\" is built in (the %1 of the upload) and cannot be given")
        .arg(name);
}

QString jsonKind(const QJsonValue &value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("true or false");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("undefined");
    }
}

Failure readFailure(const QString &name, const QString &why) {
    return Failure(QStringLiteral("Cannot read %1: %2").arg(name, why));
}

FieldValue settingValue(const QString &text) {
    static const QRegularExpression plainDecimal(QStringLiteral("^-?(0|[1-9][0-9]*)(\\.[0-9]+)?$"));
    if (plainDecimal.match(text).hasMatch()) {
        bool ok = false;
        const double number = text.toDouble(&ok);
        if (ok && std::isfinite(number))
            return number;
    }
    return text;
}

} // namespace

bool FieldValues::isBuiltIn(const QString &name) {
    return name == DateName || name == TimeName;
}

bool FieldValues::isNameCharacter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
           u == '.' || u == '-';
}

void FieldValues::readJsonFile(const QString &path) {
    readJson(RegularFile::read(path, MaxFileSize), path);
}

void FieldValues::readJson(const QByteArray &bytes, const QString &name) {
    if (bytes.size() > MaxFileSize)
        throw readFailure(
            name,
            QStringLiteral("the file is larger than %1").arg(RegularFile::sizeText(MaxFileSize)));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw readFailure(name, QStringLiteral("not JSON: %1 at offset %2")
                                    .arg(error.errorString(), QString::number(error.offset)));
    if (!document.isObject())
        throw readFailure(name, QStringLiteral("not a JSON object of names and values"));

    QMap<QString, std::optional<FieldValue>> read;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (isBuiltIn(it.key()))
            throw readFailure(name, builtInReason(it.key()));
        if (it.value().isDouble())
            read.insert(it.key(), it.value().toDouble());
        else if (it.value().isString())
            read.insert(it.key(), it.value().toString());
        else if (it.value().isNull()) // a logger's way of saying it has no figure
            read.insert(it.key(), std::nullopt);
        else
            throw readFailure(name, QStringLiteral("\"%1\" is %2; a value is a number or a text")
                                        .arg(it.key(), jsonKind(it.value())));
    }
    for (auto it = read.cbegin(); it != read.cend(); ++it)
        m_fileOf.insert(it.key(), name);
    m_fromFiles.insert(read);
    m_given = true;
}

void FieldValues::set(const QString &assignment) {
    const auto fail = [&](const QString &why) {
        return Failure(QStringLiteral("Setting \"%1\": %2").arg(assignment, why));
    };
    const qsizetype equals = assignment.indexOf(QLatin1Char('='));
    if (equals < 0)
        throw fail(QStringLiteral("no '=' between name and value"));
    const QString name = assignment.left(equals);
    if (name.isEmpty())
        throw fail(QStringLiteral("empty name"));
    for (const QChar c : name) {
        if (!isNameCharacter(c))
            throw fail(QStringLiteral("'%1' cannot be part of a name (letters, digits, _, . and -)")
                           .arg(c));
    }
    if (isBuiltIn(name))
        throw fail(builtInReason(name));
    m_fromSettings.insert(name, settingValue(assignment.mid(equals + 1)));
    m_given = true;
}

std::optional<FieldValue> FieldValues::value(const QString &name) const {
    if (const auto it = m_fromSettings.find(name); it != m_fromSettings.end())
        return *it;
    if (const auto it = m_fromFiles.find(name); it != m_fromFiles.end())
        return *it;
    if (const auto it = m_fromSources.find(name); it != m_fromSources.end() && it->ok())
        return *it->value;
    return std::nullopt;
}

bool FieldValues::isFloat32(const QString &name) const {
    const auto it = m_fromSources.find(name);
    return it != m_fromSources.end() && it->float32 && !m_fromSettings.contains(name) &&
           !m_fromFiles.contains(name);
}

bool FieldValues::gives(const QString &name) const {
    return m_fromSettings.contains(name) || m_fromFiles.contains(name) ||
           m_fromSources.contains(name);
}

void FieldValues::refuse(const QString &name, const QString &reason) {
    m_refused.insert(name, reason);
}

void FieldValues::noteMissing(const QString &name, const QString &reason) {
    if (!m_refused.contains(name))
        m_missingInRows.insert(name, reason);
}

void FieldValues::addReadings(const Readings &readings) {
    for (const Reading &reading : readings)
        m_fromSources.insert(reading.name, reading);
    m_sourcesConfigured = true;
    m_given = true;
}

bool FieldValues::unavailable(const QString &name) const {
    if (m_refused.contains(name))
        return true;
    if (m_fromSettings.contains(name))
        return false;
    if (const auto it = m_fromFiles.find(name); it != m_fromFiles.end())
        return !it->has_value();
    if (const auto it = m_fromSources.find(name); it != m_fromSources.end())
        return !it->ok();
    return name == UpdatedName && !updated({});
}

std::optional<QDateTime> FieldValues::updated(const QDateTime &now) const {
    // Without a single source the figures are as current as the upload.
    if (!m_sourcesConfigured || m_fromSources.isEmpty())
        return now;
    std::optional<QDateTime> oldest;
    for (const Reading &reading : m_fromSources) {
        if (reading.ok() && reading.time.isValid() && !m_fromSettings.contains(reading.name) &&
            !m_fromFiles.contains(reading.name) && !m_refused.contains(reading.name) &&
            (!oldest || reading.time < *oldest))
            oldest = reading.time;
    }
    return oldest;
}

QStringList FieldValues::unavailableNames() const {
    QStringList names = m_refused.keys() + m_missingInRows.keys();
    for (const QString &name : m_fromSources.keys() + m_fromFiles.keys()) {
        if (unavailable(name))
            names << name;
    }
    names.removeDuplicates();
    names.sort();
    return names;
}

QList<FieldValues::Line> FieldValues::lines() const {
    QMap<QString, Line> lines;
    for (const Reading &reading : m_fromSources) {
        Line line{reading.name,   {}, reading.state, reading.time, reading.source, reading.problem,
                  reading.float32};
        if (reading.value)
            line.value = *reading.value;
        lines.insert(reading.name, line);
    }
    for (auto it = m_fromFiles.cbegin(); it != m_fromFiles.cend(); ++it) {
        const QString file = m_fileOf.value(it.key());
        lines.insert(it.key(),
                     Line{it.key(),
                          *it,
                          it->has_value() ? Reading::State::Ok : Reading::State::Failed,
                          {},
                          QStringLiteral("values %1").arg(file),
                          it->has_value() ? QString() : QStringLiteral("null in %1").arg(file)});
    }
    for (auto it = m_fromSettings.cbegin(); it != m_fromSettings.cend(); ++it)
        lines.insert(it.key(),
                     Line{it.key(), *it, Reading::State::Ok, {}, QStringLiteral("set"), {}});
    const auto failLine = [&lines](const QString &name, const QString &reason) {
        Line &line = lines[name];
        line.name = name;
        line.state = Reading::State::Failed;
        line.problem = reason;
        if (line.source.isEmpty())
            line.source = QStringLiteral("the rows");
    };
    for (auto it = m_refused.cbegin(); it != m_refused.cend(); ++it)
        failLine(it.key(), it.value());
    for (auto it = m_missingInRows.cbegin(); it != m_missingInRows.cend(); ++it) {
        if (!lines.contains(it.key()) || lines.value(it.key()).state == Reading::State::Ok)
            failLine(it.key(), it.value());
    }
    return lines.values();
}

QList<FieldValues::Line> FieldValues::listedLines() const {
    QList<Line> listed = lines();
    if (m_sourcesConfigured && !value(UpdatedName)) {
        const std::optional<QDateTime> oldest = updated({});
        listed.append({UpdatedName,
                       {},
                       oldest ? Reading::State::Ok : Reading::State::Failed,
                       oldest.value_or(QDateTime()),
                       QStringLiteral("the oldest reading in use"),
                       oldest ? QString() : QStringLiteral("no source gave a current reading")});
    }
    return listed;
}

QDebug operator<<(QDebug debug, const FieldValues &values) {
    const QDebugStateSaver saver(debug);
    debug.nospace() << "FieldValues(";
    const auto show = [&](const std::optional<FieldValue> &value) {
        if (!value)
            debug << "null";
        else if (const auto *number = std::get_if<double>(&*value))
            debug << *number;
        else
            debug << std::get<QString>(*value);
        debug << ' ';
    };
    const auto list = [&](const auto &map) {
        for (auto it = map.begin(); it != map.end(); ++it) {
            debug << it.key() << '=';
            show(*it);
        }
    };
    debug << "sources: ";
    for (const Reading &reading : values.m_fromSources)
        debug << reading.name << '=' << stateName(reading.state) << ' ';
    debug << "files: ";
    list(values.m_fromFiles);
    debug << "settings: ";
    list(values.m_fromSettings);
    if (!values.m_refused.isEmpty())
        debug << "refused: " << values.m_refused.keys() << ' ';
    debug << (values.m_given ? "given)" : "not given)");
    return debug;
}
