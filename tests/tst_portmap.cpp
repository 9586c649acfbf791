#include "portmapfile.h"
#include "settings.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeBytes(path, bytes);
}

// The numbers a map names, as "33=/dev/x" or "40 opens nothing", in order.
QStringList namedNumbers(const PortMap &map) {
    QStringList named;
    for (int number = 1; number <= Settings::PortCount; ++number) {
        if (!map.contains(number))
            continue;
        named << (map.problem(number).isEmpty()
                      ? QStringLiteral("%1=%2").arg(number).arg(map.devicePath(number))
                      : QStringLiteral("%1 opens nothing").arg(number));
    }
    return named;
}

// Each problem said is "FILE, line N: ..." and holds the expected part, in the same order.
QString problemsDiffer(const QStringList &said, const QString &file, const QStringList &expected) {
    if (said.size() != expected.size())
        return QStringLiteral("%1 problems said, %2 expected: %3")
            .arg(said.size())
            .arg(expected.size())
            .arg(said.join(QLatin1String(" | ")));
    for (qsizetype i = 0; i < said.size(); ++i) {
        const QString &line = said.at(i);
        const QString &part = expected.at(i);
        const QString where = part.section(QLatin1Char(':'), 0, 0);
        const QString what = part.section(QLatin1Char(':'), 1).trimmed();
        const QString head = where.isEmpty() ? file : file + QStringLiteral(", ") + where;
        if (!line.startsWith(head + QStringLiteral(": ")) || !line.contains(what))
            return QStringLiteral("said \"%1\", expected %2").arg(line, part);
    }
    return {};
}

} // namespace

// ports.conf as an operator writes it: the numbers it maps, the lines it reports and where, and
// which of the three places wins for a number.
class TestPortMap : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void linesOfAFile_data();
    void linesOfAFile();
    void nearestFileWinsPerNumber_data();
    void nearestFileWinsPerNumber();
    void fileKinds_data();
    void fileKinds();
};

void TestPortMap::linesOfAFile_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("named");
    QTest::addColumn<QStringList>("problems"); // "line N: part of the text"

    const QString byId =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    QTest::newRow("adapter by id and a device server")
        << "33=" + byId.toLatin1() + "\n120=tcp://10.1.2.3:4001\n"
        << QStringList{"33=" + byId, "120=tcp://10.1.2.3:4001"} << QStringList{};
    QTest::newRow("comments, blank lines, [General], spaces and a trailing comment")
        << QByteArray("; adapters in the cabinet\n# second shelf\n\n[General]\n"
                      "  34 = /dev/ttyUSB9  ; the spare\n")
        << QStringList{"34=/dev/ttyUSB9"} << QStringList{};
    QTest::newRow("quoted device holding a semicolon and a comma")
        << QByteArray("35=\"/dev/serial/by-path/usb-0:1,2;x\"\n")
        << QStringList{"35=/dev/serial/by-path/usb-0:1,2;x"} << QStringList{};
    QTest::newRow("CR LF line ends")
        << QByteArray("36=/dev/ttyS7\r\n37=/dev/ttyS8\r\n")
        << QStringList{"36=/dev/ttyS7", "37=/dev/ttyS8"} << QStringList{};
    QTest::newRow("IPv6 device server") << QByteArray("121=tcp://[::1]:4001\n")
                                        << QStringList{"121=tcp://[::1]:4001"} << QStringList{};
    QTest::newRow("number beyond the list, the rest used")
        << QByteArray("300=/dev/ttyUSB0\n33=/dev/ttyUSB1\n") << QStringList{"33=/dev/ttyUSB1"}
        << QStringList{"line 1: COM 300 is not in the port list (1 to 250)"};
    QTest::newRow("number 0") << QByteArray("0=/dev/ttyUSB0\n") << QStringList{}
                              << QStringList{"line 1: COM 0 is not in the port list"};
    QTest::newRow("not a number") << QByteArray("\n\nCOM33=/dev/ttyUSB0\n") << QStringList{}
                                  << QStringList{"line 3: \"COM33\" is not a port number"};
    QTest::newRow("control character in a key shown escaped")
        << QByteArray("\x1b[2J=/dev/ttyUSB0\n") << QStringList{}
        << QStringList{"line 1: \"\\x1b[2J\" is not a port number"};
    QTest::newRow("unknown scheme: the number opens nothing")
        << QByteArray("40=rfc2217://host:4000\n41=/dev/ttyUSB2\n")
        << QStringList{"40 opens nothing", "41=/dev/ttyUSB2"}
        << QStringList{"line 1: unknown scheme \"rfc2217\""};
    QTest::newRow("device server without a port")
        << QByteArray("42=tcp://10.1.2.3\n") << QStringList{"42 opens nothing"}
        << QStringList{"line 1: malformed address \"tcp://10.1.2.3\""};
    QTest::newRow("device server port beyond 65535")
        << QByteArray("43=tcp://host:70000\n") << QStringList{"43 opens nothing"}
        << QStringList{"line 1: malformed address"};
    QTest::newRow("relative device name")
        << QByteArray("44=ttyUSB0\n") << QStringList{"44 opens nothing"}
        << QStringList{"line 1: \"ttyUSB0\" is not an absolute path"};
    QTest::newRow("no device") << QByteArray("45=\n") << QStringList{"45 opens nothing"}
                               << QStringList{"line 1: no device"};
    QTest::newRow("unquoted comma")
        << QByteArray("46=/dev/a,b\n") << QStringList{"46 opens nothing"}
        << QStringList{"line 1: the device holds a comma"};
    QTest::newRow("line without =: its number opens nothing")
        << QByteArray("47 /dev/ttyUSB0\n48=/dev/ttyUSB3\n")
        << QStringList{"47 opens nothing", "48=/dev/ttyUSB3"}
        << QStringList{"line 1: not a NUMBER=DEVICE line"};
    QTest::newRow("entry in another section")
        << QByteArray("49=/dev/ttyUSB4\n[ports]\n50=/dev/ttyUSB5\n")
        << QStringList{"49=/dev/ttyUSB4", "50 opens nothing"}
        << QStringList{"line 3: \"50\" is in the section [ports]"};
    QTest::newRow("entry after an unclosed section header")
        << QByteArray("[ports\n50=/dev/ttyUSB5\n") << QStringList{"50 opens nothing"}
        << QStringList{"line 1: a section header without", "line 2: \"50\" is in the section"};
    QTest::newRow("number named twice: the later line is used")
        << QByteArray("51=/dev/ttyUSB6\n51=/dev/ttyUSB7\n") << QStringList{"51=/dev/ttyUSB7"}
        << QStringList{"line 1: \"51\" is named again on line 2"};
    QTest::newRow("same number written two ways")
        << QByteArray("052=/dev/ttyUSB6\n52=/dev/ttyUSB7\n") << QStringList{"52=/dev/ttyUSB7"}
        << QStringList{"line 1: COM 52 is named again on line 2"};
    QTest::newRow("unclosed quote: its number opens nothing, the next line is read")
        << QByteArray("116=\"/dev/ttyS5\n117=/dev/ttyS0\n")
        << QStringList{"116 opens nothing", "117=/dev/ttyS0"}
        << QStringList{"line 1: an unclosed double quote"};
    QTest::newRow("trailing backslash: its number opens nothing, the next line is read")
        << QByteArray("56=/dev/ttyS5\\\n57=/dev/ttyS6\n")
        << QStringList{"56 opens nothing", "57=/dev/ttyS6"} << QStringList{"line 1: ends in \\"};
    QTest::newRow("a broken line is not overruled by a later entry")
        << QByteArray("58=\"/dev/ttyS1\n58=/dev/ttyS2\n") << QStringList{"58 opens nothing"}
        << QStringList{"line 1: an unclosed double quote"};
    QTest::newRow("backslash inside a device, byte-order mark, lower-case [general]")
        << QByteArray("\xef\xbb\xbf[general]\n59=/dev/disk/by-label/A\\x20B\n")
        << QStringList{"59=/dev/disk/by-label/A\\x20B"} << QStringList{};
    QStringList twentyFive;
    for (int line = 1; line <= 20; ++line)
        twentyFive << QStringLiteral("line %1: \"COM\" is not a port number").arg(line);
    QTest::newRow("25 bad lines: 20 listed, then how many more")
        << QByteArray("COM=/dev/x\n").repeated(25) << QStringList{}
        << (twentyFive << QStringLiteral(": and 5 more"));
    QTest::newRow("bad lines among good ones keep their own numbers")
        << QByteArray("# site map\n60=/dev/ttyS2\n61=xyz://a\n999=/dev/ttyS3\n62=/dev/ttyS4\n")
        << QStringList{"60=/dev/ttyS2", "61 opens nothing", "62=/dev/ttyS4"}
        << QStringList{"line 3: unknown scheme \"xyz\"", "line 4: COM 999"};
}

void TestPortMap::linesOfAFile() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, named);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("ports.conf"));
    QVERIFY(writeFile(file, text));

    const PortMapLoad loaded = PortMapFile::load({dir.path()});
    QCOMPARE(loaded.files, QStringList{file});
    QCOMPARE(namedNumbers(loaded.map), named);
    const QString differ = problemsDiffer(loaded.problems, file, problems);
    QVERIFY2(differ.isEmpty(), qPrintable(differ));
    // An unusable number says where its line is when it is opened.
    for (const QString &entry : named) {
        if (!entry.endsWith(QLatin1String("opens nothing")))
            continue;
        const PortTarget port = PortTarget::number(entry.section(u' ', 0, 0).toInt(), loaded.map);
        QVERIFY(port.devicePath().isEmpty());
        QVERIFY2(port.problem().startsWith(file + QStringLiteral(", line ")),
                 qPrintable(port.problem()));
    }
}

void TestPortMap::nearestFileWinsPerNumber_data() {
    QTest::addColumn<QByteArray>("beside"); // beside display.cfg; empty: no file
    QTest::addColumn<QByteArray>("user");   // in $XDG_CONFIG_HOME/display-console
    QTest::addColumn<QStringList>("named");

    QTest::newRow("no file: the table for every number")
        << QByteArray() << QByteArray() << QStringList{};
    QTest::newRow("each number from the nearest file that names it")
        << QByteArray("33=/dev/beside33\n") << QByteArray("33=/dev/user33\n34=/dev/user34\n")
        << QStringList{"33=/dev/beside33", "34=/dev/user34"};
    QTest::newRow("a bad line nearer is not replaced by a farther device")
        << QByteArray("33=xyz://a\n") << QByteArray("33=/dev/user33\n")
        << QStringList{"33 opens nothing"};
    QTest::newRow("a number beyond the list nearer hides nothing")
        << QByteArray("300=/dev/x\n") << QByteArray("33=/dev/user33\n")
        << QStringList{"33=/dev/user33"};
    QTest::newRow("only the user's file") << QByteArray() << QByteArray("120=tcp://host:4001\n")
                                          << QStringList{"120=tcp://host:4001"};
}

void TestPortMap::nearestFileWinsPerNumber() {
    QFETCH(QByteArray, beside);
    QFETCH(QByteArray, user);
    QFETCH(QStringList, named);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray previousHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("home-config")).toLocal8Bit());
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(dir.path());
    if (!beside.isEmpty())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("site/ports.conf")), beside));
    if (!user.isEmpty())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("home-config/display-console/ports.conf")),
                          user));

    // A relative config path, as --config site/display.cfg gives it.
    const PortMapLoad loaded = PortMapFile::loadFor(QStringLiteral("site/display.cfg"));
    QDir::setCurrent(previousDir);
    qputenv("XDG_CONFIG_HOME", previousHome);
    // Numbers that /etc/display-console/ports.conf on this machine may name are not looked at.
    QStringList ours;
    for (const QString &entry : namedNumbers(loaded.map)) {
        const int number = entry.section(QRegularExpression(QStringLiteral("[= ]")), 0, 0).toInt();
        if (number == 33 || number == 34 || number == 120)
            ours << entry;
    }
    QCOMPARE(ours, named);
}

void TestPortMap::fileKinds_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("named");   // what COM 33 opens
    QTest::addColumn<QString>("problem"); // the one problem said; empty: none

    constexpr qsizetype MiB = 1024 * 1024;
    QTest::newRow("no read permission") << "mode 0"
                                        << "33=/dev/far33"
                                        << ": cannot be read (Permission denied";
    QTest::newRow("FIFO") << "fifo"
                          << "33=/dev/far33"
                          << ": cannot be read (it is a FIFO";
    QTest::newRow("link to /dev/zero") << "zero"
                                       << "33=/dev/far33"
                                       << ": cannot be read (it is a device";
    QTest::newRow("one byte over 1 MiB") << QString::number(MiB + 1) << "33=/dev/far33"
                                         << ": cannot be read (the file is larger than 1 MiB";
    QTest::newRow("exactly 1 MiB") << QString::number(MiB) << "33=/dev/near33" << QString();
}

// A nearer ports.conf that cannot be read, or is not a regular file of at most 1 MiB, is said
// once, at once, and its numbers keep the farther file's devices. Run once more as nobody
// (tst_portmap_unprivileged): a file mode binds only that run.
void TestPortMap::fileKinds() {
    QFETCH(QString, kind);
    QFETCH(QString, named);
    QFETCH(QString, problem);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString nearer = dir.filePath(QStringLiteral("near"));
    const QString farther = dir.filePath(QStringLiteral("far"));
    const QString path = nearer + QStringLiteral("/ports.conf");
    QVERIFY(writeFile(farther + QStringLiteral("/ports.conf"), "33=/dev/far33\n"));
    QVERIFY(QDir().mkpath(nearer));
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else if (kind == QLatin1String("zero")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    } else if (kind == QLatin1String("mode 0")) {
        QVERIFY(writeFile(path, "33=/dev/near33\n"));
        QVERIFY(QFile::setPermissions(path, {}));
        if (::geteuid() == 0) {
            named = QStringLiteral("33=/dev/near33");
            problem.clear();
        }
    } else {
        const QByteArray entry("33=/dev/near33\n");
        QVERIFY(writeFile(path, entry + QByteArray(kind.toInt() - entry.size() - 1, ';') + '\n'));
    }

    const PortMapLoad loaded = PortMapFile::load({nearer, farther});
    QCOMPARE(namedNumbers(loaded.map), QStringList{named});
    QCOMPARE(loaded.problems.size(), problem.isEmpty() ? 0 : 1);
    if (!problem.isEmpty())
        QVERIFY2(loaded.problems.front().startsWith(path + problem),
                 qPrintable(loaded.problems.front()));
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
