#include "rowfill.h"

#include "bytetext.h"

#include "failure.h"
#include "templatefields.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

using namespace RowTemplate;

namespace {

const QString &DateName = FieldValues::DateName;
const QString &UpdatedName = FieldValues::UpdatedName;
constexpr auto DefaultDatePattern = "%Y-%m-%d";
constexpr auto DefaultTimePattern = "%H:%M";
constexpr auto DefaultUpdatedPattern = "%Y-%m-%d %H:%M";

QString describe(const FieldValue &value, bool float32 = false) {
    if (const auto *number = std::get_if<double>(&value))
        return QStringLiteral("the number %1").arg(numberText(*number, float32));
    return QStringLiteral("the text \"%1\"").arg(quoted(std::get<QString>(value)));
}

// A value that cannot be shown in its field: the value is refused, not the template.
struct Refusal {
    QString name;
    QString reason;
};

struct FieldText {
    QString text;
    bool missing = false; // the missing text stands in the value's place
};

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
    if (const QString why = PageSet::characterProblem(text); !why.isEmpty())
        throw Failure(QStringLiteral("%1 gives a text that %2").arg(field.spelled(), why));
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
    if (FieldValues::isBuiltIn(name))
        return momentText(field, now, name == DateName ? DefaultDatePattern : DefaultTimePattern,
                          name);

    const std::optional<FieldValue> value = values.value(name);
    if (!value)
        throw Failure(QStringLiteral("no value named \"%1\"").arg(name));
    if (field.pattern)
        checkPatternNumbers(*field.pattern);
    const bool float32 = values.isFloat32(name);
    if (const auto *number = std::get_if<double>(&*value); number && !std::isfinite(*number))
        throw Refusal{name, QStringLiteral("%1 is not a finite number").arg(describe(*value))};
    if (const auto *text = std::get_if<QString>(&*value)) {
        if (const QString why = valueProblem(*text); !why.isEmpty())
            throw Refusal{name, QStringLiteral("%1 %2").arg(describe(*value), why)};
    }
    const std::string pattern = field.pattern ? field.pattern->toStdString() : std::string();
    QString text;
    try {
        text = QString::fromStdString(formatValue(*value, pattern, float32));
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
        throw Refusal{name, QStringLiteral("%1 does not fit %2: %3")
                                .arg(field.spelled(), describe(*value, float32),
                                     QString::fromUtf8(error.what()))};
    }
    if (const QString why = PageSet::characterProblem(text); !why.isEmpty())
        throw Failure(QStringLiteral("%1 gives a text that %2").arg(field.spelled(), why));
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
    return FieldValues::isBuiltIn(field.name) ||
           (field.name == UpdatedName && !values.gives(field.name));
}

RowSketch plainSketch(const QString &text, CellState state) {
    return {text, QList<CellState>(text.size(), state), {}};
}

} // namespace

RowSketch fillRow(const QString &templ, FieldValues &values, const QDateTime &now) {
    if (!templ.contains(QLatin1Char('{')) && !templ.contains(QLatin1Char('}')))
        return plainSketch(templ, CellState::Lit);
    const QList<Piece> pieces = parseTemplate(templ);
    QList<Field> fields;
    for (const Piece &piece : pieces) {
        if (const auto *field = std::get_if<Field>(&piece))
            fields << *field;
    }
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
            for (const Field &field : std::as_const(fields))
                shown << fieldText(field, values, now);
        } catch (const Refusal &refusal) {
            values.refuse(refusal.name, refusal.reason);
            continue;
        }

        const RowSketch sketch = compose(shown);
        const QString &row = sketch.text;
        if (row.size() <= PageSet::MaxTypedLength) {
            for (qsizetype k = 0; k < fields.size(); ++k) {
                if (shown.at(k).missing && fields.at(k).name == UpdatedName)
                    values.noteMissing(UpdatedName,
                                       QStringLiteral("no source gave a current reading"));
            }
            return sketch;
        }

        // Too long: the one value whose missing text shortens the row most, if that makes it fit.
        QMap<QString, qsizetype> saved;
        for (qsizetype k = 0; k < fields.size(); ++k) {
            if (!shown.at(k).missing && !isTime(fields.at(k), values))
                saved[fields.at(k).name] += shown.at(k).text.size() - absent.at(k).text.size();
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
                              .arg(describe(*values.value(culprit), values.isFloat32(culprit)),
                                   QString::number(row.size()),
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

std::optional<qsizetype> fieldStart(const QString &row, qsizetype from) {
    for (qsizetype i = from; i < row.size(); ++i) {
        if (row.at(i) != u'{')
            continue;
        if (i + 1 < row.size() && row.at(i + 1) == u'{')
            ++i;
        else
            return i;
    }
    return std::nullopt;
}

QStringList fieldNames(const QString &row) {
    QStringList names;
    for (auto at = fieldStart(row); at; at = fieldStart(row, *at + 1)) {
        qsizetype end = *at + 1;
        while (end < row.size() && row.at(end) != u':' && row.at(end) != u'}')
            ++end;
        names << row.sliced(*at + 1, end - *at - 1);
    }
    return names;
}

RowSketch unfilledSketch(const QString &row, CellState state, const QString &why) {
    RowSketch sketch = plainSketch(row, CellState::Lit);
    for (auto at = fieldStart(row); at; at = fieldStart(row, *at)) {
        const qsizetype close = row.indexOf(u'}', *at);
        const qsizetype end = close < 0 ? row.size() : close + 1;
        std::fill(sketch.cells.begin() + *at, sketch.cells.begin() + end, state);
        sketch.problem = why;
        at = end;
    }
    return sketch;
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
