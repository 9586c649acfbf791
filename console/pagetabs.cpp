#include "pagetabs.h"

#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

namespace {

class PageTabBar : public QTabBar {
public:
    PageTabBar(int tabHeight, int tabCount, QWidget *parent)
        : QTabBar(parent)
        , m_tabHeight(tabHeight)
        , m_tabCount(tabCount) {
        setExpanding(true);
        setDrawBase(true);
    }

protected:
    QSize tabSizeHint(int index) const override {
        const QWidget *tabs = parentWidget();
        const int width = tabs ? tabs->width() : QTabBar::tabSizeHint(index).width() * m_tabCount;
        // The last tab takes what the division leaves, so the strip spans the whole width.
        const int each = width / m_tabCount;
        const int extra = index == m_tabCount - 1 ? width - each * m_tabCount : 0;
        return {each + extra, m_tabHeight};
    }
    QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }

private:
    int m_tabHeight;
    int m_tabCount;
};

} // namespace

PageTabs::PageTabs(int tabHeight, int tabCount, QWidget *parent)
    : QTabWidget(parent) {
    setTabBar(new PageTabBar(tabHeight, tabCount, this));
    setUsesScrollButtons(false);
    setElideMode(Qt::ElideNone);
}

QPoint PageTabs::pageOrigin() const {
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this).topLeft();
}
