#pragma once

#include <QPoint>
#include <QTabWidget>

// Page tabs with equally wide tabs of a fixed height in one row.
class PageTabs : public QTabWidget {
    Q_OBJECT

public:
    PageTabs(int tabHeight, int tabCount, QWidget *parent = nullptr);

    // Where a page's top-left corner lies inside the tabs, for the current size.
    QPoint pageOrigin() const;
};
