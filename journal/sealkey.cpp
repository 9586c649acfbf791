#include "sealkey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView FileHeader = "display-seal-key 1";
constexpr QLatin1String TextPrefix("dsv1:");
// A key file is a few lines; anything much larger is not one.
constexpr qint64 MaxFileBytes = 4096;

QByteArray nextKey(const QByteArray &key) {
    return QCryptographicHash::hash(QByteArray("display-seal next\n") + key,
                                    QCryptographicHash::Sha256);
}

QByteArray idOf(const QByteArray &firstKey) {
    return QCryptographicHash::hash(QByteArray("display-seal id\n") + firstKey,
                                    QCryptographicHash::Sha256)
        .left(16);
}

bool validShape(const SealKey &key) {
    return key.id.size() == 16 && key.key.size() == SealKey::KeyBytes && key.epoch >= 0 &&
           key.epochSeconds >= 60 && key.epochSeconds <= SealKey::MaxEpochSeconds && key.origin > 0;
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(::strerror(error));
}

} // namespace

SealKey SealKey::create(const QDateTime &now, qint64 epochSeconds) {
    SealKey created;
    created.origin = now.toSecsSinceEpoch();
    created.epochSeconds = epochSeconds;
    created.key.resize(KeyBytes);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(created.key.data()),
                                          KeyBytes / sizeof(quint32));
    created.id = idOf(created.key);
    return created;
}

qint64 SealKey::epochAt(const QDateTime &time) const {
    const qint64 seconds = time.toSecsSinceEpoch() - origin;
    return seconds < 0 ? 0 : seconds / epochSeconds;
}

QDateTime SealKey::epochStart(qint64 epochNumber) const {
    return QDateTime::fromSecsSinceEpoch(origin + epochNumber * epochSeconds, Qt::UTC);
}

std::optional<SealKey> SealKey::advancedTo(qint64 target) const {
    if (target < epoch)
        return std::nullopt;
    SealKey advanced = *this;
    for (; advanced.epoch < target; ++advanced.epoch)
        advanced.key = nextKey(advanced.key);
    return advanced;
}

QByteArray SealKey::seal(QByteArrayView message) const {
    QMessageAuthenticationCode code(QCryptographicHash::Sha256, key);
    code.addData(message.data(), message.size());
    return code.result();
}

QString SealKey::verificationText() const {
    return QStringLiteral("%1%2:%3:%4")
        .arg(TextPrefix, QString::number(origin), QString::number(epochSeconds),
             QString::fromLatin1(key.toHex()));
}

std::optional<SealKey> SealKey::fromVerificationText(QStringView text) {
    text = text.trimmed();
    if (!text.startsWith(TextPrefix))
        return std::nullopt;
    const QList<QStringView> parts = text.mid(TextPrefix.size()).split(QLatin1Char(':'));
    if (parts.size() != 3)
        return std::nullopt;
    SealKey key;
    bool originOk = false;
    bool lengthOk = false;
    key.origin = parts.at(0).toLongLong(&originOk);
    key.epochSeconds = parts.at(1).toLongLong(&lengthOk);
    key.key = QByteArray::fromHex(parts.at(2).toLatin1());
    if (!originOk || !lengthOk || key.key.toHex() != parts.at(2).toLatin1().toLower())
        return std::nullopt;
    key.id = idOf(key.key);
    if (!validShape(key))
        return std::nullopt;
    return key;
}

QByteArray SealKey::fileText() const {
    return FileHeader.toByteArray() + "\nid " + id.toHex() + "\norigin " +
           QByteArray::number(origin) + "\nepoch-seconds " + QByteArray::number(epochSeconds) +
           "\nepoch " + QByteArray::number(epoch) + "\nkey " + key.toHex() + '\n';
}

std::optional<SealKey> SealKey::fromFileText(QByteArrayView text, QString &problem) {
    const QList<QByteArray> lines = text.toByteArray().trimmed().split('\n');
    if (lines.size() != 6 || lines.at(0) != FileHeader) {
        problem = QStringLiteral("it is not a sealing key");
        return std::nullopt;
    }
    SealKey key;
    const char *const names[] = {"id ", "origin ", "epoch-seconds ", "epoch ", "key "};
    bool ok = true;
    for (int n = 0; n < 5; ++n) {
        const QByteArray &line = lines.at(n + 1);
        const QByteArrayView name(names[n]);
        if (!line.startsWith(name)) {
            ok = false;
            break;
        }
        const QByteArray value = line.mid(name.size()).trimmed();
        bool number = true;
        switch (n) {
        case 0:
            key.id = QByteArray::fromHex(value);
            break;
        case 1:
            key.origin = value.toLongLong(&number);
            break;
        case 2:
            key.epochSeconds = value.toLongLong(&number);
            break;
        case 3:
            key.epoch = value.toLongLong(&number);
            break;
        case 4:
            key.key = QByteArray::fromHex(value);
            break;
        }
        ok = ok && number;
    }
    if (!ok || !validShape(key)) {
        problem = QStringLiteral("it is not a sealing key");
        return std::nullopt;
    }
    return key;
}

QDebug operator<<(QDebug debug, const SealKey &key) {
    // Never the key itself: a log is no place for it.
    QDebugStateSaver saver(debug);
    debug.nospace() << "SealKey(" << key.id.toHex() << ", epoch " << key.epoch << " of "
                    << key.epochSeconds << " s from " << key.origin << ')';
    return debug;
}

namespace SealKeyFile {

QString pathFor(const QString &journalPath) {
    const QFileInfo journal(journalPath);
    QString name = journal.fileName();
    if (name.endsWith(QLatin1String(".db")))
        name.chop(3);
    return journal.dir().filePath(name + QStringLiteral(".seal"));
}

std::optional<SealKey> read(const QString &path, QString &problem) {
    const QByteArray name = QFile::encodeName(path);
    // O_NOFOLLOW and O_NONBLOCK: never through a link, never waiting on a FIFO.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        problem = error == ENOENT   ? QStringLiteral("it is missing")
                  : error == ELOOP  ? QStringLiteral("it is a symbolic link")
                  : error == EACCES ? QStringLiteral("it is not readable")
                                    : errnoText(error);
        return std::nullopt;
    }
    struct stat st {};
    QByteArray text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("it is not a regular file");
    } else if (st.st_size > MaxFileBytes) {
        problem = QStringLiteral("it is not a sealing key");
    } else {
        text.resize(MaxFileBytes + 1);
        const ssize_t got = ::read(fd, text.data(), text.size());
        if (got < 0)
            problem = errnoText(errno);
        text.resize(got < 0 ? 0 : got);
    }
    ::close(fd);
    if (!problem.isEmpty())
        return std::nullopt;
    return SealKey::fromFileText(text, problem);
}

bool write(const QString &path, const SealKey &key, bool exclusive, QString &problem) {
    const QFileInfo target(path);
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    const QByteArray name = QFile::encodeName(target.absoluteFilePath());
    // Its own name for each process: two writers never share one half-written file. One left by
    // a crash holds a key no older than the one in use.
    const QByteArray temporary = name + ".new." + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        problem = errnoText(errno);
        return false;
    }
    const QByteArray text = key.fileText();
    bool ok = ::fchmod(fd, 0600) == 0 &&
              ::write(fd, text.constData(), text.size()) == text.size() && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        // A link fails when a key is there; a rename replaces it in one step.
        ok = exclusive ? ::link(temporary.constData(), name.constData()) == 0
                       : ::rename(temporary.constData(), name.constData()) == 0;
        error = ok ? 0 : errno;
    }
    ::unlink(temporary.constData());
    if (!ok) {
        problem = error == EEXIST ? QStringLiteral("a sealing key is there already")
                                  : errnoText(error ? error : EIO);
        return false;
    }
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace SealKeyFile
