#pragma once

#include "porttarget.h"

#include <QString>
#include <QStringList>

#include <functional>

// ports.conf: COM numbers mapped to other devices, one "NUMBER=DEVICE" a line
// ("33=/dev/serial/by-id/usb-...", "120=tcp://10.1.2.3:4001"). Comments begin with ";" or "#"
// (and ";" outside double quotes ends a device); an optional [General] header, in any case.
//
// It is looked for beside the display.cfg in use, in ~/.config/display-console/ and in
// /etc/display-console/. Each number is taken from the first of these files that names it, so a
// plant-wide file in /etc names the adapters once and a nearer file changes only the numbers it
// names. A line that cannot be used is reported with its file and line and left out; the rest of
// the file is used. When the line names a number the port list offers, that number opens nothing
// until the line is mended, rather than falling back to a device the line meant to replace.
// Only a regular file of at most 1 MiB is read; at most 20 bad lines of a file are listed.

struct PortMapLoad {
    PortMap map;
    QStringList problems; // "FILE, line N: what is wrong", nearest file first, in line order;
                          // "FILE: and N more" after 20 of one file
    QStringList files;    // the files that were read, nearest first
};

namespace PortMapFile {

inline constexpr QLatin1StringView FileName("ports.conf");

// The folders to look in, nearest first: the config file's own, the user's, the system's.
QStringList searchFolders(const QString &configPath);

// Reads ports.conf from each folder that has one. Never throws: an unreadable file is a problem
// like a bad line.
PortMapLoad load(const QStringList &folders);
inline PortMapLoad loadFor(const QString &configPath) {
    return load(searchFolders(configPath));
}

// Why the ports.conf beside the config file cannot be used, when something other than a readable
// regular file has that name (a folder, a dangling link); empty when there is no such entry or
// the file can be read. It might have named the port in use, so a port number is not to be
// trusted while this is said.
QString besideProblem(const QString &configPath);

// The serial line a COM number leads to through map, for an analyser named by its number; a
// device server (tcp://) is no serial line.
std::function<QString(int portNumber, QString *problem)> serialLines(const PortMap &map);

} // namespace PortMapFile
