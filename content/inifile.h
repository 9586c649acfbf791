#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

// One line of a folder's small settings files (sources.conf, journal.conf, ports.conf), which
// share their syntax: "[section]" headers and "KEY = VALUE" entries, a line ending at LF, CR LF
// or a lone CR. Blank lines and those beginning with ";" or "#" are comments. What a section or
// a key means, and what is wrong with it, is each file's own.
struct IniLine {
    enum class Kind {
        Section, // begins with "[": a header, even one without its "]"
        Entry,   // KEY = VALUE
        Other,   // neither: no "=" in it
    };
    Kind kind = Kind::Other;
    int number = 0;      // from 1
    QString text;        // the line without the spaces around it
    QString name;        // a section's, inside the brackets, without the spaces around it
    bool closed = false; // a section's header ends in "]"
    QString key;         // an entry's, before the first "=", without the spaces around it
    QString value;       // an entry's, after the first "=", without the spaces around it
};

namespace IniFile {

// The lines of text that are not comments, in order; an editor's byte-order mark is passed over.
QList<IniLine> lines(QStringView text);

// A bad line as every message names it: "FILE, line N: why".
QString lineProblem(const QString &path, int line, const QString &why);

// Bad lines (line, why) as a file reports them: in line order, at most 20, then "FILE: and N
// more", since a file full of the same mistake helps no one.
QStringList reported(const QString &path, QList<std::pair<int, QString>> found);

} // namespace IniFile
