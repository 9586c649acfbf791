#include "consolebox.h"

const QString WindowTitle = QStringLiteral("Environmental Display Board Console");

QMessageBox *newBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                    const QString &text, QMessageBox::StandardButtons buttons) {
    auto *box = new QMessageBox(icon, title, text, buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}
