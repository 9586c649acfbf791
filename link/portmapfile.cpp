#include "portmapfile.h"

#include "bytetext.h"
#include "configstore.h"
#include "inifile.h"
#include "regularfile.h"
#include "settings.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// A ports.conf is a few lines; a bigger file is a mistake (a log, a device node behind a link).
constexpr qint64 MaxFileBytes = 1024 * 1024;
// The value after "=". Double quotes keep ";" and "," as part of the device and are not part of
// it; ";" outside them begins a comment. A backslash is an ordinary character (a link made by
// udev may hold "\x20" literally), except at the end of the line, where it is refused: a device
// goes on one line. A line the reader cannot take as a whole entry is "broken": its number opens
// nothing.
struct Value {
    QString device;
    QString problem;
    bool broken = false;
};

Value valueOf(QStringView raw) {
    raw = raw.trimmed();
    Value value;
    bool inQuotes = false;
    bool comma = false;
    qsizetype end = raw.size();
    qsizetype kept = 0; // what lies past this is unquoted space before a comment
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == u'"') {
            inQuotes = !inQuotes;
            kept = value.device.size();
            continue;
        }
        if (!inQuotes && c == u';') {
            end = i;
            break;
        }
        comma = comma || (!inQuotes && c == u',');
        value.device += c;
        if (inQuotes || !c.isSpace())
            kept = value.device.size();
    }
    value.device.truncate(kept);
    value.broken = true;
    if (inQuotes)
        value.problem = QStringLiteral("an unclosed double quote: a device goes on one line, "
                                       "between two quotes");
    else if (raw.first(end).trimmed().endsWith(u'\\'))
        value.problem = QStringLiteral("the line ends in \\: a device goes on one line");
    else
        value.broken = false;
    if (!value.broken && comma)
        value.problem = QStringLiteral("the device holds a comma; put it in double quotes");
    return value;
}

// Empty when the device is one the console can open: an absolute path or tcp://HOST:PORT.
QString deviceProblem(const QString &device) {
    if (device.isEmpty())
        return QStringLiteral("no device after \"=\"");
    for (const QChar c : device) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the device holds a tab or another control character");
    }
    if (const QString problem = deviceAddressProblem(device); !problem.isEmpty())
        return problem;
    if (isTcpDevice(device))
        return {};
    // A relative name would open something different in each working directory.
    if (!device.startsWith(u'/'))
        return QStringLiteral("\"%1\" is not an absolute path: a device is an absolute path "
                              "(/dev/...) or tcp://HOST:PORT")
            .arg(quoted(device));
    return {};
}

// The number a key names ("33", "033"), or the reason it names none.
std::optional<int> portNumberOf(const QString &key, QString &why) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (key.isEmpty()) {
        why = QStringLiteral("no port number before \"=\"");
        return std::nullopt;
    }
    if (!digits.match(key).hasMatch()) {
        why = QStringLiteral("\"%1\" is not a port number").arg(quoted(key));
        return std::nullopt;
    }
    const int number = key.toInt(); // nine digits at most: no overflow
    if (number < 1 || number > Settings::PortCount) {
        why = QStringLiteral("COM %1 is not in the port list (1 to %2)")
                  .arg(QString::number(number), QString::number(Settings::PortCount));
        return std::nullopt;
    }
    return number;
}

// The number a line that is not an entry seems to name: its leading digits ("47 /dev/x",
// "116=\"/dev/x"), when they are a number of the port list.
std::optional<int> numberNamedBy(QStringView text) {
    qsizetype digits = 0;
    while (digits < text.size() && digits < 9 && text.at(digits).isDigit() &&
           text.at(digits).unicode() < 0x80)
        ++digits;
    const int number = text.first(digits).toInt();
    if (number < 1 || number > Settings::PortCount)
        return std::nullopt;
    return number;
}

struct FileEntry {
    int portNumber = 0;
    QString device;
    QString problem; // with the file and line; empty when the device can be used
};

// One file's usable and unusable numbers; its bad lines go to problems, in line order.
QList<FileEntry> readFile(const QString &path, QStringList &problems) {
    QString text;
    try {
        text = QString::fromUtf8(RegularFile::read(path, MaxFileBytes));
    } catch (const RegularFile::FileRefused &refused) {
        problems << QStringLiteral("%1: cannot be read (%2); its numbers keep their devices")
                        .arg(path, refused.reason());
        return {};
    }

    struct Used {
        int line = 0;
        QString key;
        Value value;
    };
    QHash<int, Used> used;                // by number: the last entry that names it
    QHash<int, QString> brokenNumbers;    // by number: the first broken line that names it
    QList<std::pair<int, QString>> found; // (line, what is wrong)
    QString section;                      // empty before any section and under [General]
    for (const IniLine &entry : IniFile::lines(text)) {
        const int line = entry.number;
        if (entry.kind == IniLine::Kind::Section) {
            // An unclosed header still begins a section: what follows was not meant as entries.
            section = entry.name;
            if (!entry.closed)
                found.append({line, QStringLiteral("a section header without \"]\"")});
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        const QString &key = entry.key;
        Value value;
        if (entry.kind == IniLine::Kind::Other)
            value = {{}, QStringLiteral("not a NUMBER=DEVICE line"), true};
        else if (!section.isEmpty())
            value = {{},
                     QStringLiteral("\"%1\" is in the section [%2]: port numbers go before any "
                                    "section or under [General]")
                         .arg(quoted(key), quoted(section)),
                     true};
        else
            value = valueOf(entry.value);
        if (value.broken) {
            found.append({line, value.problem});
            const std::optional<int> number = numberNamedBy(entry.text);
            if (number && !brokenNumbers.contains(*number))
                brokenNumbers.insert(*number, IniFile::lineProblem(path, line, value.problem));
            continue;
        }
        QString why;
        const std::optional<int> number = portNumberOf(key, why);
        if (!number) {
            found.append({line, why});
            continue;
        }
        // A later entry for the same number wins, as "33" and "033" alike.
        if (const auto earlier = used.constFind(*number); earlier != used.cend()) {
            found.append({earlier->line,
                          earlier->key == key
                              ? QStringLiteral("\"%1\" is named again on line %2, which is used")
                                    .arg(quoted(key), QString::number(line))
                              : QStringLiteral("COM %1 is named again on line %2, which is used")
                                    .arg(QString::number(*number), QString::number(line))});
        }
        used.insert(*number, {line, key, value});
    }

    QList<FileEntry> entries;
    for (auto it = used.cbegin(); it != used.cend(); ++it) {
        QString why = it->value.problem;
        if (why.isEmpty())
            why = deviceProblem(it->value.device);
        if (!why.isEmpty())
            found.append({it->line, why});
        if (!brokenNumbers.contains(it.key()))
            entries.append({it.key(), why.isEmpty() ? it->value.device : QString(),
                            why.isEmpty() ? QString() : IniFile::lineProblem(path, it->line, why)});
    }
    // A number on a line that was not read opens nothing, whatever other lines say: falling
    // back to another device could reach another chain of boards.
    for (auto it = brokenNumbers.cbegin(); it != brokenNumbers.cend(); ++it)
        entries.append({it.key(), {}, it.value()});

    problems << IniFile::reported(path, found);
    return entries;
}

} // namespace

namespace PortMapFile {

QStringList searchFolders(const QString &configPath) {
    QStringList folders = {
        QFileInfo(ConfigStore::besideConfig(configPath, FileName)).path(),
        QDir::cleanPath(
            QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
                .filePath(QStringLiteral("display-console"))),
        QStringLiteral("/etc/display-console"),
    };
    folders.removeDuplicates();
    return folders;
}

QString besideProblem(const QString &configPath) {
    const QString path = QDir(searchFolders(configPath).constFirst()).filePath(FileName);
    if (RegularFile::absent(path))
        return {};
    try {
        RegularFile::read(path, MaxFileBytes);
    } catch (const RegularFile::FileRefused &refused) {
        return QStringLiteral("%1: cannot be read (%2); it may name the port in use")
            .arg(path, refused.reason());
    }
    return {};
}

std::function<QString(int, QString *)> serialLines(const PortMap &map) {
    return [map](int number, QString *problem) {
        const PortTarget port = PortTarget::number(number, map);
        if (!port.problem().isEmpty())
            *problem = port.problem();
        else if (isTcpDevice(port.devicePath()))
            *problem = QStringLiteral("COM %1 is a device server (%2), not a serial line")
                           .arg(QString::number(number), port.devicePath());
        else
            return port.devicePath();
        return QString();
    };
}

PortMapLoad load(const QStringList &folders) {
    PortMapLoad loaded;
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(FileName);
        if (!QFileInfo::exists(path))
            continue;
        loaded.files << path;
        const QList<FileEntry> entries = readFile(path, loaded.problems);
        for (const FileEntry &entry : entries) {
            if (loaded.map.contains(entry.portNumber)) // named by a nearer file
                continue;
            if (entry.problem.isEmpty())
                loaded.map.insert(entry.portNumber, entry.device);
            else
                loaded.map.insertUnusable(entry.portNumber, entry.problem);
        }
    }
    return loaded;
}

} // namespace PortMapFile
