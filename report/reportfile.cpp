#include "reportfile.h"

#include "failure.h"
#include "regularfile.h"

#include <QFile>
#include <QSaveFile>

#include <optional>

#include <cerrno>
#include <sys/stat.h>

namespace {

// A report's generator and title are within its first few hundred bytes.
constexpr qint64 HeadBytes = 4096;

// The entry at a path itself, a link not followed.
struct Entry {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    bool operator==(const Entry &other) const = default;
};

} // namespace

namespace ReportFile {

bool isReport(const QByteArray &head) {
    return head.startsWith("<!DOCTYPE html>") &&
           (head.contains(GeneratorPrefix) || head.contains(TitlePrefix));
}

void write(const QString &path, const QByteArray &html) {
    const auto refuse = [&](const QString &why) {
        return Failure(
            QStringLiteral("Cannot write %1: %2 (a report goes to a new file or over an earlier "
                           "report)")
                .arg(path, why));
    };
    const QByteArray native = QFile::encodeName(path);
    // Nothing when there is nothing at path; throws when the entry there is not a regular file.
    const auto entryAt = [&]() -> std::optional<Entry> {
        struct stat st {};
        if (::lstat(native.constData(), &st) != 0) {
            if (errno == ENOENT)
                return std::nullopt;
            throw refuse(qt_error_string(errno));
        }
        if (S_ISLNK(st.st_mode))
            throw refuse(QStringLiteral("it is a link"));
        return Entry{st.st_dev, st.st_ino, st.st_mode};
    };

    const std::optional<Entry> before = entryAt();
    if (before) {
        std::unique_ptr<QFile> old;
        try {
            old = RegularFile::open(path); // refuses a folder, a FIFO or a device
        } catch (const RegularFile::FileRefused &refused) {
            throw refuse(refused.reason());
        }
        struct stat st {};
        if (::fstat(old->handle(), &st) != 0 || st.st_dev != before->device ||
            st.st_ino != before->inode)
            throw refuse(QStringLiteral("it changed while it was looked at"));
        if (!isReport(old->read(HeadBytes)))
            throw refuse(QStringLiteral("it is not a report that display-send wrote"));
    }

    // Never written in place: a half-written report must not replace a whole one.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(html) != html.size())
        throw refuse(file.errorString());
    // A link put in its place meanwhile would be followed by the commit, another file replaced.
    if (entryAt() != before)
        throw refuse(QStringLiteral("something else took its place while the report was written"));
    if (!file.commit())
        throw refuse(file.errorString());
}

} // namespace ReportFile
