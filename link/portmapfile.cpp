#include "portmapfile.h"

#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>

namespace {

// Where QSettings's INI reader begins each key, under the key's name as QSettings gives it
// ("33", "ports/39" for a key in a section [ports]), and the lines it cannot read as a key.
// QSettings gives the values but not their lines, so the lines are found here by the same rules:
// ";" and "#" begin a comment line, "[name]" begins a section ([General], in any case, is no
// section), and a value runs on over the next line inside double quotes or after a final "\".
struct LineEntry {
    QString key;
    int line = 0;
};
struct LineScan {
    QList<LineEntry> entries;
    QList<int> linesWithoutKey;
};

QString iniUnescaped(const QString &text) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.trimmed().toUtf8()));
}

// Walks a value (or the next line of one), knowing whether it began inside double quotes; true
// when the value goes on over the next line.
bool valueContinues(QStringView value, bool &inQuotes) {
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == u'\\') {
            if (i + 1 == value.size())
                return true;
            ++i;
        } else if (c == u'"') {
            inQuotes = !inQuotes;
        } else if (c == u';' && !inQuotes) {
            return false;
        }
    }
    return inQuotes;
}

LineScan scanLines(const QByteArray &bytes) {
    LineScan scan;
    QString section;
    bool continues = false;
    bool inQuotes = false;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const QString line = QString::fromUtf8(lines.at(index));
        const int number = int(index + 1);
        if (continues) {
            continues = valueContinues(line, inQuotes);
            continue;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[')) {
            const qsizetype end = trimmed.indexOf(u']');
            section = iniUnescaped(trimmed.mid(1, end < 0 ? -1 : end - 1));
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        const qsizetype equals = trimmed.indexOf(u'=');
        if (equals < 0) {
            scan.linesWithoutKey.append(number);
            continue;
        }
        const QString key = iniUnescaped(trimmed.left(equals));
        scan.entries.append({section.isEmpty() ? key : section + u'/' + key, number});
        inQuotes = false;
        continues = valueContinues(QStringView(trimmed).mid(equals + 1), inQuotes);
    }
    return scan;
}

// Empty when the device is one the console can open: an absolute path or tcp://HOST:PORT.
QString deviceProblem(const QString &device) {
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    if (device.isEmpty())
        return QStringLiteral("no device after \"=\"");
    for (const QChar c : device) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the device holds a line break or another control character "
                                  "(an unclosed quote, or a line ending in \\?)");
    }
    if (isTcpDevice(device)) {
        if (!tcpEndpoint(device))
            return QStringLiteral("malformed address \"%1\": a device server is "
                                  "tcp://HOST:PORT, with a port from 1 to 65535")
                .arg(device);
        return {};
    }
    if (const QRegularExpressionMatch match = scheme.match(device); match.hasMatch())
        return QStringLiteral("unknown scheme \"%1\": a device is an absolute path or "
                              "tcp://HOST:PORT")
            .arg(match.captured(1));
    // A relative name would open something different in each working directory.
    if (!device.startsWith(u'/'))
        return QStringLiteral("\"%1\" is not an absolute path: a device is an absolute path "
                              "(/dev/...) or tcp://HOST:PORT")
            .arg(device);
    return {};
}

// The number a key names, or the reason it names none.
std::optional<int> portNumberOf(const QString &key, QString &why) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (const qsizetype slash = key.lastIndexOf(u'/'); slash >= 0) {
        why = QStringLiteral("\"%1\" is in the section [%2]: port numbers go before any section "
                             "or under [General]")
                  .arg(key.mid(slash + 1), key.left(slash));
        return std::nullopt;
    }
    if (key.isEmpty()) {
        why = QStringLiteral("no port number before \"=\"");
        return std::nullopt;
    }
    if (!digits.match(key).hasMatch()) {
        why = QStringLiteral("\"%1\" is not a port number").arg(key);
        return std::nullopt;
    }
    const int number = key.toInt();
    if (number < 1 || number > Settings::PortCount) {
        why = QStringLiteral("COM %1 is not in the port list (1 to %2)")
                  .arg(number)
                  .arg(Settings::PortCount);
        return std::nullopt;
    }
    return number;
}

struct FileEntry {
    int portNumber = 0;
    QString device;
    QString problem; // with the file and line; empty when the device can be used
};

// One file's usable and unusable numbers, in line order; its bad lines go to problems.
QList<FileEntry> readFile(const QString &path, QStringList &problems) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1: cannot be read (%2); its numbers keep their devices")
                        .arg(path, file.errorString());
        return {};
    }
    const LineScan scan = scanLines(file.readAll());
    const QSettings settings(path, QSettings::IniFormat);

    const auto at = [&path](int line, const QString &text) {
        return line > 0 ? QStringLiteral("%1, line %2: %3").arg(path).arg(line).arg(text)
                        : QStringLiteral("%1: %2").arg(path, text);
    };
    QList<std::pair<int, QString>> found; // (line, what is wrong), sorted before reporting
    for (const int line : scan.linesWithoutKey)
        found.append({line, QStringLiteral("not a NUMBER=DEVICE line")});

    // QSettings keeps the last of a key's lines; so does the map.
    QHash<QString, int> lastLine;
    for (const LineEntry &entry : scan.entries)
        lastLine.insert(entry.key, entry.line);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        if (!lastLine.contains(key))
            lastLine.insert(key, 0); // read by QSettings where the scan saw no key
    }

    // Each key at the line QSettings takes it from, in line order; an earlier line of the same
    // key, or of another key for the same number ("33" and "033"), gives way to the later one.
    QList<std::pair<int, QString>> used;
    for (auto it = lastLine.cbegin(); it != lastLine.cend(); ++it)
        used.append({it.value(), it.key()});
    std::sort(used.begin(), used.end());
    for (const LineEntry &entry : scan.entries) {
        if (lastLine.value(entry.key) != entry.line)
            found.append({entry.line, QStringLiteral("\"%1\" is named again on line %2, which "
                                                     "is used")
                                          .arg(entry.key)
                                          .arg(lastLine.value(entry.key))});
    }

    QList<FileEntry> entries;
    QHash<int, int> lineOfNumber;
    for (const auto &[line, key] : std::as_const(used)) {
        QString why;
        const std::optional<int> number = portNumberOf(key, why);
        if (!number) {
            found.append({line, why});
            continue;
        }
        if (const auto earlier = lineOfNumber.constFind(*number); earlier != lineOfNumber.cend()) {
            found.append({*earlier, QStringLiteral("COM %1 is named again on line %2, which is "
                                                   "used")
                                        .arg(*number)
                                        .arg(line)});
            entries.removeIf([&](const FileEntry &e) { return e.portNumber == *number; });
        }
        lineOfNumber.insert(*number, line);
        const QVariant value = settings.value(key);
        if (value.typeId() == QMetaType::QStringList)
            why = QStringLiteral("the device holds a comma; put it in double quotes");
        else if (value.typeId() != QMetaType::QString)
            why = QStringLiteral("the device is not plain text");
        else
            why = deviceProblem(value.toString());
        if (!why.isEmpty()) {
            found.append({line, why});
            entries.append({*number, {}, at(line, why)});
        } else {
            entries.append({*number, value.toString(), {}});
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[line, why] : std::as_const(found))
        problems << at(line, why);
    return entries;
}

} // namespace

namespace PortMapFile {

QStringList searchFolders(const QString &configPath) {
    const QStringList candidates = {
        QFileInfo(QDir::current().absoluteFilePath(configPath)).absolutePath(),
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
            .filePath(QStringLiteral("display-console")),
        QStringLiteral("/etc/display-console"),
    };
    QStringList folders;
    for (const QString &folder : candidates) {
        const QString clean = QDir::cleanPath(folder);
        if (!folders.contains(clean))
            folders << clean;
    }
    return folders;
}

PortMapLoad load(const QStringList &folders) {
    PortMapLoad loaded;
    QSet<int> named; // by a nearer file
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(FileName);
        if (!QFileInfo::exists(path))
            continue;
        loaded.files << path;
        const QList<FileEntry> entries = readFile(path, loaded.problems);
        for (const FileEntry &entry : entries) {
            if (named.contains(entry.portNumber))
                continue;
            named.insert(entry.portNumber);
            if (entry.problem.isEmpty())
                loaded.map.insert(entry.portNumber, entry.device);
            else
                loaded.map.insertUnusable(entry.portNumber, entry.problem);
        }
    }
    return loaded;
}

} // namespace PortMapFile
