#pragma once

#include <QString>

#include <exception>

// A platform operation (serial port, file) that failed. Carries the text shown to the operator:
// what was attempted, on which device or file, and the platform's own words for why.
class Failure : public std::exception {
public:
    explicit Failure(QString text)
        : m_text(std::move(text))
        , m_utf8(m_text.toUtf8()) {}

    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_text;
    QByteArray m_utf8;
};
