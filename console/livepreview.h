#pragma once

#include "figurewatch.h"
#include "pageset.h"
#include "rowfill.h"

#include <QDateTime>
#include <QKeySequence>
#include <QObject>
#include <QPointer>

#include <array>
#include <chrono>

class BoardView;
class PreviewWindow;
class QLabel;
class QTabWidget;
class QTimer;
class RowBox;

// What the boards will show, while the operator edits: the page of the current tab sketched in
// the window's framed picture, each templated row's filled text (or why it cannot be filled) as
// its box's tooltip, and the preview window with every page and the figures.
//
// The figures are whatever the last read found (setFigures()): without figures, or when they
// cannot be read, each field shows as typed in the unavailable or the error colour, with the
// reason in its row's tooltip, since SEND would not fill it either.
class LivePreview : public QObject {
    Q_OBJECT

public:
    // Opens the preview window from anywhere in the console's window.
    static inline const QKeySequence PreviewKeys{Qt::CTRL | Qt::Key_P};

    // readLine: says when the figures were read and how many are unavailable.
    LivePreview(QTabWidget *tabs, const std::array<RowBox *, PageSet::RowCount> &rows,
                BoardView *view, QLabel *readLine, QWidget *window);

    void setFigures(const FigureRead &figures);

    // Opens the preview window, or raises it when it is open.
    void openPreview();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QStringList rowTexts(int first, int count) const;
    // The rows as the figures read fill them; values: the figures, refused as the rows refuse.
    QList<RowSketch> sketch(const QStringList &rows, FieldValues &values) const;
    // The figures as the other pages leave them: the values their rows refuse are refused here
    // too. Kept while the operator types on one page, so a keystroke fills that page alone.
    void rememberOtherPages();
    void showPage();
    void showPreview();
    QString toolTipFor(int index) const;

    QTabWidget *const m_tabs;
    const std::array<RowBox *, PageSet::RowCount> m_rows;
    BoardView *const m_view;
    QLabel *const m_readLine;
    QWidget *const m_window;
    QTimer *const m_previewUpdate;

    FigureRead m_figures;
    FieldValues m_afterOtherPages;
    QPointer<PreviewWindow> m_preview;
};
