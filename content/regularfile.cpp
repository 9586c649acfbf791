#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What is at path when it is not a regular file; empty for a regular file.
QString kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return {};
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder, not a regular file");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    return QStringLiteral("it is not a regular file");
}

} // namespace

namespace RegularFile {

FileRefused::FileRefused(const QString &verb, const QString &path, const QString &reason)
    : Failure(QStringLiteral("Cannot %1 %2: %3").arg(verb, path, reason))
    , m_reason(reason) {}

std::unique_ptr<QFile> open(const QString &path) {
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO with no writer, or some devices, would otherwise wait here.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw FileRefused(QStringLiteral("read"), path, qt_error_string(errno));
    struct stat st {};
    const QString problem = ::fstat(fd, &st) != 0 ? qt_error_string(errno) : kindOf(st.st_mode);
    if (!problem.isEmpty()) {
        ::close(fd);
        throw FileRefused(QStringLiteral("read"), path, problem);
    }
    // A regular file never blocks; the flag goes so that reads behave as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Named before the open: a name set on an open QFile closes it.
    auto file = std::make_unique<QFile>(path);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw FileRefused(QStringLiteral("read"), path, file->errorString());
    }
    return file;
}

QByteArray read(const QString &path, qint64 maxBytes) {
    const std::unique_ptr<QFile> file = open(path);
    // A file that grows while it is read reports the wrong size: read one byte past the cap.
    const QByteArray bytes = file->read(maxBytes + 1);
    if (file->error() != QFileDevice::NoError)
        throw FileRefused(QStringLiteral("read"), path, file->errorString());
    if (bytes.size() > maxBytes)
        throw FileRefused(QStringLiteral("read"), path,
                          QStringLiteral("the file is larger than %1").arg(sizeText(maxBytes)));
    return bytes;
}

void checkReplaceable(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throw FileRefused(QStringLiteral("save"), path, qt_error_string(errno));
    }
    const QString problem = kindOf(st.st_mode);
    if (!problem.isEmpty())
        throw FileRefused(QStringLiteral("save"), path, problem);
}

bool absent(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) != 0 && errno == ENOENT;
}

QString sizeText(qint64 bytes) {
    constexpr qint64 MiB = 1024 * 1024;
    if (bytes >= MiB && bytes % MiB == 0)
        return QStringLiteral("%1 MiB").arg(bytes / MiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace RegularFile
