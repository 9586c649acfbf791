#include "layout.h"

#include "boardview.h"
#include "pageset.h"
#include "pagetabs.h"
#include "rowbox.h"
#include "settinglist.h"
#include "statuslight.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <map>

LayoutUnits::LayoutUnits(qreal logicalDpi)
    : m_dpi(logicalDpi > 0 ? logicalDpi : 96) {}

LayoutUnits LayoutUnits::forPrimaryScreen() {
    const QScreen *screen = QGuiApplication::primaryScreen();
    return LayoutUnits(screen ? screen->logicalDotsPerInch() : 96);
}

int LayoutUnits::px(int units) const {
    return qRound(units * m_dpi / PerInch);
}

namespace Layout {

namespace {

using K = ControlKind;

// The row boxes take the focus one after another, then SEND.
constexpr int FirstRowFocus = 6;

// A row's characters line up under those of the rows above it only in a fixed-pitch face.
constexpr FontSpec RowFont{
    .family = "Courier New", .pointSize = 12, .bold = true, .fixedPitch = true};
constexpr FontSpec MessageFont{.family = "Arial", .pointSize = 14.25, .bold = true};

// clang-format off
constexpr ControlSpec DisplayControls[] = {
    {.name = "SSTab", .kind = K::PageTabs, .container = nullptr,
     .left = 240, .top = 240, .width = 6855, .height = 7455, .focus = 0},
    // Row box page * 16 + row lies on the page's tab at 1080 + 360 * row from the top of the tabs.
    {.name = "txtLabel", .kind = K::RowBox, .container = "SSTab",
     .left = 720, .top = 1080, .width = 5055, .height = 390, .focus = FirstRowFocus,
     .count = PageSet::RowCount, .stepY = 360, .perContainer = PageSet::RowsPerPage,
     .font = RowFont},
    {.name = "Frame1", .kind = K::GroupBox, .container = nullptr,
     .left = 7200, .top = 240, .width = 3375, .height = 1815, .text = "Display Configuration"},
    {.name = "Label1", .kind = K::Label, .container = "Frame1",
     .left = 360, .top = 480, .width = 1335, .height = 255, .text = "Comm Port:"},
    {.name = "cmbComm", .kind = K::SettingList, .container = "Frame1",
     .left = 1680, .top = 480, .width = 1455, .height = 315, .focus = 3},
    {.name = "Label2", .kind = K::Label, .container = "Frame1",
     .left = 360, .top = 1080, .width = 1215, .height = 255, .text = "Page Delay (s):"},
    {.name = "cmbDelay", .kind = K::SettingList, .container = "Frame1",
     .left = 1680, .top = 1080, .width = 1455, .height = 315, .focus = 5},
    {.name = "cmdSend", .kind = K::Button, .container = nullptr,
     .left = 7920, .top = 2280, .width = 1815, .height = 495, .text = "SEND",
     .focus = FirstRowFocus + PageSet::RowCount},
    {.name = "lblRx", .kind = K::ReceiveLine, .container = nullptr,
     .left = 7320, .top = 2880, .width = 3255, .height = 495},
    {.name = "shpStatus", .kind = K::StatusLight, .container = nullptr,
     .left = 7320, .top = 3480, .width = 135, .height = 135,
     .count = BoardAddress::Count, .stepX = 240},
    // Which figures the last SEND could not show, in one line.
    {.name = "lblValues", .kind = K::Label, .container = nullptr,
     .left = 7320, .top = 3720, .width = 3255, .height = 255},
    {.name = "cmdTest", .kind = K::Button, .container = nullptr,
     .left = 7200, .top = 4080, .width = 1335, .height = 495, .text = "Test", .hidden = true},
    {.name = "cmdRecOnly", .kind = K::Button, .container = nullptr,
     .left = 8880, .top = 4080, .width = 1455, .height = 495, .text = "Rec Only", .hidden = true},
    {.name = "Frame2", .kind = K::GroupBox, .container = nullptr,
     .left = 7320, .top = 5040, .width = 3375, .height = 2415},
    {.name = "Image1", .kind = K::BoardSketch, .container = "Frame2",
     .left = 240, .top = 360, .width = 2865, .height = 1050},
    // When the figures in the picture were read, and how many are unavailable.
    {.name = "lblFigures", .kind = K::Label, .container = "Frame2",
     .left = 240, .top = 1500, .width = 2865, .height = 780},
    {.name = "Label5", .kind = K::Label, .container = nullptr,
     .left = 7320, .top = 7560, .width = 3375, .height = 255,
     .text = "Version 1.0                                    14/09/2021"},
};

constexpr ControlSpec ProgressControls[] = {
    {.name = "lblMsg", .kind = K::Label, .container = nullptr,
     .left = 600, .top = 120, .width = 6255, .height = 375, .font = MessageFont},
    {.name = "pbar", .kind = K::ProgressBar, .container = nullptr,
     .left = 600, .top = 600, .width = 6375, .height = 375},
};
// clang-format on

} // namespace

std::span<const ControlSpec> displayControls() {
    return DisplayControls;
}

std::span<const ControlSpec> progressControls() {
    return ProgressControls;
}

} // namespace Layout

namespace {

QWidget *createControl(ControlKind kind, const QString &text, QWidget *parent,
                       const LayoutUnits &units) {
    switch (kind) {
    case ControlKind::PageTabs: {
        auto *tabs = new PageTabs(units.px(Layout::TabHeight), PageSet::PageCount, parent);
        for (int page = 0; page < PageSet::PageCount; ++page) {
            auto *sheet = new QWidget;
            sheet->setObjectName(QStringLiteral("page%1").arg(page));
            sheet->setBackgroundRole(QPalette::Button);
            sheet->setAutoFillBackground(true);
            tabs->addTab(sheet, QStringLiteral("Page %1").arg(page + 1));
            tabs->tabBar()->setTabTextColor(page, QColor(0, 0, 255));
        }
        return tabs;
    }
    case ControlKind::RowBox:
        return new RowBox(parent);
    case ControlKind::GroupBox:
        return new QGroupBox(text, parent);
    case ControlKind::Label: {
        auto *label = new QLabel(text, parent);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::SettingList:
        return new SettingList(parent);
    case ControlKind::Button:
        return new QPushButton(text, parent);
    case ControlKind::ReceiveLine: {
        auto *label = new QLabel(parent);
        label->setTextFormat(Qt::PlainText);
        label->setAutoFillBackground(true);
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, QColor(224, 224, 224));
        label->setPalette(palette);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return label;
    }
    case ControlKind::StatusLight:
        return new StatusLight(parent);
    case ControlKind::BoardSketch:
        return new BoardView(BoardView::Style::Sketch, parent);
    case ControlKind::ProgressBar: {
        auto *bar = new QProgressBar(parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    }
    Q_UNREACHABLE();
}

} // namespace

QHash<QString, QWidget *> buildControls(QWidget *window, std::span<const ControlSpec> table,
                                        const LayoutUnits &units) {
    QHash<QString, QWidget *> built;
    std::map<int, QWidget *> focusOrder;

    for (const ControlSpec &entry : table) {
        const QString name = QString::fromLatin1(entry.name);
        QWidget *container = window;
        if (entry.container) {
            container = built.value(QString::fromLatin1(entry.container));
            Q_ASSERT_X(container, entry.name, "container must come earlier in the table");
        }
        auto *tabs = qobject_cast<PageTabs *>(container);

        for (int index = 0; index < entry.count; ++index) {
            // On the tabs each page holds perContainer elements; the position restarts per page.
            const int perContainer = entry.perContainer > 0 ? entry.perContainer : entry.count;
            const int slot = index % perContainer;
            int left = entry.left + entry.stepX * slot;
            int top = entry.top + entry.stepY * slot;

            QWidget *parent = container;
            QPoint shift;
            if (tabs) {
                // Positions are measured from the top-left corner of the tabs, strip included.
                // The strip is one row here, so the boxes move up by the second row's height.
                parent = tabs->widget(index / perContainer);
                top -= Layout::TwoRowStripHeight - Layout::TabHeight;
                shift = tabs->pageOrigin();
            }

            QWidget *widget =
                createControl(entry.kind, QString::fromLatin1(entry.text), parent, units);
            const QString objectName = entry.count > 1 ? name + QString::number(index) : name;
            widget->setObjectName(objectName);
            widget->setGeometry(
                QRect(units.px(left), units.px(top), units.px(entry.width), units.px(entry.height))
                    .translated(-shift));
            if (entry.font.family) {
                QFont font(QString::fromLatin1(entry.font.family));
                font.setPointSizeF(entry.font.pointSize);
                font.setBold(entry.font.bold);
                if (entry.font.fixedPitch) {
                    font.setStyleHint(QFont::TypeWriter);
                    font.setFixedPitch(true);
                }
                widget->setFont(font);
            }
            if (entry.hidden)
                widget->setVisible(false);
            if (entry.focus >= 0)
                focusOrder.emplace(entry.focus + index, widget);
            else if (entry.kind == ControlKind::Button)
                widget->setFocusPolicy(Qt::NoFocus);
            built.insert(objectName, widget);
        }
    }

    QWidget *previous = nullptr;
    for (const auto &[position, widget] : focusOrder) {
        if (previous)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
    return built;
}
