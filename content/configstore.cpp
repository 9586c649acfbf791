#include "configstore.h"

#include "failure.h"
#include "regularfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <optional>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int EndOfFile = -1;
// Only 97 values are ever read; a file that tries to feed more than this into them is not a
// configuration file, and must not be read whole into memory.
constexpr qint64 MaxBytesRead = 16 * 1024 * 1024;

class ValueReader {
public:
    // bytes: the file's first bytes, one more than the cap when it holds more.
    explicit ValueReader(const QByteArray &bytes)
        : m_bytes(bytes)
        , m_end(std::min<qsizetype>(bytes.size(), MaxBytesRead)) {}

    // The next value, or nothing when the file ends before the value does. LF, a run of CRs
    // followed by LF (a CR LF file converted twice) and a lone CR each end one line; a line end
    // also ends an open quote, so one damaged row cannot swallow the rows after it.
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

    // Takes a UTF-8 byte-order mark at the very start; true when there was one.
    bool takeByteOrderMark() {
        if (peekAt(0) != 0xef || peekAt(1) != 0xbb || peekAt(2) != 0xbf)
            return false;
        for (int i = 0; i < 3; ++i)
            take();
        return true;
    }

    bool overLimit() const { return m_bytes.size() > MaxBytesRead; }
    int line() const { return m_line; } // where the next value starts, from 1

private:
    static bool isLineEnd(int c) { return c == '\r' || c == '\n'; }

    int peek() { return peekAt(0); }

    // The byte ahead of the next one by offset.
    int peekAt(qsizetype offset) const {
        return m_pos + offset < m_end ? static_cast<unsigned char>(m_bytes.at(m_pos + offset))
                                      : EndOfFile;
    }

    int take() {
        const int c = peek();
        if (c != EndOfFile)
            ++m_pos;
        return c;
    }

    void takeLineEnd() {
        ++m_line;
        if (take() != '\r')
            return;
        if (m_loneCrs > 0) {
            --m_loneCrs;
            return;
        }
        qsizetype run = 0; // further CRs after this one
        while (peekAt(run) == '\r')
            ++run;
        if (peekAt(run) == '\n') {
            for (qsizetype i = 0; i <= run; ++i)
                take();
        } else {
            // Each of these CRs ends a line of its own; remembered so that a long run is looked
            // over once, not again at each of its CRs.
            m_loneCrs = run;
        }
    }

    const QByteArray &m_bytes;
    const qsizetype m_end; // no byte from here on is read
    qsizetype m_pos = 0;
    int m_line = 1;
    qsizetype m_loneCrs = 0; // CRs ahead known not to be followed by LF
};

std::optional<qint16> parsePortNumber(const QByteArray &value) {
    // toShort() takes a sign and any number of leading zeros and refuses what overflows, but
    // would stop at a NUL byte and take what came before it.
    bool ok = false;
    const qint16 number = value.trimmed().toShort(&ok);
    if (!ok || value.contains('\0'))
        return std::nullopt;
    return number;
}

} // namespace

ConfigStore::ConfigStore(QString path)
    : m_path(std::move(path)) {}

void ConfigStore::load(qint16 &portNumber, PageSet &pages) const {
    const std::unique_ptr<QFile> file = RegularFile::open(m_path);
    read(*file, m_path, portNumber, pages);
}

QString ConfigStore::besideConfig(const QString &configPath, QAnyStringView name) {
    const QFileInfo config(configPath.isEmpty() ? QString::fromLatin1(DefaultFileName)
                                                : configPath);
    return QDir(QDir::cleanPath(config.absolutePath())).filePath(name.toString());
}

void ConfigStore::read(QIODevice &device, const QString &name, qint16 &portNumber, PageSet &pages) {
    // Read whole first (within the cap): whether the file is UTF-8 is known only from all of it.
    QByteArray bytes;
    while (bytes.size() <= MaxBytesRead) {
        const QByteArray more =
            device.read(std::min<qint64>(64 * 1024, MaxBytesRead + 1 - bytes.size()));
        if (more.isEmpty())
            break;
        bytes += more;
    }
    ValueReader reader(bytes);
    const auto fail = [&](const QString &why) {
        return Failure(QStringLiteral("Cannot read %1: %2").arg(name, why));
    };
    const auto failAt = [&](int line, const QString &why) {
        return Failure(
            QStringLiteral("Cannot read %1, line %2: %3").arg(name, QString::number(line), why));
    };

    // The console writes one Latin-1 byte a character, but most editors save UTF-8, with or
    // without a byte-order mark. A file without one is UTF-8 when all of it is valid UTF-8 and
    // holds a byte above ASCII: Latin-1 text seldom is (its accented letters would each have to
    // be followed by symbols from 0x80 to 0xbf), and text such as "Ã©" that is would have been
    // UTF-8 read wrongly by some other program. Either way a character the boards cannot show
    // refuses the row rather than sending its bytes as other characters.
    const bool byteOrderMark = reader.takeByteOrderMark();
    const bool utf8 = byteOrderMark ||
                      (std::any_of(bytes.cbegin(), bytes.cend(), [](char c) { return c & 0x80; }) &&
                       bytes.isValidUtf8());
    const auto text = [&](const QByteArray &value, int line) {
        if (!utf8)
            return QString::fromLatin1(value);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder(value);
        if (decoder.hasError())
            throw failAt(line, QStringLiteral("the row is not valid UTF-8"));
        if (std::any_of(decoded.begin(), decoded.end(), [](QChar c) { return c.unicode() > 0xff; }))
            throw failAt(line, QStringLiteral("the row holds a character the boards cannot show"));
        return decoded;
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
            throw failAt(line,
                         QStringLiteral("the file ends after %1 of %2 rows")
                             .arg(QString::number(index), QString::number(PageSet::RowCount)));
        }
        pages.setRow(index, text(*value, line));
    }
}

QByteArray ConfigStore::serialize(qint16 portNumber, const PageSet &pages) {
    QByteArray bytes = QByteArray::number(portNumber) + "\r\n";
    for (int index = 0; index < PageSet::RowCount; ++index)
        bytes += '"' + pages.row(index).toLatin1() + "\"\r\n";
    return bytes;
}

void ConfigStore::save(qint16 portNumber, const PageSet &pages) const {
    // Only a regular file is replaced: a device or a FIFO named as the config file stays what it
    // is. Through a link, QSaveFile replaces the file the link leads to and keeps the link.
    RegularFile::checkReplaceable(m_path);
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

void ConfigStore::create(qint16 portNumber, const PageSet &pages) const {
    const QByteArray path = QFile::encodeName(m_path);
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const auto fail = [&](int error) {
        return Failure(QStringLiteral("Cannot create %1: %2")
                           .arg(m_path, error == EEXIST ? QStringLiteral("it exists already")
                                                        : QString::fromLocal8Bit(strerror(error))));
    };
    if (fd < 0)
        throw fail(errno);
    const QByteArray bytes = serialize(portNumber, pages);
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            ::unlink(path.constData());
            throw fail(error);
        }
        written += n;
    }
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlink(path.constData());
        throw fail(error);
    }
}

QString ConfigStore::replaceUnreadable(qint16 portNumber, const PageSet &pages) const {
    const QByteArray bytes = serialize(portNumber, pages);
    if (!QFileInfo::exists(m_path)) {
        save(portNumber, pages);
        return {};
    }
    const auto refuse = [&](const QString &why) {
        return Failure(QStringLiteral("%1 was left as it is: %2").arg(m_path, why));
    };
    std::unique_ptr<QFile> old;
    try {
        old = RegularFile::open(m_path);
    } catch (const RegularFile::FileRefused &refused) {
        throw refuse(refused.reason());
    }
    // The same bytes again (a port number the list does not offer, in a file the console wrote):
    // nothing to keep and nothing to write, however often the console starts.
    if (old->size() == bytes.size() && old->read(bytes.size() + 1) == bytes)
        return {};

    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = m_path + QStringLiteral(".damaged-") + stamp;
    QFile copy(base);
    // NewOnly: a copy made earlier, or a link someone put in the way, is never written through.
    for (int n = 2; !copy.open(QIODevice::WriteOnly | QIODevice::NewOnly); ++n) {
        if (!QFileInfo::exists(copy.fileName()) && !QFileInfo(copy.fileName()).isSymLink())
            throw refuse(
                QStringLiteral("no copy of it could be made (%1)").arg(copy.errorString()));
        copy.setFileName(base + QLatin1Char('-') + QString::number(n));
    }
    const auto abandon = [&](const QString &why) {
        copy.remove();
        return refuse(QStringLiteral("no copy of it could be made (%1)").arg(why));
    };
    if (!old->seek(0))
        throw abandon(old->errorString());
    for (;;) {
        const QByteArray chunk = old->read(64 * 1024);
        if (old->error() != QFileDevice::NoError)
            throw abandon(old->errorString());
        if (chunk.isEmpty())
            break;
        if (copy.write(chunk) != chunk.size())
            throw abandon(copy.errorString());
    }
    copy.setPermissions(old->permissions());
    if (!copy.flush())
        throw abandon(copy.errorString());
    copy.close();
    save(portNumber, pages);
    return copy.fileName();
}
