#pragma once

#include <QComboBox>

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
