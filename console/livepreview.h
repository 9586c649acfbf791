#pragma once

#include "figurewatch.h"
#include "filledrows.h"
#include "pageset.h"

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
// The figures are whatever the last read found: the preview owns the reads (a FigureWatch), and
// every answer comes to it first, then to whoever waits for figuresRead() (SEND). Without
// figures, or when they cannot be read, each field shows as typed in the unavailable or the
// error colour, with the reason in its row's tooltip, since SEND would not fill it either.
class LivePreview : public QObject {
    Q_OBJECT

public:
    // Opens the preview window from anywhere in the console's window.
    static inline const QKeySequence PreviewKeys{Qt::CTRL | Qt::Key_P};

    // readLine: says when the figures were read and how many are unavailable. watch: the
    // folder's figures, not yet watching; the preview takes it.
    LivePreview(QTabWidget *tabs, const std::array<RowBox *, PageSet::RowCount> &rows,
                BoardView *view, QLabel *readLine, FigureWatch *watch, QWidget *window);

    // Figures as if read: shown until the next read answers.
    void setFigures(const FigureRead &figures);
    // While the window is shown: watches the files, with a first read from the event loop.
    void setWatching(bool on);
    // A fresh read for SEND, answered with figuresRead().
    void readAfresh() { m_watch->readAfresh(); }
    // Drops the read under way, as the window closes: nothing is answered for it.
    void cancelRead() { m_watch->cancel(); }

    // Opens the preview window, or raises it when it is open.
    void openPreview();

Q_SIGNALS:
    // Every read's answer, once the picture, the tooltips and the preview show it.
    void figuresRead(const FigureRead &figures);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QStringList rowTexts(int first, int count) const;
    // The rows as the figures read fill them: fill's rows, or each field as typed when there are
    // no figures to fill it with.
    QList<RowSketch> sketch(const QStringList &rows, const FilledRows &fill) const;
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
    FigureWatch *const m_watch;
    QWidget *const m_window;
    QTimer *const m_previewUpdate;

    FigureRead m_figures;
    FieldValues m_afterOtherPages;
    QPointer<PreviewWindow> m_preview;
};
