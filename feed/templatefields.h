#pragma once

#include "fieldvalues.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>
#include <string>
#include <variant>

// A row template in pieces, and the text libfmt makes of one field of it. Each throws Failure
// when the template or its field is at fault; formatValue and formatMoment throw fmt::format_error
// when the pattern does not fit, which the fill tells apart from a value that does not fit.
namespace RowTemplate {

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

// Throws Failure when the template is malformed or its literal text cannot go to a board.
QList<Piece> parseTemplate(const QString &templ);

// Throws Failure when a width or precision in the pattern could not fit a row.
void checkPatternNumbers(const QString &pattern);

// Why a text cannot be a field's value: a lone surrogate or a character a row cannot carry; empty
// when it can.
QString valueProblem(const QString &text);

// float32: a number is an analyser's 32-bit float (Reading::float32). A pattern without a
// precision shows it as the shortest text of that float ("7.12"); one with a precision rounds the
// number as it is, as for any other.
std::string formatValue(const FieldValue &value, const std::string &pattern, bool float32 = false);
// The width a date or time pattern begins with, which is checked as a value's width is.
QString momentWidth(const QString &pattern);
std::string formatMoment(const QDateTime &now, const std::string &pattern);

// The missing text in a field's place, padded and cut as the field's pattern says.
QString missingField(const QString &missing, const QString &pattern, bool number);

} // namespace RowTemplate
