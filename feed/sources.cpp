#include "sources.h"

#include "bytetext.h"
#include "filesources.h"
#include "inifile.h"
#include "regularfile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QTimer>

#include <cmath>

namespace {

bool isValueName(const QString &name) {
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    return valid.match(name).hasMatch();
}

// The keys each kind takes beside its own; an analyser's reader judges its own keys.
const QHash<QString, QStringList> &kinds() {
    static const QHash<QString, QStringList> known{
        {QStringLiteral("json"),
         {QStringLiteral("parameter"), QStringLiteral("device"), QStringLiteral("accept-flags")}},
        {QStringLiteral("csv"),
         {QStringLiteral("column"), QStringLiteral("time-column"), QStringLiteral("decimal")}},
        {QStringLiteral("modbus-tcp"), {}},
        {QStringLiteral("modbus-rtu"), {}},
    };
    return known;
}

// A figure no board may show as current: one that is not finite (a scale that overflowed), or
// one outside the section's range.
Reading bounded(Reading reading, const SourceSection &section) {
    if (!reading.value || reading.state == Reading::State::Failed)
        return reading;
    // A float32 is judged as the figure the analyser meant: 7.12 is not below a min of 7.12.
    const double value = meantNumber(*reading.value, reading.float32);
    const QString shown = numberText(value);
    QString problem;
    if (!std::isfinite(value))
        problem = QStringLiteral("%1 is not a finite number").arg(shown);
    else if (section.min && value < *section.min)
        problem = QStringLiteral("%1 below min %2").arg(shown, numberText(*section.min));
    else if (section.max && value > *section.max)
        problem = QStringLiteral("%1 above max %2").arg(shown, numberText(*section.max));
    if (!problem.isEmpty()) {
        reading.state = Reading::State::Failed;
        reading.problem = problem;
    }
    return reading;
}

bool isAnalyser(const QString &kind) {
    return kind.startsWith(QLatin1String("modbus-"));
}

struct RawSection {
    QString name;
    int line = 0;
    QList<std::pair<int, std::pair<QString, QString>>> keys; // (line, (key, value))
    QString problem;                                         // the first bad line's
};

} // namespace

namespace SourcesFile {

std::optional<std::chrono::seconds> parseAge(const QString &text) {
    static const QRegularExpression age(QStringLiteral("^\\s*([0-9]{1,6})\\s*([smhd])\\s*$"));
    const QRegularExpressionMatch match = age.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 count = match.captured(1).toLongLong(); // six digits at most: no overflow
    const QChar unit = match.captured(2).at(0);
    const qint64 each = unit == u's' ? 1 : unit == u'm' ? 60 : unit == u'h' ? 3600 : 86400;
    if (count == 0)
        return std::nullopt;
    return std::chrono::seconds(count * each);
}

SourcesConfig read(const QString &path) {
    QString text = QString::fromUtf8(RegularFile::read(path, MaxFileSize));
    return parse(text, path);
}

SourcesConfig parse(const QString &source, const QString &path) {
    SourcesConfig config;
    config.path = path;
    QList<std::pair<int, QString>> found;
    QList<RawSection> raw;
    for (const IniLine &entry : IniFile::lines(source)) {
        const int line = entry.number;
        const auto bad = [&](const QString &why) {
            found.append({line, why});
            if (!raw.isEmpty() && raw.last().problem.isEmpty())
                raw.last().problem = IniFile::lineProblem(path, line, why);
        };
        if (entry.kind == IniLine::Kind::Section) {
            // Still a section when unclosed: what follows was not meant for the one before.
            raw.append({entry.name, line, {}, {}});
            const QString &name = raw.last().name;
            if (!entry.closed)
                bad(QStringLiteral("a section header without \"]\""));
            else if (!isValueName(name))
                bad(QStringLiteral("\"[%1]\" is not a value name (letters, digits, _, . and -)")
                        .arg(quoted(name)));
            else if (name == QLatin1String("date") || name == QLatin1String("time"))
                bad(QStringLiteral("\"%1\" is built in (the %1 of the upload)").arg(name));
            continue;
        }
        if (entry.kind == IniLine::Kind::Other) {
            bad(QStringLiteral("not a KEY = VALUE line"));
            continue;
        }
        if (raw.isEmpty()) {
            found.append({line, QStringLiteral("a key before any [value] section")});
            continue;
        }
        QString value = entry.value;
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.sliced(1, value.size() - 2);
        raw.last().keys.append({line, {entry.key.toLower(), value}});
    }

    QHash<QString, int> firstLine; // by name
    for (const RawSection &section : raw) {
        if (const auto earlier = firstLine.constFind(section.name); earlier != firstLine.cend()) {
            found.append({section.line, QStringLiteral("[%1] is named again; line %2 names it "
                                                       "first")
                                            .arg(quoted(section.name), QString::number(*earlier))});
            continue;
        }
        firstLine.insert(section.name, section.line);
    }

    for (const RawSection &section : raw) {
        if (firstLine.value(section.name) != section.line)
            continue;
        SourceSection read;
        read.name = section.name;
        read.problem = section.problem;
        const auto fail = [&](int line, const QString &why) {
            found.append({line, why});
            if (read.problem.isEmpty())
                read.problem = IniFile::lineProblem(path, line, why);
        };
        int kindLine = 0;
        for (const auto &[line, entry] : section.keys) {
            const auto &[key, value] = entry;
            if (kinds().contains(key)) {
                if (!read.kind.isEmpty())
                    fail(line, QStringLiteral("a second source (%1) in [%2]; a value has one")
                                   .arg(key, quoted(section.name)));
                read.kind = key;
                read.target = value;
                kindLine = line;
            } else if (key == QLatin1String("max-age")) {
                if (const auto age = parseAge(value))
                    read.maxAge = *age;
                else
                    fail(line, QStringLiteral("max-age \"%1\" is not an age such as 20m or 2h")
                                   .arg(quoted(value)));
            } else if (key == QLatin1String("min") || key == QLatin1String("max")) {
                bool ok = false;
                const double bound = QLocale::c().toDouble(value.trimmed(), &ok);
                if (!ok || !std::isfinite(bound))
                    fail(line, QStringLiteral("%1 \"%2\" is not a number such as 0 or -5.5")
                                   .arg(key, quoted(value)));
                else
                    (key == QLatin1String("min") ? read.min : read.max) = bound;
            } else if (read.options.contains(key)) {
                fail(line, QStringLiteral("%1 is given again").arg(quoted(key)));
            } else {
                if (key == QLatin1String("decimal") && value != QLatin1String("comma") &&
                    value != QLatin1String("point"))
                    fail(line, QStringLiteral("decimal \"%1\" is neither comma nor point")
                                   .arg(quoted(value)));
                read.options.insert(key, value);
            }
        }
        if (read.min && read.max && *read.min > *read.max)
            fail(section.line,
                 QStringLiteral("[%1]: min %2 is above max %3")
                     .arg(quoted(section.name), numberText(*read.min), numberText(*read.max)));
        if (read.kind.isEmpty()) {
            // Names that look like a kind nobody knows are said as such.
            const QString guess =
                section.keys.isEmpty() ? QString() : section.keys.first().second.first;
            fail(section.line, guess.isEmpty()
                                   ? QStringLiteral("[%1] names no source (json, csv, modbus-tcp "
                                                    "or modbus-rtu)")
                                         .arg(quoted(section.name))
                                   : QStringLiteral("[%1] names no source (json, csv, modbus-tcp "
                                                    "or modbus-rtu); \"%2\" is none of them")
                                         .arg(quoted(section.name), quoted(guess)));
        } else if (read.target.isEmpty()) {
            fail(kindLine, QStringLiteral("%1 names nothing").arg(read.kind));
        } else if (!isAnalyser(read.kind)) {
            // A file named relative to sources.conf, wherever display-send runs.
            read.target =
                QDir::cleanPath(QFileInfo(path).absoluteDir().absoluteFilePath(read.target));
            const QStringList &allowed = kinds().value(read.kind);
            for (auto it = read.options.cbegin(); it != read.options.cend(); ++it) {
                if (!allowed.contains(it.key()))
                    fail(section.line, QStringLiteral("[%1]: a %2 source takes no \"%3\"")
                                           .arg(quoted(section.name), read.kind, quoted(it.key())));
            }
            const QString needed = read.kind == QLatin1String("json") ? QStringLiteral("parameter")
                                                                      : QStringLiteral("column");
            if (read.options.value(needed).isEmpty())
                fail(section.line, QStringLiteral("[%1]: a %2 source needs %3 = ...")
                                       .arg(quoted(section.name), read.kind, needed));
        }
        config.sections.append(read);
    }

    config.problems = IniFile::reported(path, found);
    return config;
}

} // namespace SourcesFile

SourcesReader::SourcesReader(SourcesConfig config, QDateTime now, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_now(std::move(now)) {}

void SourcesReader::start() {
    if (m_started)
        return;
    m_started = true;
    m_readings.resize(m_config.sections.size());
    // Held until every section was handed out, so an analyser that answers at once cannot
    // finish the step early.
    ++m_pending;
    QList<qsizetype> analysers;
    for (qsizetype index = 0; index < m_config.sections.size(); ++index) {
        const SourceSection &section = m_config.sections.at(index);
        Reading &reading = m_readings[index];
        reading.name = section.name;
        reading.source = section.kind.isEmpty()
                             ? QStringLiteral("%1 [%2]").arg(m_config.path, section.name)
                             : QStringLiteral("%1 %2").arg(section.kind, section.target);
        if (!section.problem.isEmpty()) {
            reading.problem = section.problem;
            continue;
        }
        if (isAnalyser(section.kind)) {
            analysers << index;
        } else {
            reading = readFileSource(section, m_now);
        }
    }
    if (!analysers.isEmpty())
        startAnalysers(analysers);
    // Whoever started the step hears of its end from the event loop, never from inside start().
    QTimer::singleShot(0, this, &SourcesReader::settled);
}

void SourcesReader::startAnalysers(const QList<qsizetype> &indexes) {
    QList<ModbusPoint> points;
    QList<qsizetype> pointIndexes;
    for (const qsizetype index : indexes) {
        const SourceSection &section = m_config.sections.at(index);
        QMap<QString, QString> keys = section.options;
        keys.insert(section.kind, section.target);
        QString problem;
        if (const auto point = modbusPoint(section.name, keys, &problem, m_resolveCom)) {
            points << *point;
            pointIndexes << index;
            m_readings[index].source = point->source();
        } else {
            m_readings[index].problem =
                QStringLiteral("%1 [%2]: %3").arg(m_config.path, section.name, problem);
        }
    }
    if (points.isEmpty())
        return;
    ++m_pending;
    auto *const reader = new ModbusReader(this);
    connect(reader, &ModbusReader::finished, this,
            [this, reader, pointIndexes](const Readings &readings) {
                for (qsizetype i = 0; i < readings.size() && i < pointIndexes.size(); ++i)
                    m_readings[pointIndexes.at(i)] = readings.at(i);
                reader->deleteLater();
                settled();
            });
    reader->start(points);
}

void SourcesReader::settled() {
    if (--m_pending != 0)
        return;
    for (qsizetype index = 0; index < m_readings.size(); ++index)
        m_readings[index] = bounded(m_readings.at(index), m_config.sections.at(index));
    Q_EMIT finished();
}
