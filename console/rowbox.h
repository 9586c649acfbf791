#pragma once

#include <QLineEdit>

class RowValidator;

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
