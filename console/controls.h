#pragma once

#include "pageset.h"

#include <QColor>
#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QValidator>

// The few controls of the console that need more than a stock Qt widget.

// Keeps what the operator types or pastes into a row box to what the boards and display.cfg can
// carry: at most 32 characters, printable Latin-1 only, never a double quote (display.cfg has no
// escape for it) and never "~" (it separates the two rows of a pair on the line). Only the
// inserted part of an edit is filtered and cut, so a longer or odd text placed by the program
// stays whole and can still be shortened, but never grows.
class RowValidator : public QValidator {
    Q_OBJECT

public:
    using QValidator::QValidator;

    State validate(QString &input, int &pos) const override;

    // The text the box holds now, taken as it is; the next edit is measured against it.
    void setAccepted(const QString &text) { m_accepted = text; }

private:
    mutable QString m_accepted; // the text after the last edit
};

// One row of a page. setText() from the operator's side goes through the validator;
// placeText() puts a text from the program in whole.
class RowBox : public QLineEdit {
    Q_OBJECT

public:
    explicit RowBox(QWidget *parent = nullptr);

    void placeText(const QString &text);

private:
    RowValidator *const m_validator;
};

// A drop-down list whose text field accepts typing. Typing leaves no entry selected (-1) and
// keeps what was typed, even when it equals an entry; only choosing from the drop-down (or
// stepping with the arrow keys) selects. Enter and leaving the field never select or add an
// entry.
class SettingList : public QComboBox {
    Q_OBJECT

public:
    explicit SettingList(QWidget *parent = nullptr);

private:
    void forgetSelection();
};

// A small filled square in one colour, outlined in black.
class StatusLight : public QWidget {
    Q_OBJECT

public:
    explicit StatusLight(QWidget *parent = nullptr);

    void setColour(const QColor &colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour;
};

// Page tabs with equally wide tabs of a fixed height in one row.
class PageTabs : public QTabWidget {
    Q_OBJECT

public:
    PageTabs(int tabHeight, int tabCount, QWidget *parent = nullptr);

    // Where a page's top-left corner lies inside the tabs, for the current size.
    QPoint pageOrigin() const;
};
