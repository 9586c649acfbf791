#pragma once

#include "rowfill.h"

#include <QList>
#include <QWidget>

// One page of a board, as lit characters on a dark face: the characters of a field whose value is
// unavailable in a warning colour, a row that cannot be filled in an error colour.
//
// As a sketch (the window's small framed picture) each character is one block, so that a whole
// page stays cheap to redraw at every keystroke; read as text (the preview) each is its glyph.
class BoardView : public QWidget {
    Q_OBJECT

public:
    enum class Style { Sketch, Text };

    explicit BoardView(Style style, QWidget *parent = nullptr);

    // The page's rows. A row longer than the boards' rows shows its first characters and a mark
    // at its end; its tooltip gives its length.
    void setRows(const QList<RowSketch> &rows);
    const QList<RowSketch> &rows() const { return m_rows; }

    QSize sizeHint() const override;

    static QColor colour(CellState state);

Q_SIGNALS:
    // The operator clicked the view.
    void activated();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    const Style m_style;
    QList<RowSketch> m_rows;
};
