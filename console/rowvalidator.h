#pragma once

#include <QString>
#include <QValidator>

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
