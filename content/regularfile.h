#pragma once

#include "failure.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QFile;

// The files an operator names or edits (display.cfg, ports.conf, a values file) may be a FIFO,
// a device or a folder by mistake. They are opened without blocking and used only when they are
// regular files (a link to one is fine), so such a mistake is refused at once with a message
// instead of being waited on for ever, read until memory runs out, or replaced at a save.
namespace RegularFile {

// A file that cannot be used: text() is "Cannot read PATH: REASON" (or "Cannot save ..."), and
// reason() the platform's words or the kind of file alone, for callers that word it otherwise.
class FileRefused : public Failure {
public:
    FileRefused(const QString &verb, const QString &path, const QString &reason);
    const QString &reason() const noexcept { return m_reason; }

private:
    QString m_reason;
};

// Opened for reading, positioned at the start. Throws FileRefused.
std::unique_ptr<QFile> open(const QString &path);

// The whole file when it holds at most maxBytes; throws FileRefused otherwise.
QByteArray read(const QString &path, qint64 maxBytes);

// Nothing at path, or a regular file (through links): a save may put a new file there. Anything
// else throws FileRefused with the verb "save".
void checkReplaceable(const QString &path);

// True only when nothing at all has this name: not even a dangling link. An optional file of a
// folder is "none" only then; any other entry under its name must be readable or is an error.
bool absent(const QString &path);

// "1 MiB", "16 MiB", "4096 bytes": a size cap as a message gives it.
QString sizeText(qint64 bytes);

} // namespace RegularFile
