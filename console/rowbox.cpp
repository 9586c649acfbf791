#include "rowbox.h"

#include "rowvalidator.h"

#include <limits>

RowBox::RowBox(QWidget *parent)
    : QLineEdit(parent)
    , m_validator(new RowValidator(this)) {
    setValidator(m_validator);
    // QLineEdit cuts every text to 32767 characters by default, even one set by the program: a
    // longer row from display.cfg would lose its end at the next close. The validator alone
    // limits what the operator types.
    setMaxLength(std::numeric_limits<int>::max());
}

void RowBox::placeText(const QString &text) {
    // The validator learns the text first, so it passes it through whole when Qt asks. Qt does
    // not ask when the text is the one already shown, so nothing may wait for that question.
    m_validator->setAccepted(text);
    setText(text);
}
