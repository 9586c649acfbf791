#pragma once

#include "porttarget.h"

#include <QString>
#include <QStringList>

// ports.conf: COM numbers mapped to other devices, one "NUMBER=DEVICE" a line, read as QSettings
// reads an INI file ("33=/dev/serial/by-id/usb-...", "120=tcp://10.1.2.3:4001").
//
// It is looked for beside the display.cfg in use, in ~/.config/display-console/ and in
// /etc/display-console/. Each number is taken from the first of these files that names it, so a
// plant-wide file in /etc names the adapters once and a nearer file changes only the numbers it
// names. A line that cannot be used is reported with its file and line and left out; the rest of
// the file is used. When the line names a number the port list offers, that number opens nothing
// until the line is mended, rather than falling back to a device the line meant to replace.

struct PortMapLoad {
    PortMap map;
    QStringList problems; // "FILE, line N: what is wrong", nearest file first, in line order
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

} // namespace PortMapFile
