#include "configstore.h"
#include "failure.h"
#include "pageset.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <unistd.h>

namespace {

const QString Untouched = QStringLiteral("(untouched)");

QStringList numberedRows(int count = PageSet::RowCount) {
    QStringList rows;
    for (int i = 0; i < count; ++i)
        rows << QStringLiteral("row %1").arg(i);
    return rows;
}

QByteArray quotedLines(const QStringList &rows, const char *lineEnd = "\r\n") {
    QByteArray bytes;
    for (const QString &row : rows)
        bytes += '"' + row.toLatin1() + '"' + lineEnd;
    return bytes;
}

QByteArray fileWith(const QByteArray &portLine, const QStringList &rows) {
    return portLine + "\r\n" + quotedLines(rows);
}

// The test binary run with this option and a path saves samplePages() there and exits: the test
// runs it as another user.
constexpr char SaveSampleOption[] = "--save-sample";
constexpr qint16 SamplePort = 250;
constexpr int SaveRefused = 2;
constexpr int StillRoot = 3;

PageSet samplePages() {
    PageSet pages;
    for (int i = 0; i < PageSet::RowCount; ++i)
        pages.setRow(i, QStringLiteral("sample row %1").arg(i));
    pages.setRow(7, QStringLiteral("caf\u00e9 at 20\u00b0C"));
    pages.setRow(95, QString(40, QLatin1Char('w')));
    return pages;
}

int saveSample(const QString &path) {
    if (::geteuid() == 0) {
        qCritical("the sample save must not run as root");
        return StillRoot;
    }
    try {
        ConfigStore(path).save(SamplePort, samplePages());
    } catch (const Failure &failure) {
        qCritical("%s", qPrintable(failure.text()));
        return SaveRefused;
    }
    return 0;
}

PageSet untouchedPages() {
    PageSet pages;
    for (int i = 0; i < PageSet::RowCount; ++i)
        pages.setRow(i, Untouched);
    return pages;
}

} // namespace

class TestConfigStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void read_data();
    void read();
    void roundTripOfEveryByte();
    void writtenBytes();
    void saveFailureNamesFile();
    void saveReplacesLongerFile();
    void largeRowReadsQuickly();
    void endlessFileIsNotReadWhole();
    void saveInFolderClosedToUser();
    void notRegularFileRefused_data();
    void notRegularFileRefused();
    void saveThroughLinkKeepsLink();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath(QStringLiteral("display.cfg")); }
    void writeFile(const QByteArray &bytes) { QVERIFY(writeBytes(path(), bytes)); }
};

void TestConfigStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestConfigStore::read_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("rows"); // the rows read, in order; the rest stay untouched

    const QStringList all = numberedRows();

    QTest::newRow("missing file") << false << QByteArray() << false << 1 << QStringList();
    QTest::newRow("empty file") << true << QByteArray() << false << 1 << QStringList();
    QTest::newRow("port line only") << true << QByteArray("4\r\n") << false << 4 << QStringList();
    QTest::newRow("10 rows") << true << fileWith("7", numberedRows(10)) << false << 7
                             << numberedRows(10);
    QTest::newRow("whole file") << true << fileWith("4", all) << true << 4 << all;
    QTest::newRow("port 0") << true << fileWith("0", all) << true << 0 << all;
    QTest::newRow("port 300") << true << fileWith("300", all) << true << 300 << all;
    QTest::newRow("port -1") << true << fileWith("-1", all) << true << -1 << all;
    QTest::newRow("port 32767") << true << fileWith("32767", all) << true << 32767 << all;
    QTest::newRow("port -32768") << true << fileWith("-32768", all) << true << -32768 << all;
    QTest::newRow("port 32768") << true << fileWith("32768", all) << false << 1 << QStringList();
    QTest::newRow("port -32769") << true << fileWith("-32769", all) << false << 1 << QStringList();
    QTest::newRow("port 0000001") << true << fileWith("0000001", all) << true << 1 << all;
    QTest::newRow("port -0000001") << true << fileWith("-0000001", all) << true << -1 << all;
    QTest::newRow("port 0000000032767")
        << true << fileWith("0000000032767", all) << true << 32767 << all;
    QTest::newRow("port 0000000032768")
        << true << fileWith("0000000032768", all) << false << 1 << QStringList();
    QTest::newRow("port 99999999999999999999")
        << true << fileWith("99999999999999999999", all) << false << 1 << QStringList();
    QTest::newRow("port -99999999999999999999")
        << true << fileWith("-99999999999999999999", all) << false << 1 << QStringList();
    QTest::newRow("port with spaces around")
        << true << fileWith("  12  ", all) << true << 12 << all;
    QTest::newRow("port 12abc") << true << fileWith("12abc", all) << false << 1 << QStringList();
    QTest::newRow("port a word") << true << fileWith("COM", all) << false << 1 << QStringList();
    QTest::newRow("port quoted") << true << fileWith("\"5\"", all) << false << 1 << QStringList();
    QTest::newRow("port with a fraction")
        << true << fileWith("5.5", all) << false << 1 << QStringList();
    QTest::newRow("port line blank") << true << fileWith("", all) << false << 1 << QStringList();
    QTest::newRow("extra content after the 97th value")
        << true << fileWith("3", all) + "\"surplus\"\r\ngarbage,,," << true << 3 << all;
    QTest::newRow("last line without line end")
        << true << fileWith("3", all).chopped(2) << true << 3 << all;

    QStringList inner = all;
    inner[0] = QStringLiteral("a, b ,c");
    inner[1] = QStringLiteral("  both ends  ");
    QTest::newRow("commas and spaces inside quotes")
        << true << fileWith("2", inner) << true << 2 << inner;

    QTest::newRow("text after a closing quote")
        << true << "2\r\n\"kept\"dropped\r\n" + quotedLines(all.mid(1)) << true << 2
        << QStringList({"kept"}) + all.mid(1);
    QTest::newRow("two values on one line")
        << true << "2\r\n  \"first\" ,\"second\"\r\n" + quotedLines(all.mid(2)) << true << 2
        << QStringList({"first", "second"}) + all.mid(2);
    QTest::newRow("unquoted values keep trailing spaces")
        << true << "2\r\n   bare  \r\nnext,\"q\"\r\n" + quotedLines(all.mid(3)) << true << 2
        << QStringList({"bare  ", "next", "q"}) + all.mid(3);
    QTest::newRow("blank line reads as an empty value")
        << true << "2\r\n\r\n" + quotedLines(all.mid(1)) << true << 2
        << QStringList({""}) + all.mid(1);
    QTest::newRow("end of file inside a quote")
        << true << fileWith("6", numberedRows(50)) + "\"open row" << false << 6 << numberedRows(50);
    QTest::newRow("line end ends an open quote")
        << true << "6\r\n\"damaged\r\n" + quotedLines(all.mid(1)) << true << 6
        << QStringList({"damaged"}) + all.mid(1);
    QTest::newRow("LF line ends") << true << "9\n" + quotedLines(all, "\n") << true << 9 << all;
    QTest::newRow("lone CR line ends")
        << true << "9\r" + quotedLines(all, "\r") << true << 9 << all;
    const QByteArray bom = "\xef\xbb\xbf";
    QStringList latin = all;
    latin[5] = QStringLiteral("caf\u00e9 20\u00b0C");
    QTest::newRow("byte-order mark, UTF-8 rows")
        << true << bom + fileWith("+12", latin).replace("caf\xe9 20\xb0", "caf\xc3\xa9 20\xc2\xb0")
        << true << 12 << latin;
    QTest::newRow("byte-order mark, a character beyond Latin-1")
        << true << bom + fileWith("4", all).replace("row 3\"", "row 3 \xe2\x82\xac\"") << false << 4
        << all.mid(0, 3);
    QTest::newRow("byte-order mark, invalid UTF-8")
        << true << bom + fileWith("4", all).replace("row 3\"", "row 3\xc3(\"") << false << 4
        << all.mid(0, 3);
    const QByteArray utf8 =
        fileWith("12", latin).replace("caf\xe9 20\xb0", "caf\xc3\xa9 20\xc2\xb0");
    QTest::newRow("UTF-8 without a byte-order mark") << true << utf8 << true << 12 << latin;
    QTest::newRow("UTF-8 without a byte-order mark, a character beyond Latin-1")
        << true << fileWith("4", all).replace("row 3\"", "row 3 \xe2\x82\xac\"") << false << 4
        << all.mid(0, 3);
    QStringList mixedBytes = latin;
    mixedBytes[5] = QStringLiteral("caf\u00c3\u00a9 20\u00c2\u00b0C");
    mixedBytes[9] = QStringLiteral("\u00e9");
    QTest::newRow("UTF-8 rows and one Latin-1 byte: all Latin-1")
        << true << QByteArray(utf8).replace("row 9\"", "\xe9\"") << true << 12 << mixedBytes;
    QStringList mojibake = all;
    mojibake[2] = QStringLiteral("\u00e9");
    QTest::newRow("Latin-1 text that is valid UTF-8 reads as UTF-8")
        << true << fileWith("4", all).replace("row 2\"", "\xc3\xa9\"") << true << 4 << mojibake;
    QTest::newRow("port COM103") << true << fileWith("COM103", all) << false << 1 << QStringList();
    QTest::newRow("port +-5") << true << fileWith("+-5", all) << false << 1 << QStringList();
    QTest::newRow("CR CR LF line ends")
        << true << "9\r\r\n" + quotedLines(all, "\r\r\n") << true << 9 << all;
    QTest::newRow("CR CR then text: two line ends")
        << true << "9\r\"a\"\r\r" + quotedLines(all.mid(2), "\r") << true << 9
        << QStringList({"a", ""}) + all.mid(2);
    QByteArray mixed = "9\r\n";
    const char *ends[] = {"\r\n", "\n", "\r", "\r\r\r\n"};
    for (int i = 0; i < all.size(); ++i)
        mixed += quotedLines({all.at(i)}, ends[i % 4]);
    QTest::newRow("mixed line ends") << true << mixed << true << 9 << all;
    QTest::newRow("row longer than 32 stays whole")
        << true << fileWith("1", QStringList({QString(40, QLatin1Char('w'))}) + all.mid(1)) << true
        << 1 << QStringList({QString(40, QLatin1Char('w'))}) + all.mid(1);
}

void TestConfigStore::read() {
    QFETCH(bool, present);
    QFETCH(QByteArray, content);
    QFETCH(bool, loads);
    QFETCH(int, port);
    QFETCH(QStringList, rows);

    if (present)
        writeFile(content);

    qint16 portNumber = 1;
    PageSet pages = untouchedPages();
    bool loaded = true;
    try {
        ConfigStore(path()).load(portNumber, pages);
    } catch (const Failure &failure) {
        loaded = false;
        QVERIFY2(failure.text().contains(path()), qPrintable(failure.text()));
    }
    QCOMPARE(loaded, loads);
    QCOMPARE(portNumber, port);
    for (int i = 0; i < PageSet::RowCount; ++i)
        QCOMPARE(pages.row(i), i < rows.size() ? rows.at(i) : Untouched);
}

void TestConfigStore::roundTripOfEveryByte() {
    QString every;
    for (int c = 0x20; c <= 0xff; ++c) {
        if (c != '"')
            every += QChar(c);
    }
    PageSet pages;
    for (int i = 0; i < PageSet::RowCount; ++i)
        pages.setRow(i, every.mid((i * 32) % every.size(), 32));
    pages.setRow(95, every);
    pages.setRow(94, QStringLiteral("   "));
    pages.setRow(93, QString());

    ConfigStore store(path());
    store.save(-32768, pages);

    qint16 portNumber = 1;
    PageSet read = untouchedPages();
    store.load(portNumber, read);
    QCOMPARE(portNumber, qint16(-32768));
    QCOMPARE(read, pages);
}

void TestConfigStore::writtenBytes() {
    PageSet pages;
    pages.setRow(0, QStringLiteral(" a "));
    pages.setRow(1, QString::fromLatin1("\xe9"));
    ConfigStore(path()).save(250, pages);

    QFile file(path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("250\r\n\" a \"\r\n\"\xe9\"\r\n\"\"\r\n"));
    QCOMPARE(bytes.count("\r\n"), 97);
    QCOMPARE(bytes.count('\n'), 97);
    QVERIFY(bytes.endsWith("\"\"\r\n"));
    QCOMPARE(bytes.size(), 5 + 7 + 5 + 94 * 4);
}

void TestConfigStore::saveFailureNamesFile() {
    const QString missingFolder = m_dir->filePath(QStringLiteral("gone/display.cfg"));
    try {
        ConfigStore(missingFolder).save(1, PageSet());
        QFAIL("saving into a missing folder succeeded");
    } catch (const Failure &failure) {
        QVERIFY2(failure.text().contains(missingFolder), qPrintable(failure.text()));
    }
    // A folder in the file's place cannot be replaced either.
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("display.cfg")));
    QVERIFY_THROWS_EXCEPTION(Failure, ConfigStore(path()).save(1, PageSet()));
}

void TestConfigStore::saveReplacesLongerFile() {
    writeFile(QByteArray(100000, 'x'));
    PageSet pages;
    pages.setRow(0, QStringLiteral("new"));
    ConfigStore(path()).save(5, pages);

    QFile file(path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ConfigStore::serialize(5, pages));
}

void TestConfigStore::largeRowReadsQuickly() {
    const QString big(1024 * 1024, QLatin1Char('m'));
    QStringList rows = numberedRows();
    rows[3] = big;
    writeFile(fileWith("1", rows));

    QElapsedTimer timer;
    timer.start();
    qint16 portNumber = 0;
    PageSet pages;
    ConfigStore(path()).load(portNumber, pages);
    // Generous bound: a per-byte quadratic reader takes minutes here, a linear one milliseconds.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(pages.row(3), big);
    QCOMPARE(pages.row(95), rows.at(95));
}

void TestConfigStore::endlessFileIsNotReadWhole() {
    if (!QFile::exists(QStringLiteral("/dev/zero")))
        QSKIP("no endless device here");
    qint16 portNumber = 1;
    PageSet pages;
    QVERIFY_THROWS_EXCEPTION(Failure,
                             ConfigStore(QStringLiteral("/dev/zero")).load(portNumber, pages));
}

void TestConfigStore::saveInFolderClosedToUser() {
    // The folder takes no new file from the user, but display.cfg itself is writable: the save
    // cannot go through a temporary file beside it.
    writeFile(QByteArray(100000, 'x'));
    const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                          QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(QFile::setPermissions(path(), everyone));

    if (::geteuid() == 0) {
        // Folder permissions do not bind root: save as nobody in a folder root owns, mode 0755.
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadGroup |
                                                         QFile::ExeGroup | QFile::ReadOther |
                                                         QFile::ExeOther));
        QProcess saver;
        saver.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                     QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                     QString::fromLatin1(SaveSampleOption), path()});
        QVERIFY2(saver.waitForFinished(30000),
                 qPrintable(QStringLiteral("setpriv did not run: ") + saver.errorString()));
        const QString said = QString::fromLocal8Bit(saver.readAllStandardError());
        QVERIFY2(saver.exitStatus() == QProcess::NormalExit,
                 qPrintable(QStringLiteral("the save as nobody crashed: ") + said));
        QVERIFY2(saver.exitCode() != StillRoot, "setpriv left the save running as root");
        QVERIFY2(saver.exitCode() != SaveRefused, qPrintable(said));
        QVERIFY2(saver.exitCode() == 0,
                 qPrintable(QStringLiteral("cannot drop to nobody with setpriv: ") + said));
    } else {
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
        const auto reopen = qScopeGuard([this] {
            QFile::setPermissions(m_dir->path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        QCOMPARE(saveSample(path()), 0);
    }

    QFile file(path());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ConfigStore::serialize(SamplePort, samplePages()));
}

void TestConfigStore::notRegularFileRefused_data() {
    QTest::addColumn<QString>("kind");  // a FIFO made for the test, or an existing path
    QTest::addColumn<QString>("words"); // in the message
    QTest::newRow("FIFO") << "fifo"
                          << "FIFO";
    QTest::newRow("link to a FIFO") << "link"
                                    << "FIFO";
    QTest::newRow("device /dev/null") << "/dev/null"
                                      << "device";
}

void TestConfigStore::notRegularFileRefused() {
    QFETCH(QString, kind);
    QFETCH(QString, words);
    const QString fifo = m_dir->filePath(QStringLiteral("fifo"));
    QVERIFY(QProcess::execute(QStringLiteral("mkfifo"), {fifo}) == 0);
    const QString named = kind == QLatin1String("fifo")   ? fifo
                          : kind == QLatin1String("link") ? path()
                                                          : kind;
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(fifo, path()));

    // Each call would wait for a writer for ever if it opened the FIFO as a file.
    const ConfigStore store(named);
    qint16 portNumber = 1;
    PageSet pages;
    for (const auto &call : std::initializer_list<std::function<void()>>{
             [&] { store.load(portNumber, pages); }, [&] { store.save(1, pages); },
             [&] { store.replaceUnreadable(1, pages); }}) {
        try {
            call();
            QFAIL("a file that is not regular was used");
        } catch (const Failure &failure) {
            QVERIFY2(failure.text().contains(named) && failure.text().contains(words),
                     qPrintable(failure.text()));
        }
        if (!named.startsWith(m_dir->path()))
            break; // a device of the system is never offered a save
    }
    QCOMPARE(QFileInfo(fifo).isFile(), false);
    QCOMPARE(QDir(m_dir->path()).entryList({QStringLiteral("*.damaged-*")}), QStringList());
}

void TestConfigStore::saveThroughLinkKeepsLink() {
    const QString target = m_dir->filePath(QStringLiteral("real.cfg"));
    QVERIFY(QFile::link(target, path()));
    writeFile("damaged");
    ConfigStore(path()).save(7, samplePages());
    QCOMPARE(QFileInfo(path()).symLinkTarget(), target);
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ConfigStore::serialize(7, samplePages()));
}

int main(int argc, char *argv[]) {
    if (argc == 3 && qstrcmp(argv[1], SaveSampleOption) == 0)
        return saveSample(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestConfigStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_configstore.moc"
