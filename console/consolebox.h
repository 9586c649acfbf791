#pragma once

#include <QMessageBox>
#include <QString>

// The title of the console's boxes, save the port error's.
extern const QString WindowTitle;

// Every box of the console is opened without a loop of its own and goes when it is closed.
QMessageBox *newBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                    const QString &text, QMessageBox::StandardButtons buttons = QMessageBox::Ok);
