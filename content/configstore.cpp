#include "configstore.h"

#include "failure.h"

#include <QFile>
#include <QSaveFile>

#include <optional>

namespace {

constexpr int EndOfFile = -1;
// Only 97 values are ever read; a file that tries to feed more than this into them is not a
// configuration file, and must not be read whole into memory.
constexpr qint64 MaxBytesRead = 16 * 1024 * 1024;

class ValueReader {
public:
    explicit ValueReader(QIODevice &device)
        : m_device(device) {}

    // The next value, or nothing when the file ends before the value does. CR LF, LF and a lone
    // CR all end a line; a line end also ends an open quote, so one damaged row cannot swallow
    // the rows after it.
    std::optional<QByteArray> next(bool *quoted = nullptr) {
        while (peek() == ' ')
            take();
        if (quoted)
            *quoted = peek() == '"';
        if (peek() == EndOfFile)
            return std::nullopt;

        QByteArray value;
        if (peek() == '"') {
            take();
            for (int c = peek(); c != '"'; c = peek()) {
                if (c == EndOfFile)
                    return std::nullopt;
                if (isLineEnd(c)) {
                    takeLineEnd();
                    return value;
                }
                value.append(char(take()));
            }
            take();
            // Anything after the closing quote up to the next separator is not part of the value.
            while (peek() != ',' && !isLineEnd(peek()) && peek() != EndOfFile)
                take();
        } else {
            while (peek() != ',' && !isLineEnd(peek()) && peek() != EndOfFile)
                value.append(char(take()));
        }
        if (peek() == ',')
            take();
        else if (isLineEnd(peek()))
            takeLineEnd();
        return value;
    }

    bool overLimit() const { return m_consumed > MaxBytesRead; }
    int line() const { return m_line; } // where the next value starts, from 1

private:
    static bool isLineEnd(int c) { return c == '\r' || c == '\n'; }

    int peek() {
        if (m_pos == m_buffer.size()) {
            if (m_consumed > MaxBytesRead)
                return EndOfFile;
            m_buffer = m_device.read(64 * 1024);
            m_pos = 0;
            if (m_buffer.isEmpty())
                return EndOfFile;
        }
        return static_cast<unsigned char>(m_buffer.at(m_pos));
    }

    int take() {
        const int c = peek();
        if (c != EndOfFile) {
            ++m_pos;
            ++m_consumed;
        }
        return c;
    }

    void takeLineEnd() {
        if (take() == '\r' && peek() == '\n')
            take();
        ++m_line;
    }

    QIODevice &m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_consumed = 0;
    int m_line = 1;
};

std::optional<qint16> parsePortNumber(const QByteArray &value) {
    const QByteArray text = value.trimmed();
    const bool negative = text.startsWith('-');
    QByteArrayView digits = negative ? QByteArrayView(text).sliced(1) : QByteArrayView(text);
    if (digits.isEmpty())
        return std::nullopt;
    // Leading zeros carry no value, however many there are; past them, more than five digits
    // are out of range, and are not added up where they could overflow.
    qsizetype zeros = 0;
    while (zeros + 1 < digits.size() && digits.at(zeros) == '0')
        ++zeros;
    digits = digits.sliced(zeros);
    if (digits.size() > 5)
        return std::nullopt;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (negative)
        number = -number;
    if (number < -32768 || number > 32767)
        return std::nullopt;
    return static_cast<qint16>(number);
}

} // namespace

ConfigStore::ConfigStore(QString path)
    : m_path(std::move(path)) {}

void ConfigStore::load(qint16 &portNumber, PageSet &pages) const {
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("Cannot read %1: %2").arg(m_path, file.errorString()));
    read(file, m_path, portNumber, pages);
}

void ConfigStore::read(QIODevice &device, const QString &name, qint16 &portNumber, PageSet &pages) {
    ValueReader reader(device);
    const auto fail = [&](const QString &why) {
        return Failure(QStringLiteral("Cannot read %1: %2").arg(name, why));
    };
    const auto failAt = [&](int line, const QString &why) {
        return Failure(QStringLiteral("Cannot read %1, line %2: %3").arg(name).arg(line).arg(why));
    };

    bool quoted = false;
    const std::optional<QByteArray> first = reader.next(&quoted);
    if (!first)
        throw fail(reader.overLimit() ? QStringLiteral("the file is too large")
                                      : QStringLiteral("the file is empty"));
    const std::optional<qint16> number = quoted ? std::nullopt : parsePortNumber(*first);
    if (!number)
        throw failAt(1, QStringLiteral("not a port number from -32768 to 32767"));
    portNumber = *number;

    for (int index = 0; index < PageSet::RowCount; ++index) {
        const int line = reader.line();
        const std::optional<QByteArray> value = reader.next();
        if (!value) {
            if (reader.overLimit())
                throw fail(QStringLiteral("the file is too large"));
            throw failAt(line, QStringLiteral("the file ends after %1 of %2 rows")
                                   .arg(index)
                                   .arg(PageSet::RowCount));
        }
        pages.setRow(index, QString::fromLatin1(*value));
    }
}

QByteArray ConfigStore::serialize(qint16 portNumber, const PageSet &pages) {
    QByteArray bytes = QByteArray::number(portNumber) + "\r\n";
    for (int index = 0; index < PageSet::RowCount; ++index)
        bytes += '"' + pages.row(index).toLatin1() + "\"\r\n";
    return bytes;
}

void ConfigStore::save(qint16 portNumber, const PageSet &pages) const {
    // Written through a temporary file and renamed over the old one: a crash or a full disk
    // part-way leaves the previous file whole. Where the folder takes no new file from this user
    // but display.cfg itself is writable, the file is written in place instead, as the only way
    // to save there at all.
    QSaveFile file(m_path);
    file.setDirectWriteFallback(true);
    const auto fail = [&] {
        return Failure(QStringLiteral("Cannot save %1: %2").arg(m_path, file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly))
        throw fail();
    const QByteArray bytes = serialize(portNumber, pages);
    if (file.write(bytes) != bytes.size())
        throw fail();
    if (!file.commit())
        throw fail();
}
