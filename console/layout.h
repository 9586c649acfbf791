#pragma once

#include <QHash>
#include <QRect>
#include <QString>
#include <QWidget>

#include <span>

// Every control of the console's two windows sits at a fixed place given in layout units of
// 1/1440 inch from the top-left corner of its container (15 units = 1 pixel at 96 dots per
// inch). The places live in the tables of layout.cpp; buildControls() turns a table into widgets.

class LayoutUnits {
public:
    static constexpr int PerInch = 1440;

    explicit LayoutUnits(qreal logicalDpi);
    static LayoutUnits forPrimaryScreen();

    int px(int units) const;

private:
    qreal m_dpi;
};

enum class ControlKind {
    PageTabs,    // tab container; its pages hold the row boxes
    RowBox,      // single-line text box for one row of a page
    GroupBox,    // framed group, with or without a caption
    Label,       // static caption text
    SettingList, // drop-down list with an editable text field
    Button,      // push button
    ReceiveLine, // label showing the last reply read from the boards
    StatusLight, // small filled square
    BoardSketch, // live sketch of the page shown, filled, stretched to its box
    ProgressBar, // bar from 0 to 100
};

struct FontSpec {
    const char *family = nullptr; // nullptr: the window's font
    double pointSize = 0;
    bool bold = false;
    bool fixedPitch = false; // where the family is missing, fall back to a typewriter face
};

struct ControlSpec {
    const char *name; // object name; for arrays the index is appended ("txtLabel37")
    ControlKind kind;
    const char *container; // nullptr: the window; else the name of a group box or of the tabs
    int left;
    int top;
    int width;
    int height;
    const char *text = "";
    int focus = -1; // place in the focus order, -1: never takes the focus
    int count = 1;  // > 1 for a control array
    int stepX = 0;  // array: distance between neighbours
    int stepY = 0;
    int perContainer = 0; // array on tabs: elements per page (the row restarts on each page)
    FontSpec font = {};
    bool hidden = false;
};

namespace Layout {

// The main window's client area and its controls.
constexpr int DisplayWidth = 10860;
constexpr int DisplayHeight = 7860;
std::span<const ControlSpec> displayControls();

// One tab per page; the boxes sit below a tab strip of this height (two rows of three tabs). The
// tabs here are drawn in one row, and the boxes move up to just below it.
constexpr int TabHeight = 520;
constexpr int TwoRowStripHeight = 1040;

// The progress window's client area and its controls.
constexpr int ProgressWidth = 7290;
constexpr int ProgressHeight = 1155;
std::span<const ControlSpec> progressControls();

} // namespace Layout

// Creates every control of the table as a child of window, in table order, and returns them by
// object name. Fonts, texts, visibility and focus policy are applied; the focus order is chained
// through the controls that take the focus.
QHash<QString, QWidget *> buildControls(QWidget *window, std::span<const ControlSpec> table,
                                        const LayoutUnits &units);

template <typename T>
T *controlNamed(const QHash<QString, QWidget *> &controls, const QString &name) {
    auto *widget = qobject_cast<T *>(controls.value(name));
    Q_ASSERT_X(widget, qPrintable(name), "missing from the layout table or of another kind");
    return widget;
}
