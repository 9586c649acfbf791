#include "boardview.h"

#include "pageset.h"

#include <QFontDatabase>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace {

const QColor Face(18, 18, 18);
// Behind the whole width of an unavailable field or of a row that cannot be filled, so a field
// that shows only spaces is still seen.
const QColor UnavailableShade(90, 70, 0);
const QColor ErrorShade(90, 20, 20);
const QColor LongRowMark(80, 200, 255);

QFont boardFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(9);
    return font;
}

} // namespace

BoardView::BoardView(Style style, QWidget *parent)
    : QWidget(parent)
    , m_style(style) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (m_style == Style::Text)
        setFont(boardFont());
    else
        setCursor(Qt::PointingHandCursor);
}

QColor BoardView::colour(CellState state) {
    switch (state) {
    case CellState::Lit:
        return {255, 176, 0};
    case CellState::Unavailable:
        return {255, 240, 90};
    case CellState::Error:
        return {255, 70, 70};
    }
    Q_UNREACHABLE();
}

void BoardView::setRows(const QList<RowSketch> &rows) {
    if (rows == m_rows)
        return;
    m_rows = rows;
    update();
}

QSize BoardView::sizeHint() const {
    if (m_style == Style::Sketch)
        return {191, 70};
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(QLatin1Char('M')) * PageSet::MaxTypedLength + 12,
            metrics.height() * PageSet::RowsPerPage + 12};
}

bool BoardView::event(QEvent *event) {
    if (event->type() == QEvent::ToolTip) {
        const int margin = m_style == Style::Text ? 6 : 1;
        const qreal cellHeight = (height() - 2 * margin) / qreal(PageSet::RowsPerPage);
        const auto *help = static_cast<QHelpEvent *>(event);
        const int row = int((help->pos().y() - margin) / cellHeight);
        if (row >= 0 && row < m_rows.size() &&
            m_rows.at(row).text.size() > PageSet::MaxTypedLength) {
            QToolTip::showText(help->globalPos(),
                               QStringLiteral("Row %1 has %2 characters: the boards get them all, "
                                              "the picture shows the first %3")
                                   .arg(QString::number(row + 1),
                                        QString::number(m_rows.at(row).text.size()),
                                        QString::number(PageSet::MaxTypedLength)),
                               this);
            return true;
        }
    }
    return QWidget::event(event);
}

void BoardView::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), Face);
    const bool text = m_style == Style::Text;
    const int margin = text ? 6 : 1;
    const QRectF face = QRectF(rect()).adjusted(margin, margin, -margin, -margin);
    const qreal cellWidth = face.width() / PageSet::MaxTypedLength;
    const qreal cellHeight = face.height() / PageSet::RowsPerPage;
    const qsizetype rowCount = qMin<qsizetype>(m_rows.size(), PageSet::RowsPerPage);
    for (qsizetype row = 0; row < rowCount; ++row) {
        const RowSketch &sketch = m_rows.at(row);
        const qreal top = face.top() + row * cellHeight;
        const qsizetype columns = qMin<qsizetype>(sketch.text.size(), PageSet::MaxTypedLength);
        if (sketch.text.size() > PageSet::MaxTypedLength) {
            // More than the picture holds: a bar past the last column says the row goes on.
            const qreal right = face.left() + PageSet::MaxTypedLength * cellWidth;
            painter.fillRect(QRectF(right, top, qMax<qreal>(1.5, margin), cellHeight), LongRowMark);
        }
        for (qsizetype column = 0; column < columns; ++column) {
            const CellState state = sketch.cells.value(column, CellState::Lit);
            const QRectF cell(face.left() + column * cellWidth, top, cellWidth, cellHeight);
            if (state != CellState::Lit)
                painter.fillRect(cell, state == CellState::Error ? ErrorShade : UnavailableShade);
            const QChar c = sketch.text.at(column);
            if (c.isSpace())
                continue;
            if (text) {
                painter.setPen(colour(state));
                painter.drawText(cell, Qt::AlignCenter, QString(c));
                continue;
            }
            // A block a character; punctuation is half as tall, so figures stand out from
            // their separators even at this size.
            const qreal height = c.isPunct() ? cellHeight / 2 : cellHeight - 1.5;
            painter.fillRect(
                QRectF(cell.left() + 0.5, cell.bottom() - 1 - height, cellWidth - 1.5, height),
                colour(state));
        }
    }
}

void BoardView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT activated();
    QWidget::mouseReleaseEvent(event);
}
