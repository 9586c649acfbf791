#include "settinglist.h"

#include <QLineEdit>

SettingList::SettingList(QWidget *parent)
    : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // An inline completer would both extend the typed text and select the completed entry.
    setCompleter(nullptr);
    // The list's own handlers select an entry equal to the typed text on Enter and when the field
    // loses the focus; the typed text must stay unselected.
    disconnect(lineEdit(), SIGNAL(returnPressed()), this, nullptr);
    disconnect(lineEdit(), SIGNAL(editingFinished()), this, nullptr);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { forgetSelection(); });
}

void SettingList::forgetSelection() {
    if (currentIndex() == -1)
        return;
    // Clearing the selection also clears the field: put the typed text and the caret back.
    QLineEdit *const field = lineEdit();
    const QString typed = field->text();
    const int caret = field->cursorPosition();
    setCurrentIndex(-1);
    field->setText(typed);
    field->setCursorPosition(caret);
}
