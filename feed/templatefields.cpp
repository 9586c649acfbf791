#include "templatefields.h"

#include "failure.h"
#include "pageset.h"

#include <QRegularExpression>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <string_view>

namespace RowTemplate {

namespace {

// A width or precision beyond this cannot fit a row. fmt takes numbers up to INT_MAX and would
// build the whole padded text before the row's length is checked.
constexpr int MaxPatternNumber = 999;

QString codePoint(char32_t u) {
    return QStringLiteral("U+%1").arg(uint(u), 4, 16, QLatin1Char('0')).toUpper();
}

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

// Whether the pattern gives a precision: a '.' past the fill and alignment, which may be '.'.
bool hasPrecision(std::string_view pattern) {
    const auto isAlign = [](char c) { return c == '<' || c == '>' || c == '^'; };
    if (pattern.size() >= 2 && isAlign(pattern[1]))
        pattern.remove_prefix(2);
    else if (!pattern.empty() && isAlign(pattern[0]))
        pattern.remove_prefix(1);
    return pattern.find('.') != std::string_view::npos;
}

bool isIntegerPresentation(const std::string &pattern) {
    return !pattern.empty() &&
           std::string_view("dxXobB").find(pattern.back()) != std::string_view::npos;
}

} // namespace

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
QString valueProblem(const QString &text) {
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
    return PageSet::characterProblem(text);
}

std::string formatValue(const FieldValue &value, const std::string &pattern, bool float32) {
    const std::string format = "{:" + pattern + "}";
    if (const auto *given = std::get_if<double>(&value)) {
        const double number = meantNumber(*given, float32 && !hasPrecision(pattern));
        // A whole number within long long formats as one when the pattern asks for an integer.
        if (isIntegerPresentation(pattern) && std::trunc(number) == number &&
            std::fabs(number) < 9.2e18) {
            const long long whole = static_cast<long long>(number);
            return fmt::vformat(format, fmt::make_format_args(whole));
        }
        const std::string text = fmt::vformat(format, fmt::make_format_args(number));
        // A figure that rounds to zero carries no sign: -0.03 at one decimal is 0.0, not -0.0.
        if (std::signbit(number) && text.find_first_of("123456789") == std::string::npos) {
            const double magnitude = -number;
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

QList<Piece> parseTemplate(const QString &templ) {
    const auto column = [](qsizetype i) { return i + 1; };
    QList<Piece> pieces;
    QString literal;
    const qsizetype n = templ.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = templ.at(i);
        const bool doubled = i + 1 < n && templ.at(i + 1) == c;
        if (c != QLatin1Char('{') && c != QLatin1Char('}')) {
            literal += c;
            ++i;
            continue;
        }
        if (doubled) {
            literal += c;
            i += 2;
            continue;
        }
        if (c == QLatin1Char('}'))
            throw Failure(
                QStringLiteral("lone } at column %1; write }} for a brace").arg(column(i)));

        const qsizetype open = i;
        const auto unclosed = [&] {
            return Failure(QStringLiteral("unclosed { at column %1").arg(column(open)));
        };
        qsizetype j = open + 1;
        for (; j < n && templ.at(j) != QLatin1Char(':') && templ.at(j) != QLatin1Char('}'); ++j) {
            if (!FieldValues::isNameCharacter(templ.at(j)))
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
    // A field's format reaches the row too: its fill character, a date format's literal text.
    for (const Piece &piece : std::as_const(pieces)) {
        if (const auto *text = std::get_if<QString>(&piece)) {
            if (const QString why = PageSet::characterProblem(*text); !why.isEmpty())
                throw Failure(QStringLiteral("the row %1").arg(why));
        } else if (const Field &field = std::get<Field>(piece); field.pattern) {
            if (const QString why = PageSet::characterProblem(*field.pattern); !why.isEmpty())
                throw Failure(QStringLiteral("the format of %1 %2").arg(field.spelled(), why));
        }
    }
    return pieces;
}

} // namespace RowTemplate
