#include "filledrows.h"

#include "failure.h"
#include "pageset.h"

FilledRows::FilledRows(QStringList templates, FieldValues values, const QDateTime &now)
    : m_templates(std::move(templates))
    , m_values(std::move(values))
    , m_now(now) {
    if (!m_values.given()) {
        // Without figures a field stays as typed and would put its braces on the boards.
        for (const QString &row : std::as_const(m_templates)) {
            m_rows << RowSketch{row, QList<CellState>(row.size(), CellState::Lit), {}};
            m_unavailable += fieldNames(row);
            if (const std::optional<qsizetype> at = fieldStart(row); at && !m_firstUnfilled) {
                const qsizetype end = row.indexOf(u'}', *at);
                m_firstUnfilled =
                    Unfilled{int(m_rows.size() - 1), row.mid(*at, end < 0 ? -1 : end - *at + 1)};
            }
        }
        m_unavailable.removeDuplicates();
        m_unavailable.sort();
        return;
    }
    // A value refused in a later row shows missing in the earlier rows too: every row is filled
    // again until a pass refuses nothing new, and each pass refuses at least one more value or is
    // the last. A value refused only hides its fields, so the first pass, which fills the rows in
    // order as an upload does, is the one that names the first row that cannot be filled.
    for (bool first = true;; first = false) {
        const qsizetype refused = m_values.refusedCount();
        m_values.forgetMissingInRows();
        m_rows.clear();
        for (const QString &templ : std::as_const(m_templates)) {
            try {
                m_rows << fillRow(templ, m_values, m_now);
            } catch (const Failure &failure) {
                m_rows << RowSketch{templ, QList<CellState>(templ.size(), CellState::Error),
                                    failure.text()};
                if (first && !m_firstUnfilled)
                    m_firstUnfilled = Unfilled{int(m_rows.size() - 1), failure.text()};
            }
        }
        if (m_values.refusedCount() == refused)
            break;
    }
    m_unavailable = m_values.unavailableNames();
}

QString FilledRows::failure() const {
    if (!m_firstUnfilled)
        return {};
    return QStringLiteral("%1: %2").arg(PageSet::rowLabel(m_firstUnfilled->index),
                                        m_firstUnfilled->why);
}

QString FilledRows::rowAsEdited(int index, const QString &text) {
    if (text == m_templates.at(index))
        return row(index);
    if (!m_values.given())
        return text;
    try {
        // The values only gain refusals and missing names, so theirs still hold every name.
        const QString filled = fillRow(text, m_values, m_now).text;
        m_unavailable = m_values.unavailableNames();
        return filled;
    } catch (const Failure &) {
        return row(index);
    }
}
