#pragma once

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
class QTabWidget;
class QTimer;
class RowBox;

// What the boards will show, while the operator edits: the page of the current tab sketched in
// the window's framed picture, each templated row's filled text (or why it cannot be filled) as
// its box's tooltip, and the preview window with every page and the figures.
//
// The figures come from whoever reads them: this asks with figuresWanted() and is answered with
// setFigures(). Asking is a state, so reads never overlap: a request while one is under way is
// answered by that one.
class LivePreview : public QObject {
    Q_OBJECT

public:
    // While the preview window is open the figures are read again this often.
    static constexpr std::chrono::seconds ReadInterval{60};
    // Opens the preview window from anywhere in the console's window.
    static inline const QKeySequence PreviewKeys{Qt::CTRL | Qt::Key_P};

    LivePreview(QTabWidget *tabs, const std::array<RowBox *, PageSet::RowCount> &rows,
                BoardView *view, QWidget *window);

    void setFigures(const FieldValues &values, const QDateTime &readAt);
    // Asks for the figures unless a read is under way; true when it asked.
    bool readFigures();
    bool reading() const { return m_reading; }

    // Opens the preview window, or raises it when it is open.
    void openPreview();

Q_SIGNALS:
    void figuresWanted();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QStringList rowTexts(int first, int count) const;
    // The figures as the other pages leave them: the values their rows refuse are refused here
    // too. Kept while the operator types on one page, so a keystroke fills that page alone.
    void rememberOtherPages();
    void showPage();
    void showPreview();
    QString toolTipFor(int index) const;

    QTabWidget *const m_tabs;
    const std::array<RowBox *, PageSet::RowCount> m_rows;
    BoardView *const m_view;
    QWidget *const m_window;
    QTimer *const m_readTimer;
    QTimer *const m_previewUpdate;

    FieldValues m_figures;
    QDateTime m_readAt;
    FieldValues m_afterOtherPages;
    QPointer<PreviewWindow> m_preview;
    bool m_reading = false;
};
