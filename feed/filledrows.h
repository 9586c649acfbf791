#pragma once

#include "fieldvalues.h"
#include "rowfill.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A set of rows filled with one read of the figures, in one pass: what each row shows, character
// by character, why a row cannot be filled, the first row that cannot, and the names the rows
// could not show. The console's SEND, its picture and preview, and display-send's upload,
// --dry-run and --show-values all fill through it, so they agree on every row.
//
// A value one row refuses shows missing in every row. Without values given, each row stays as
// typed, every character lit; a row holding a field is then one that cannot be filled, with the
// field as typed for why, and the fields' names are the unavailable ones.
class FilledRows {
public:
    // The first row that cannot be filled, by its place among the rows given, and why.
    struct Unfilled {
        int index = -1;
        QString why;
    };

    // values: as read; the fill keeps its own copy, refused as the rows refuse. now is shown as
    // given: pass the local time.
    FilledRows(QStringList templates, FieldValues values, const QDateTime &now);

    // Each row: the filled text, or the template as typed when it cannot be filled.
    const QList<RowSketch> &rows() const { return m_rows; }
    const QString &row(int index) const { return m_rows.at(index).text; }
    const std::optional<Unfilled> &firstUnfilled() const { return m_firstUnfilled; }
    // "page P, row R: why" for the first row that cannot be filled, the rows being a whole set;
    // empty when every row fills.
    QString failure() const;

    // The figures as the rows leave them, as --show-values and the preview list them.
    const FieldValues &values() const { return m_values; }
    // Every name a row shows as the missing text (or leaves unfilled), sorted; rowAsEdited()
    // may add to them.
    const QStringList &unavailable() const { return m_unavailable; }

    // Row index as it stands when its frame is built: an edit made since the fill is filled with
    // the same figures, and what it shows missing joins unavailable(); an edited row that no
    // longer fills goes out as it was filled.
    QString rowAsEdited(int index, const QString &text);

private:
    QStringList m_templates;
    FieldValues m_values;
    QDateTime m_now;
    QList<RowSketch> m_rows;
    std::optional<Unfilled> m_firstUnfilled;
    QStringList m_unavailable;
};
