#include "rowfill.h"

#include "failure.h"
#include "regularfile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace {

const QString DateName = QStringLiteral("date");
const QString TimeName = QStringLiteral("time");
const QString UpdatedName = QStringLiteral("updated");
constexpr auto DefaultDatePattern = "%Y-%m-%d";
constexpr auto DefaultTimePattern = "%H:%M";
constexpr auto DefaultUpdatedPattern = "%Y-%m-%d %H:%M";

// A width or precision beyond this cannot fit a row. fmt takes numbers up to INT_MAX and would
// build the whole padded text before the row's length is checked.
constexpr int MaxPatternNumber = 999;

// A message quotes at most this much of a row or a value: a row of a damaged file, or a value,
// may be megabytes long.
constexpr qsizetype MaxQuoted = 40;

QString quoted(const QString &text) {
    if (text.size() <= MaxQuoted)
        return text;
    return text.left(MaxQuoted) + QChar(0x2026);
}

bool isNameCharacter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
           u == '.' || u == '-';
}

bool isBuiltIn(const QString &name) {
    return name == DateName || name == TimeName;
}

QString builtInReason(const QString &name) {
    return QStringLiteral("\"%1\" is built in (the %1 of the upload) and cannot be given")
        .arg(name);
}

QString describe(const FieldValue &value) {
    if (const auto *number = std::get_if<double>(&value))
        return QStringLiteral("the number %1").arg(*number, 0, 'g', QLocale::FloatingPointShortest);
    return QStringLiteral("the text \"%1\"").arg(quoted(std::get<QString>(value)));
}

QString codePoint(char32_t u) {
    return QStringLiteral("U+%1").arg(uint(u), 4, 16, QLatin1Char('0')).toUpper();
}

// ---- values -------------------------------------------------------------------------------------

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

Failure tooLarge(const QString &name) {
    return readFailure(name, QStringLiteral("the file is larger than %1")
                                 .arg(RegularFile::sizeText(FieldValues::MaxFileSize)));
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

// ---- filling ------------------------------------------------------------------------------------

std::tm toTm(const QDateTime &now, const QByteArray &zoneName) {
    const QDate date = now.date();
    const QTime time = now.time();
    std::tm tm{};
    tm.tm_year = date.year() - 1900;
    tm.tm_mon = date.month() - 1;
    tm.tm_mday = date.day();
    tm.tm_wday = date.dayOfWeek() % 7;
    tm.tm_yday = date.dayOfYear() - 1;
    tm.tm_hour = time.hour();
    tm.tm_min = time.minute();
    tm.tm_sec = time.second();
    tm.tm_isdst = -1;
    // glibc's own fields, which %z and %Z read.
    tm.tm_gmtoff = now.offsetFromUtc();
    tm.tm_zone = zoneName.constData();
    return tm;
}

bool isIntegerPresentation(const std::string &pattern) {
    return !pattern.empty() &&
           std::string_view("dxXobB").find(pattern.back()) != std::string_view::npos;
}

void checkPatternNumbers(const QString &pattern) {
    int number = 0;
    for (const QChar c : pattern) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            number = qMin(number * 10 + (c.unicode() - '0'), MaxPatternNumber + 1);
            if (number > MaxPatternNumber)
                throw Failure(QStringLiteral("a width or precision above %1 cannot fit a row")
                                  .arg(MaxPatternNumber));
        } else {
            number = 0;
        }
    }
}

// A lone half of a UTF-16 surrogate pair (JSON allows "\ud800") is no character at all: UTF-8
// would carry it as '?', so it is refused as any character outside Latin-1 is.
std::optional<QString> loneSurrogate(const QString &text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            return QStringLiteral("holds a lone surrogate (%1), which is outside Latin-1")
                .arg(codePoint(c.unicode()));
    }
    return std::nullopt;
}

// Why a board's row cannot carry the text, or nothing when it can.
std::optional<QString> uncarriable(const QString &text) {
    if (QString problem = PageSet::characterProblem(text); !problem.isEmpty())
        return problem;
    return std::nullopt;
}

std::string formatValue(const FieldValue &value, const std::string &pattern) {
    const std::string format = "{:" + pattern + "}";
    if (const auto *number = std::get_if<double>(&value)) {
        // A whole number within long long formats as one when the pattern asks for an integer.
        if (isIntegerPresentation(pattern) && std::trunc(*number) == *number &&
            std::fabs(*number) < 9.2e18) {
            const long long whole = static_cast<long long>(*number);
            return fmt::vformat(format, fmt::make_format_args(whole));
        }
        const std::string text = fmt::vformat(format, fmt::make_format_args(*number));
        // A figure that rounds to zero carries no sign: -0.03 at one decimal is 0.0, not -0.0.
        if (std::signbit(*number) && text.find_first_of("123456789") == std::string::npos) {
            const double magnitude = -*number;
            return fmt::vformat(format, fmt::make_format_args(magnitude));
        }
        return text;
    }
    const std::string text = std::get<QString>(value).toStdString();
    return fmt::vformat(format, fmt::make_format_args(text));
}

// The width a date or time format begins with ("{date:>12%d.%m}"): fmt 10 and later pad the date
// to it, fmt 9 prints it as written.
QString momentWidth(const QString &pattern) {
    static const QRegularExpression width(QStringLiteral("^(?:.?[<>^])?([0-9]+)"));
    return width.match(pattern).captured(1);
}

std::string formatMoment(const QDateTime &now, const std::string &pattern) {
    const QByteArray zoneName = now.timeZoneAbbreviation().toUtf8();
    const std::tm tm = toTm(now, zoneName);
    return fmt::vformat("{:" + pattern + "}", fmt::make_format_args(tm));
}

// The missing text in a field's place: padded as the field would pad its value (right for a number
// unless the field says otherwise), and cut to the field's width so the row keeps its columns.
QString missingField(const QString &missing, const QString &pattern, bool number) {
    QChar fill = u' ';
    QChar align = number ? u'>' : u'<';
    qsizetype i = 0;
    const auto isAlign = [](QChar c) { return c == u'<' || c == u'>' || c == u'^'; };
    if (pattern.size() >= 2 && isAlign(pattern.at(1))) {
        fill = pattern.at(0);
        align = pattern.at(1);
        i = 2;
    } else if (!pattern.isEmpty() && isAlign(pattern.at(0))) {
        align = pattern.at(0);
        i = 1;
    }
    while (i < pattern.size() && QStringView(u"+- z#0").contains(pattern.at(i)))
        ++i;
    int width = 0;
    for (; i < pattern.size() && pattern.at(i).isDigit() && pattern.at(i).unicode() < 0x80; ++i)
        width = qMin(width * 10 + (pattern.at(i).unicode() - '0'), MaxPatternNumber + 1);
    if (width == 0 || missing.size() >= width)
        return width == 0 ? missing : missing.left(width);
    const qsizetype pad = width - missing.size();
    const qsizetype before = align == u'>' ? pad : align == u'^' ? pad / 2 : 0;
    return QString(before, fill) + missing + QString(pad - before, fill);
}

// One field of a template: {name} or {name:pattern}.
struct Field {
    QString name;
    std::optional<QString> pattern;

    QString spelled() const {
        return pattern ? QStringLiteral("{%1:%2}").arg(name, *pattern)
                       : QStringLiteral("{%1}").arg(name);
    }
};

// A template in pieces: literal text (braces undoubled) and fields.
using Piece = std::variant<QString, Field>;

// A value that cannot be shown in its field: the value is refused, not the template.
struct Refusal {
    QString name;
    QString reason;
};

struct FieldText {
    QString text;
    bool missing = false; // the missing text stands in the value's place
};

// Throws Failure when the template is malformed or its literal text cannot go to a board.
QList<Piece> parseTemplate(const QString &templ) {
    const auto column = [](qsizetype i) { return i + 1; };
    QList<Piece> pieces;
    QString literal;
    const qsizetype n = templ.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = templ.at(i);
        const bool doubled = i + 1 < n && templ.at(i + 1) == c;
        if (c == QLatin1Char('}')) {
            if (!doubled)
                throw Failure(
                    QStringLiteral("lone } at column %1; write }} for a brace").arg(column(i)));
            literal += c;
            i += 2;
            continue;
        }
        if (c != QLatin1Char('{')) {
            literal += c;
            ++i;
            continue;
        }
        if (doubled) {
            literal += c;
            i += 2;
            continue;
        }

        const qsizetype open = i;
        const auto unclosed = [&] {
            return Failure(QStringLiteral("unclosed { at column %1").arg(column(open)));
        };
        qsizetype j = open + 1;
        for (; j < n && templ.at(j) != QLatin1Char(':') && templ.at(j) != QLatin1Char('}'); ++j) {
            if (!isNameCharacter(templ.at(j)))
                throw Failure(QStringLiteral("'%1' at column %2 cannot be part of a name "
                                             "(letters, digits, _, . and -)")
                                  .arg(templ.at(j), QString::number(column(j))));
        }
        if (j == n)
            throw unclosed();
        Field field{templ.mid(open + 1, j - open - 1), std::nullopt};
        if (field.name.isEmpty())
            throw Failure(QStringLiteral("empty name in the field at column %1").arg(column(open)));
        if (templ.at(j) == QLatin1Char(':')) {
            const qsizetype patternStart = j + 1;
            for (j = patternStart; j < n && templ.at(j) != QLatin1Char('}'); ++j) {
                if (templ.at(j) == QLatin1Char('{'))
                    throw Failure(
                        QStringLiteral("{ at column %1 inside the field at column %2")
                            .arg(QString::number(column(j)), QString::number(column(open))));
            }
            if (j == n)
                throw unclosed();
            field.pattern = templ.mid(patternStart, j - patternStart);
        }
        if (!literal.isEmpty())
            pieces << std::exchange(literal, QString());
        pieces << field;
        i = j + 1;
    }
    if (!literal.isEmpty())
        pieces << literal;
    for (const Piece &piece : std::as_const(pieces)) {
        if (const auto *text = std::get_if<QString>(&piece)) {
            if (const auto why = uncarriable(*text))
                throw Failure(QStringLiteral("the row %1").arg(*why));
        }
    }
    return pieces;
}

FieldText missing(const Field &field, const FieldValues &values, bool number) {
    if (field.pattern)
        checkPatternNumbers(*field.pattern);
    return {missingField(values.missingText(), field.pattern.value_or(QString()), number), true};
}

FieldText momentText(const Field &field, const QDateTime &moment, const char *defaultPattern,
                     const QString &what) {
    if (!moment.isValid())
        throw Failure(
            QStringLiteral("%1: the time of the upload is not known").arg(field.spelled()));
    if (field.pattern)
        checkPatternNumbers(momentWidth(*field.pattern));
    const std::string pattern = field.pattern && !field.pattern->isEmpty()
                                    ? field.pattern->toStdString()
                                    : std::string(defaultPattern);
    QString text;
    try {
        text = QString::fromStdString(formatMoment(moment, pattern));
    } catch (const fmt::format_error &error) {
        throw Failure(QStringLiteral("%1 is not a %2 format: %3")
                          .arg(field.spelled(), what, QString::fromUtf8(error.what())));
    }
    if (const auto why = uncarriable(text))
        throw Failure(QStringLiteral("%1 gives a text that %2").arg(field.spelled(), *why));
    return {text, false};
}

// Throws Refusal when the value cannot be shown in this field, Failure when the field itself is
// at fault.
FieldText fieldText(const Field &field, const FieldValues &values, const QDateTime &now) {
    const QString &name = field.name;
    if (name == UpdatedName && !values.gives(name)) {
        const std::optional<QDateTime> updated = values.updated(now);
        if (!updated)
            return missing(field, values, false);
        return momentText(field, updated->toLocalTime(), DefaultUpdatedPattern,
                          QStringLiteral("date"));
    }
    if (values.unavailable(name))
        return missing(field, values, true);
    if (isBuiltIn(name))
        return momentText(field, now, name == DateName ? DefaultDatePattern : DefaultTimePattern,
                          name);

    const std::optional<FieldValue> value = values.value(name);
    if (!value)
        throw Failure(QStringLiteral("no value named \"%1\"").arg(name));
    if (field.pattern)
        checkPatternNumbers(*field.pattern);
    if (const auto *number = std::get_if<double>(&*value); number && !std::isfinite(*number))
        throw Refusal{name, QStringLiteral("%1 is not a finite number").arg(describe(*value))};
    if (const auto *text = std::get_if<QString>(&*value)) {
        std::optional<QString> why = loneSurrogate(*text);
        if (!why)
            why = uncarriable(*text);
        if (why)
            throw Refusal{name, QStringLiteral("%1 %2").arg(describe(*value), *why)};
    }
    const std::string pattern = field.pattern ? field.pattern->toStdString() : std::string();
    QString text;
    try {
        text = QString::fromStdString(formatValue(*value, pattern));
    } catch (const fmt::format_error &error) {
        // A pattern no number and no text fits is the template's fault, not the value's.
        const auto fits = [&pattern](const FieldValue &probe) {
            try {
                formatValue(probe, pattern);
                return true;
            } catch (const fmt::format_error &) {
                return false;
            }
        };
        if (!fits(0.0) && !fits(QString()))
            throw Failure(QStringLiteral("%1 is not a format: %2")
                              .arg(field.spelled(), QString::fromUtf8(error.what())));
        throw Refusal{name,
                      QStringLiteral("%1 does not fit %2: %3")
                          .arg(field.spelled(), describe(*value), QString::fromUtf8(error.what()))};
    }
    if (const auto why = uncarriable(text))
        throw Failure(QStringLiteral("%1 gives a text that %2").arg(field.spelled(), *why));
    return {text, false};
}

// The template's own length, with the missing text in its values' fields. complete: the whole
// row is quoted; otherwise the check stopped once it was too long.
QString tooLong(const QString &row, bool complete) {
    return QStringLiteral("the row \"%1\" has %2 characters even with its figures missing; a "
                          "row holds %3")
        .arg(quoted(row),
             complete ? QString::number(row.size())
                      : QStringLiteral("more than %1").arg(PageSet::MaxTypedLength),
             QString::number(PageSet::MaxTypedLength));
}

// {date}, {time}, and {updated} when no value of that name is given: never refused.
bool isTime(const Field &field, const FieldValues &values) {
    return isBuiltIn(field.name) || (field.name == UpdatedName && !values.gives(field.name));
}

} // namespace

// ---- FieldValues --------------------------------------------------------------------------------

void FieldValues::readJsonFile(const QString &path) {
    readJson(RegularFile::read(path, MaxFileSize), path);
}

void FieldValues::readJson(const QByteArray &bytes, const QString &name) {
    if (bytes.size() > MaxFileSize)
        throw tooLarge(name);
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
    QStringList names;
    for (const Reading &reading : m_fromSources) {
        if (unavailable(reading.name))
            names << reading.name;
    }
    for (auto it = m_fromFiles.cbegin(); it != m_fromFiles.cend(); ++it) {
        if (unavailable(it.key()) && !names.contains(it.key()))
            names << it.key();
    }
    for (const QString &name : m_refused.keys() + m_missingInRows.keys()) {
        if (!names.contains(name))
            names << name;
    }
    names.sort();
    return names;
}

QList<FieldValues::Line> FieldValues::lines() const {
    QMap<QString, Line> lines;
    for (const Reading &reading : m_fromSources) {
        Line line{reading.name, {}, reading.state, reading.time, reading.source, reading.problem};
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

// ---- filling ------------------------------------------------------------------------------------

namespace {

RowSketch plainSketch(const QString &text, CellState state) {
    return {text, QList<CellState>(text.size(), state), {}};
}

// The filled row with each character's state. Throws Failure when the template cannot be filled.
RowSketch fillSketch(const QString &templ, FieldValues &values, const QDateTime &now) {
    if (!templ.contains(QLatin1Char('{')) && !templ.contains(QLatin1Char('}')))
        return plainSketch(templ, CellState::Lit);
    const QList<Piece> pieces = parseTemplate(templ);
    const auto compose = [&pieces](const QList<FieldText> &texts) {
        RowSketch row;
        qsizetype k = 0;
        for (const Piece &piece : pieces) {
            const auto *literal = std::get_if<QString>(&piece);
            const FieldText *field = literal ? nullptr : &texts.at(k++);
            const QString &text = literal ? *literal : field->text;
            row.text += text;
            row.cells.append(QList<CellState>(
                text.size(), field && field->missing ? CellState::Unavailable : CellState::Lit));
        }
        return row;
    };

    // The template alone: its values' fields showing the missing text, the times as they are.
    // A template too long even so is at fault itself, whatever the values; the check stops at
    // the first field past the limit, so a row of many wide fields is never built whole.
    QList<FieldText> absent;
    QString bare;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (const auto *literal = std::get_if<QString>(&pieces.at(i))) {
            bare += *literal;
        } else {
            const Field &field = std::get<Field>(pieces.at(i));
            absent << (isTime(field, values) ? fieldText(field, values, now)
                                             : missing(field, values, true));
            bare += absent.last().text;
        }
        if (bare.size() > PageSet::MaxTypedLength)
            throw Failure(tooLong(bare, i + 1 == pieces.size()));
    }

    // Each pass either fills the row or refuses one more value, so this ends.
    for (;;) {
        QList<FieldText> shown;
        try {
            for (const Piece &piece : pieces) {
                if (const auto *field = std::get_if<Field>(&piece))
                    shown << fieldText(*field, values, now);
            }
        } catch (const Refusal &refusal) {
            values.refuse(refusal.name, refusal.reason);
            continue;
        }

        const RowSketch sketch = compose(shown);
        const QString &row = sketch.text;
        if (row.size() <= PageSet::MaxTypedLength) {
            qsizetype k = 0;
            for (const Piece &piece : pieces) {
                const auto *field = std::get_if<Field>(&piece);
                if (field && shown.at(k++).missing && field->name == UpdatedName)
                    values.noteMissing(UpdatedName,
                                       QStringLiteral("no source gave a current reading"));
            }
            return sketch;
        }

        // Too long: the one value whose missing text shortens the row most, if that makes it fit.
        QMap<QString, qsizetype> saved;
        qsizetype k = 0;
        for (const Piece &piece : pieces) {
            const auto *field = std::get_if<Field>(&piece);
            if (!field)
                continue;
            const qsizetype at = k++;
            if (!shown.at(at).missing && !isTime(*field, values))
                saved[field->name] += shown.at(at).text.size() - absent.at(at).text.size();
        }
        QString culprit;
        for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
            if (row.size() - it.value() <= PageSet::MaxTypedLength &&
                (culprit.isEmpty() || it.value() > saved.value(culprit)))
                culprit = it.key();
        }
        if (!culprit.isEmpty()) {
            values.refuse(culprit,
                          QStringLiteral("%1 makes a row of %2 characters; a row holds %3")
                              .arg(describe(*values.value(culprit)), QString::number(row.size()),
                                   QString::number(PageSet::MaxTypedLength)));
            continue;
        }

        // No single value is to blame: every value's field shows the missing text.
        for (auto it = saved.cbegin(); it != saved.cend(); ++it)
            values.noteMissing(it.key(),
                               QStringLiteral("its row is longer than %1 characters with the "
                                              "other figures in it")
                                   .arg(PageSet::MaxTypedLength));
        return compose(absent);
    }
}

} // namespace

QString fillRow(const QString &templ, FieldValues &values, const QDateTime &now) {
    return fillSketch(templ, values, now).text;
}

RowSketch sketchRow(const QString &templ, FieldValues &values, const QDateTime &now) {
    try {
        return fillSketch(templ, values, now);
    } catch (const Failure &failure) {
        RowSketch sketch = plainSketch(templ, CellState::Error);
        sketch.problem = failure.text();
        return sketch;
    }
}

QList<RowSketch> sketchRows(const QStringList &templates, FieldValues &values,
                            const QDateTime &now) {
    QList<RowSketch> sketches;
    if (!values.given()) {
        for (const QString &row : templates)
            sketches << plainSketch(row, CellState::Lit);
        return sketches;
    }
    for (;;) {
        const qsizetype refused = values.m_refused.size();
        values.m_missingInRows.clear();
        sketches.clear();
        for (const QString &row : templates)
            sketches << sketchRow(row, values, now);
        if (values.m_refused.size() == refused)
            return sketches;
    }
}

QDebug operator<<(QDebug debug, const RowSketch &sketch) {
    const QDebugStateSaver saver(debug);
    QString states;
    for (const CellState state : sketch.cells)
        states += state == CellState::Lit ? u'L' : state == CellState::Unavailable ? u'U' : u'E';
    debug.nospace() << "RowSketch(" << sketch.text << ' ' << states;
    if (!sketch.problem.isEmpty())
        debug << ' ' << sketch.problem;
    return debug << ')';
}

PageSet fillRows(const PageSet &templates, FieldValues &values, const QDateTime &now) {
    if (!values.given())
        return templates;
    // A value refused in a later row is shown missing in the earlier rows too: fill again.
    for (;;) {
        const qsizetype refused = values.m_refused.size();
        values.m_missingInRows.clear();
        PageSet filled;
        for (int index = 0; index < PageSet::RowCount; ++index) {
            try {
                filled.setRow(index, fillRow(templates.row(index), values, now));
            } catch (const Failure &failure) {
                throw Failure(QStringLiteral("page %1, row %2: %3")
                                  .arg(QString::number(index / PageSet::RowsPerPage + 1),
                                       QString::number(index % PageSet::RowsPerPage + 1),
                                       failure.text()));
            }
        }
        if (values.m_refused.size() == refused)
            return filled;
    }
}
