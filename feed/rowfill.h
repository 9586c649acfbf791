#pragma once

#include "fieldvalues.h"
#include "pageset.h"

#include <QDateTime>
#include <QDebug>
#include <QString>

#include <optional>

// Filling rows from monitoring figures before an upload.
//
// A template row holds fields: {name} or {name:format}, where format is written in libfmt's format
// language ({pH:>5.1f}, {site:<10}); {{ and }} stand for single braces. Names are ASCII letters,
// digits,
// '_', '.' and '-', case-sensitive. Three names are built in, with a strftime-style format
// ({date:%d.%m.%Y}): {date} (default %Y-%m-%d) and {time} (default %H:%M) of the upload, and
// {updated} (default %Y-%m-%d %H:%M), the time of the oldest live reading in use, or the upload's
// when no sources are configured. A value named "updated" wins over the built-in.
//
// A value that cannot be shown is unavailable: its field shows the missing text instead, aligned
// as the field is and cut to its width, and the rest of the row is filled. A value is unavailable
// when its source could not give a fresh figure, when a values file gives it as null (whatever
// came before it: sources, earlier files), and when the fill refuses it: a number that is not
// finite, a text holding '"', '~', a control character or a character outside Latin-1, a value
// that does not fit its field's format ({n:d} for 7.25), or one that alone makes a row longer
// than a row holds. A row still too long with no single such value shows the missing text in
// every field. Only the template itself stops an upload: an unknown name, a malformed field, a
// template that is too long or holds '"' or '~' by itself.
//
// A figure that rounds to zero is shown without a sign: -0.03 through {x:.1f} is 0.0.
//
// A number is held as a double. An integer presentation (d, x, X, o, b, B) formats a whole
// number as an integer, so 42 from a JSON file fits both {n:3d} and {n:.1f}; 7.25 refuses d.

// What one row will show, character by character, for a view of the boards before an upload.
enum class CellState {
    Lit,         // a character of the row as it goes out
    Unavailable, // part of a field whose value is unavailable: the missing text or its padding
    Error,       // the row cannot be filled at all
};

struct RowSketch {
    QString text;           // the filled row; the template as typed when it cannot be filled
    QList<CellState> cells; // one for each character of text
    QString problem;        // why the row cannot be filled; empty when it can

    friend bool operator==(const RowSketch &, const RowSketch &) = default;
};
QDebug operator<<(QDebug debug, const RowSketch &sketch);

// One row, with each character's state. A row without any brace is returned unchanged, every
// character lit; otherwise the filled row is at most PageSet::MaxTypedLength characters of
// printable Latin-1 without '"' and '~'. Values it cannot show are refused in values. Throws
// Failure carrying only the reason when the template itself cannot be filled. FilledRows fills a
// whole set of rows, a value one row refuses missing in every row.
RowSketch fillRow(const QString &templ, FieldValues &values, const QDateTime &now);

// Where the first field at or after from begins: a '{' that is not doubled, even one of a
// malformed field. Without figures such a row would put its braces on the boards.
std::optional<qsizetype> fieldStart(const QString &row, qsizetype from = 0);

// The names of a row's fields, in order: what a field would be filled with.
QStringList fieldNames(const QString &row);

// A row as typed, for a view of the boards when there are no figures to fill it with: the
// characters of each field (from its '{' to its '}', or to the row's end) in state and the rest
// lit; why is the problem of a row that holds a field.
RowSketch unfilledSketch(const QString &row, CellState state, const QString &why);
