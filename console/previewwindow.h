#pragma once

#include "pageset.h"
#include "rowfill.h"

#include <QDateTime>
#include <QList>
#include <QWidget>

#include <array>

class BoardView;
class QLabel;
class QTableWidget;

// The six pages as the boards will show them, at a size to read, and the figures in use as
// display-send --show-values lists them: name, value, state, time, source, and why an unavailable
// one is unavailable. Modeless; the console keeps it up to date while it is open.
class PreviewWindow : public QWidget {
    Q_OBJECT

public:
    explicit PreviewWindow(QWidget *parent = nullptr);

    // Every row of every page, filled.
    void showPages(const QList<RowSketch> &rows);
    // The figures as a fill of every row leaves them, and when and how they were read.
    void showFigures(const QList<FieldValues::Line> &lines, const QString &readText);

private:
    std::array<BoardView *, PageSet::PageCount> m_pages{};
    QLabel *const m_readAt;
    QTableWidget *const m_figures;
};
