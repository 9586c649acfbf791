#pragma once

#include "pageset.h"

#include <QAnyStringView>
#include <QString>

class QIODevice;

// display.cfg: the port number on the first line, then the 96 row texts in index order, each in
// double quotes, every line ended by CR LF, one Latin-1 byte per character. Read also as UTF-8,
// as editors save it: with a byte-order mark, or without one when the whole file is valid UTF-8
// and holds a character beyond ASCII.
class ConfigStore {
public:
    static constexpr auto DefaultFileName = "display.cfg";

    explicit ConfigStore(QString path = QString::fromLatin1(DefaultFileName));

    const QString &path() const { return m_path; }

    // The file called name in the folder of the display.cfg at configPath, as an absolute path (a
    // relative configPath is the current folder's, an empty one ./display.cfg): where a folder's
    // other files are looked for.
    static QString besideConfig(const QString &configPath, QAnyStringView name);

    // Reads the port number, then rows 0..95 one by one into pages. Each value is stored as soon
    // as it is read, so on a failure part-way portNumber and the rows already read stay in place.
    // Throws Failure when the file cannot be opened, ends early or holds an unreadable port number.
    void load(qint16 &portNumber, PageSet &pages) const;

    // The same reading rules on any device; name appears in the failure text.
    static void read(QIODevice &device, const QString &name, qint16 &portNumber, PageSet &pages);

    // Replaces the file whole or not at all, and only a regular file (or the one a link leads
    // to). Throws Failure naming the file and the reason.
    void save(qint16 portNumber, const PageSet &pages) const;

    // Saves in place of a file that could not be read, keeping the old file beside it first as
    // PATH.damaged-<UTC time> (-2, -3... when taken). Returns where it was kept; empty when there
    // was no file (then it is created) or it already held these very bytes (then nothing is
    // written). Throws Failure, leaving the old file as it is, when no copy can be made or the
    // file is not a regular one.
    QString replaceUnreadable(qint16 portNumber, const PageSet &pages) const;

    // Makes a new file and never replaces one: fails when anything is at path, a link (even a
    // dangling one) included. A file left part-written by a full disk is removed again. Throws
    // Failure naming the file and the reason.
    void create(qint16 portNumber, const PageSet &pages) const;

    static QByteArray serialize(qint16 portNumber, const PageSet &pages);

private:
    QString m_path;
};
