#include "boardlink.h"
#include "boardrig.h"
#include "boards.h"
#include "consolerig.h"
#include "defaultpages.h"
#include "displaywindow.h"
#include "failure.h"
#include "frameexchange.h"
#include "loopback.h"
#include "testfiles.h"

#include <QBuffer>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <sys/resource.h>

Q_DECLARE_METATYPE(BoardBehaviour)

namespace {

using B = BoardBehaviour;

// CPU time this process has used so far, user and system, in seconds.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool hasControlCharacter(const QString &text) {
    for (QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            return true;
    }
    return false;
}

// Whether the boards show the pages and the delay of 5 seconds, every row as it was sent.
bool boardsShow(const LineBoards &boards, const PageSet &pages) {
    for (int page = 0; page < PageSet::PageCount; ++page) {
        for (int row = 0; row < PageSet::RowsPerPage; ++row) {
            if (boards.bank().row(page, row) != pages.row(page, row).toLatin1())
                return false;
        }
    }
    return boards.bank().pageDelaySeconds() == 5;
}

// What the console takes from display.cfg at start-up: the port number and rows read before any
// damage, and whether the read went through (the file is rewritten otherwise).
struct ReadBack {
    qint16 port = 1;
    PageSet pages = DefaultPages::pages();
    bool whole = false;
};

ReadBack readBack(const QByteArray &file) {
    ReadBack read;
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    try {
        ConfigStore::read(buffer, QStringLiteral("display.cfg"), read.port, read.pages);
        read.whole = read.port >= 0 && read.port <= 250; // what the port list can select
    } catch (const Failure &) {
    }
    return read;
}

} // namespace

// The console under faults: a pulled adapter, boards that answer with kilobytes of binary or
// too late, a working folder that refuses the save at close, and a damaged display.cfg. Each
// case checks that nothing the operator has is lost and that the console stays usable.
class TestFaults : public QObject, private ConsoleFixture {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void adapterPulledDuringUpload();
    void repliesOfFourKilobytesOfBinary();
    void lateReplyJudgedByTheNextFrame_data();
    void lateReplyJudgedByTheNextFrame();
    void saveRefusedAtClose_data();
    void saveRefusedAtClose();
    void damagedConfigAtStartUp_data();
    void damagedConfigAtStartUp();
    void damagedConfigInReadOnlyFolder();
    void deviceServerFails_data();
    void deviceServerFails();
    void windowClosedWhileConnecting();
};

void TestFaults::init() {
    setUpConsole();
}

void TestFaults::cleanup() {
    tearDownConsole();
}

// ---- the boards --------------------------------------------------------------------------------

void TestFaults::adapterPulledDuringUpload() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    boards.setReplyDelayMs(1);
    // Where the adapter comes back after it was pulled.
    PtyBoards fresh;
    REQUIRE_BOARDS(fresh);
    mapBoards(fresh, OtherBoardsPortNumber);
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    const QStringList rowsBefore = shownRows();
    QSignalSpy failed(cm(), &BoardLink::failed);

    // The adapter is pulled once both brackets and page 0's eight pairs have arrived; the
    // operator reads the message for a second before answering it.
    constexpr int FramesBeforeVanish = 10;
    double cpuAtVanish = 0;
    QElapsedTimer sinceVanish;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (boards.received().size() != FramesBeforeVanish)
            return;
        QTimer::singleShot(0, &boards, [&] {
            boards.vanish();
            cpuAtVanish = cpuSeconds();
            sinceVanish.start();
        });
    });
    BoxAnswerer answerer;
    answerer.holdMs = 1000;
    QVERIFY(pressed(cmdSend()));
    const double cpuAfterVanish = cpuSeconds() - cpuAtVanish;
    const qint64 msAfterVanish = sinceVanish.elapsed();

    qInfo("CPU in the %lld ms after the adapter vanished: %.3f s", msAfterVanish, cpuAfterVanish);
    QVERIFY(msAfterVanish >= 1000);
    QVERIFY2(cpuAfterVanish < 0.3, qPrintable(QString::number(cpuAfterVanish)));
    QCOMPARE(boards.received().size(), FramesBeforeVanish);
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.front().title, QStringLiteral("Communication Port Error"));
    QVERIFY2(answerer.seen.front().text.contains(boards.devicePath()),
             qPrintable(answerer.seen.front().text));
    QCOMPARE(failed.size(), 1);
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(!cm()->isOpen());
    QVERIFY(cmdSend()->isEnabled());
    QCOMPARE(shownRows(), rowsBefore);
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("CGGGGGGGC"));

    // The adapter is plugged in again and the operator sends once more.
    fresh.setReplyDelayMs(1);
    child<QComboBox>(QStringLiteral("cmbComm"))->setCurrentIndex(OtherBoardsPortNumber - 1);
    QVERIFY(pressed(cmdSend()));
    QCOMPARE(fresh.received().size(), UploadFrameCount);
    QVERIFY(boardsShow(fresh, DefaultPages::pages()));
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("CGGGGGGGG"));
    QCOMPARE(answerer.seen.size(), 1);
    QVERIFY(cmdSend()->isEnabled());

    QVERIFY(m_window->close());
    QCOMPARE(m_dir->readConfig(), fullConfig(OtherBoardsPortNumber, DefaultPages::pages()));
}

void TestFaults::repliesOfFourKilobytesOfBinary() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    // Every reply: the digit, then 4095 bytes running through every byte value, NUL, CR and LF
    // among them. Board 3 answers with another digit.
    QByteArray junk(4095, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = char(i % 256);
    boards.setReplyTail(junk);
    boards.setReplyDelayMs(1);
    boards.bank().setBehaviour(3, B::Wrong);
    startConsole();
    // Long enough that a reply is read in its own window while a build shares the machine.
    constexpr int WindowMs = 200;
    tmrTout()->setInterval(WindowMs);
    auto *lblRx = child<QLabel>(QStringLiteral("lblRx"));

    QStringList shownAtFrame; // the receive line as each frame goes out
    connect(&boards, &PtyBoards::frameReceived, this, [&] { shownAtFrame << lblRx->text(); });
    BoxAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pressed(cmdSend()));
    const qint64 uploadMs = clock.elapsed();

    qInfo("upload with 4 KiB replies: %lld ms for 52 windows of %d ms", uploadMs, WindowMs);
    QCOMPARE(boards.received().size(), 52);
    QVERIFY(boardsShow(boards, DefaultPages::pages()));
    QVERIFY2(uploadMs >= 52 * WindowMs && uploadMs < 52 * WindowMs * 5 / 4,
             qPrintable(QString::number(uploadMs)));
    QCOMPARE(boards.replies().size(), 49); // the 48 pairs and the delay; the line took them all
    for (const PtyBoards::SentReply &reply : boards.replies())
        QCOMPARE(reply.bytes.size(), 4096);
    QVERIFY(answerer.seen.isEmpty());

    // Judged by the first byte of each reply alone.
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("CGGRGGGGG"));
    // Frame i goes out with the reply to frame i - 1 on the line: pairs 2..49, the delay 50.
    for (int frame = 3; frame <= 51; ++frame) {
        const int address = frame == 51 ? 1 : (frame - 3) % 8 + 1;
        const QChar digit = QLatin1Char(char('0' + (address == 3 ? 4 : address)));
        const QString &shown = shownAtFrame.at(frame);
        QVERIFY2(shown.startsWith(digit) && shown.endsWith(QChar(0x2026)),
                 qPrintable(QStringLiteral("frame %1: %2").arg(frame).arg(shown)));
        QVERIFY2(!hasControlCharacter(shown), qPrintable(shown));
    }
    // Nothing of the last reply was left over for the closing "*Q".
    QCOMPARE(lblRx->text(), QString());
    QVERIFY(cmdSend()->isEnabled());
    QVERIFY(!cm()->isOpen());
}

void TestFaults::lateReplyJudgedByTheNextFrame_data() {
    QTest::addColumn<QList<BoardBehaviour>>("plan"); // addresses 0..8
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QList<QByteArray>>("read"); // the reply text of each exchange
    QTest::addColumn<QString>("lights");         // 0..8 afterwards

    QList<B> late4silent5(9, B::Present);
    late4silent5[4] = B::Late;
    late4silent5[5] = B::Silent;
    QList<B> late4(9, B::Present);
    late4[4] = B::Late;
    QList<B> late1silent0(9, B::Present);
    late1silent0[1] = B::Late;
    late1silent0[0] = B::Silent;
    QList<B> late8(9, B::Present);
    late8[8] = B::Late;

    QTest::newRow("late 4 then silent 5: 5 reads 4's reply, both red")
        << late4silent5 << QList<QByteArray>{"4?\r", "5?\r"} << QList<QByteArray>{"", "4 OK"}
        << QStringLiteral("CCCCRRCCC");
    QTest::newRow("late 4 then present 5: 5's own reply comes first, green")
        << late4 << QList<QByteArray>{"4?\r", "5?\r"} << QList<QByteArray>{"", "5 OK4 OK"}
        << QStringLiteral("CCCCRGCCC");
    QTest::newRow("late 4 asked twice: the second reads the first's reply, green; *Q no light")
        << late4 << QList<QByteArray>{"4?\r", "4?\r", "*Q\r"}
        << QList<QByteArray>{"", "4 OK", "4 OK"} << QStringLiteral("CCCCGCCCC");
    QTest::newRow("late 1 then silent 0: a digit other than 0 is red")
        << late1silent0 << QList<QByteArray>{"1?\r", "0?\r"} << QList<QByteArray>{"", "1 OK"}
        << QStringLiteral("RRCCCCCCC");
    QTest::newRow("late 8 then the page delay to board 1: 1 green, 8 red")
        << late8 << QList<QByteArray>{"8ED05TSCa~b\r", "1EN0605\r"}
        << QList<QByteArray>{"", "1 OK8 OK"} << QStringLiteral("CGCCCCCCR");
}

void TestFaults::lateReplyJudgedByTheNextFrame() {
    QFETCH(QList<BoardBehaviour>, plan);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QList<QByteArray>, read);
    QFETCH(QString, lights);

    // Late boards answer half a window into the next exchange, present ones after 1 ms: wide
    // enough apart that the order of the two replies holds on a loaded machine.
    BoardRig rig(100);
    REQUIRE_BOARDS(rig.boards);
    QVERIFY(rig.boards.lateDelayMs() > rig.replyWindow()->interval());
    for (int address = 0; address < plan.size(); ++address)
        rig.boards.bank().setBehaviour(address, plan.at(address));
    rig.link().setPort(rig.port());
    rig.link().open();

    QList<QByteArray> replies;
    for (const QByteArray &frame : frames) {
        const ExchangeResult exchanged = rig.exchangeOnce(frame);
        rig.report.exchanged(exchanged);
        replies << exchanged.reply;
    }
    QCOMPARE(replies, read);
    QCOMPARE(rig.report.lights, lights);
}

// ---- the working folder ------------------------------------------------------------------------

void TestFaults::saveRefusedAtClose_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("display.cfg is a folder") << "folder";
    QTest::newRow("working folder removed") << "removed";
    QTest::newRow("working folder and display.cfg read-only") << "read-only";
}

void TestFaults::saveRefusedAtClose() {
    QFETCH(QString, how);
    if (how == QLatin1String("read-only") && ::geteuid() == 0)
        QSKIP("folder permissions do not bind root");

    const PageSet numbered = numberedPages();
    m_dir->writeConfig(fullConfig(4, numbered));
    startConsole();
    QTest::keyClick(row(20), Qt::Key_End);
    QTest::keyClicks(row(20), QStringLiteral(" edited"));
    PageSet edited = numbered;
    edited.setRow(20, QStringLiteral("row 20 edited"));

    const QString folder = m_dir->path();
    const auto refuse = [&] {
        if (how == QLatin1String("folder")) {
            QFile::remove(m_dir->configPath());
            QDir(folder).mkdir(QStringLiteral("display.cfg"));
        } else if (how == QLatin1String("removed")) {
            QDir(folder).removeRecursively();
        } else {
            // A writable display.cfg alone would still be written in place.
            QFile::setPermissions(m_dir->configPath(), QFile::ReadOwner);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        }
    };
    const auto mend = [&] {
        if (how == QLatin1String("folder")) {
            QDir(folder).rmdir(QStringLiteral("display.cfg"));
        } else if (how == QLatin1String("removed")) {
            QDir().mkpath(folder);
        } else {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QFile::setPermissions(m_dir->configPath(), QFile::ReadOwner | QFile::WriteOwner);
        }
    };
    refuse();

    // Cancel first: the window stays with everything in it. Then the operator makes room and
    // retries.
    BoxAnswerer answerer({QStringLiteral("Cancel"), QStringLiteral("Retry")});
    answerer.beforeAnswer = [&](const SeenBox &) {
        if (answerer.seen.size() == 2)
            mend();
    };
    QVERIFY(!m_window->close());
    QTRY_COMPARE(answerer.seen.size(), 1);
    const SeenBox &box = answerer.seen.front();
    const QString path = m_dir->configPath();
    // The path, then the system's reason after it.
    const qsizetype at = box.text.indexOf(path + QStringLiteral(": "));
    QVERIFY2(at >= 0 && box.text.size() > at + path.size() + 2 &&
                 !box.text.at(at + path.size() + 2).isSpace(),
             qPrintable(box.text));
    QStringList buttons = box.buttons; // in the platform's order
    buttons.sort();
    QCOMPARE(buttons, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Close without saving"),
                                   QStringLiteral("Retry")}));
    QVERIFY(m_window->isVisible());
    QCOMPARE(row(20)->text(), edited.row(20));
    if (how == QLatin1String("read-only"))
        QCOMPARE(m_dir->readConfig(), fullConfig(4, numbered)); // the old file stays whole

    QVERIFY(!m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(answerer.seen.size(), 2);
    QCOMPARE(m_dir->readConfig(), fullConfig(4, edited));
}

// ---- display.cfg -------------------------------------------------------------------------------

void TestFaults::damagedConfigAtStartUp_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("port");          // portNumber after start-up
    QTest::addColumn<PageSet>("pages");     // the rows shown
    QTest::addColumn<bool>("rewritten");    // at start-up, from what was read
    QTest::addColumn<QByteArray>("closed"); // display.cfg after the close

    const auto fromReader = [](const char *name, const QByteArray &file) {
        const ReadBack read = readBack(file);
        QTest::newRow(name) << file << int(read.port) << read.pages << !read.whole
                            << fullConfig(read.port, read.pages);
    };
    fromReader("random bytes, seed 1", randomBytes(1, 2048));
    fromReader("random bytes, seed 2", randomBytes(2, 65536));
    fromReader("port line, then random bytes ending part-way, seed 3",
               "17\r\n" + randomBytes(3, 2600));
    fromReader("port line, then random rows, seed 4", "12\r\n" + randomBytes(4, 32768));
    fromReader("port line, then random rows, seed 5", "250\r\n" + randomBytes(5, 32768));

    PageSet megabyte = numberedPages();
    QByteArray big(1 << 20, ' ');
    for (int i = 0; i < big.size(); ++i)
        big[i] = "0123456789abcdefghijklmnopqrstuvwxyz ~,."[i % 40];
    megabyte.setRow(40, QString::fromLatin1(big));
    QTest::newRow("a row of 1 MiB")
        << fullConfig(3, megabyte) << 3 << megabyte << false << fullConfig(3, megabyte);

    const QByteArray crlf = fullConfig(7, numberedPages());
    QByteArray lf = crlf;
    lf.replace("\r\n", "\n");
    QTest::newRow("LF line ends") << lf << 7 << numberedPages() << false << crlf;
    QByteArray cr = crlf;
    cr.replace("\r\n", "\r");
    QTest::newRow("CR line ends") << cr << 7 << numberedPages() << false << crlf;
}

void TestFaults::damagedConfigAtStartUp() {
    QFETCH(QByteArray, file);
    QFETCH(int, port);
    QFETCH(PageSet, pages);
    QFETCH(bool, rewritten);
    QFETCH(QByteArray, closed);

    m_dir->writeConfig(file);
    BoxAnswerer answerer;
    startConsole();

    QVERIFY(m_window->isVisible());
    for (int index = 0; index < PageSet::RowCount; ++index)
        QCOMPARE(row(index)->text(), pages.row(index));
    QCOMPARE(m_window->portNumber(), port);
    if (!rewritten)
        QCOMPARE(child<QComboBox>(QStringLiteral("cmbComm"))->currentIndex(), port - 1);
    QCOMPARE(m_dir->readConfig(), rewritten ? fullConfig(qint16(port), pages) : file);
    // What was rewritten is kept beside, and the operator is told once, where.
    const QStringList copies =
        QDir(m_dir->path()).entryList({QStringLiteral("display.cfg.damaged-*")});
    QCOMPARE(copies.size(), rewritten ? 1 : 0);
    QTRY_COMPARE(answerer.seen.size(), rewritten ? 1 : 0);
    if (rewritten) {
        QCOMPARE(fileBytes(QDir(m_dir->path()).filePath(copies.constFirst())), file);
        QVERIFY2(answerer.seen.constFirst().text.contains(copies.constFirst()),
                 qPrintable(answerer.seen.constFirst().text));
    }

    QVERIFY(m_window->close());
    QCOMPARE(m_dir->readConfig(), closed);
}

void TestFaults::damagedConfigInReadOnlyFolder() {
    if (::geteuid() == 0)
        QSKIP("folder permissions do not bind root");
    const QByteArray damaged = "COM3\r\n\"row 0\"\r\n";
    m_dir->writeConfig(damaged);
    QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
    const auto reopen = qScopeGuard([this] {
        QFile::setPermissions(m_dir->path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    // No copy can be made: the file is left as it is, at start-up and at the close.
    BoxAnswerer answerer({QStringLiteral("OK"), QStringLiteral("Close without saving")});
    startConsole();
    QTRY_COMPARE(answerer.seen.size(), 1);
    QVERIFY2(answerer.seen.constFirst().text.contains(QStringLiteral("line 1")),
             qPrintable(answerer.seen.constFirst().text));
    QVERIFY(!m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(answerer.seen.size(), 2);
    QCOMPARE(m_dir->readConfig(), damaged);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"display.cfg"});
}

// ---- a device server over TCP -----------------------------------------------------------------

void TestFaults::deviceServerFails_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");

    QTest::newRow("refused port") << "refused"
                                  << "the connection was refused";
    QTest::newRow("connect never completes") << "hanging"
                                             << "no connection within 3 s";
    QTest::newRow("server closes mid-upload") << "closes"
                                              << "closed by the device server";
}

// Each is one port error naming host and port; the window stays live meanwhile, and the next
// SEND reaches boards as usual.
void TestFaults::deviceServerFails() {
    QFETCH(QString, kind);
    QFETCH(QString, expected);

    HangingListener hanging;
    TcpBoards closing(QHostAddress(QHostAddress::LocalHost), 0);
    closing.setReplyDelayMs(1);
    QString device = hanging.device();
    if (kind == QLatin1String("refused")) {
        device = QStringLiteral("tcp://127.0.0.1:%1").arg(refusedPort());
    } else if (kind == QLatin1String("closes")) {
        device = closing.devicePath();
        connect(&closing, &LineBoards::frameReceived, this, [&] {
            if (closing.received().size() == 10)
                QTimer::singleShot(0, &closing, [&] { closing.dropClient(); });
        });
    } else {
        QVERIFY2(hanging.hangs(), "a connect to a full accept queue does not hang here");
    }
    TcpBoards good(QHostAddress(QHostAddress::LocalHost), 0);
    QVERIFY2(good.isValid(), qPrintable(good.listenProblem()));
    good.setReplyDelayMs(1);
    m_setup.ports.insert(BoardsPortNumber, device);
    m_setup.ports.insert(OtherBoardsPortNumber, good.devicePath());
    m_dir->writeConfig(fullConfig(BoardsPortNumber, DefaultPages::pages()));
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    const QStringList rowsBefore = shownRows();

    // The pointer: busy while the connect is under way, back to normal by the time the error
    // is shown.
    const auto pointer = [] {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        return cursor ? int(cursor->shape()) : -1;
    };
    int ticks = 0;
    int pointerWhileConnecting = -1;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
        if (++ticks == 10)
            pointerWhileConnecting = pointer();
    });
    tick.start(50);
    BoxAnswerer answerer;
    int pointerAtBox = -2;
    answerer.beforeAnswer = [&](const SeenBox &) { pointerAtBox = pointer(); };
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pressed(cmdSend()));
    const qint64 ms = clock.elapsed();

    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.front().title, QStringLiteral("Communication Port Error"));
    const QString &text = answerer.seen.front().text;
    QVERIFY2(text.contains(device.mid(6) + QStringLiteral(" (COM %1)").arg(BoardsPortNumber)),
             qPrintable(text));
    QVERIFY2(text.contains(expected), qPrintable(text));
    QVERIFY2(ticks >= ms / 50 / 2,
             qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(ms)));
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(!cm()->isOpen());
    QVERIFY(cmdSend()->isEnabled());
    QCOMPARE(shownRows(), rowsBefore);
    if (kind == QLatin1String("hanging"))
        QCOMPARE(pointerWhileConnecting, int(Qt::BusyCursor));
    QCOMPARE(pointerAtBox, -1);
    QCOMPARE(pointer(), -1);

    child<QComboBox>(QStringLiteral("cmbComm"))->setCurrentIndex(OtherBoardsPortNumber - 1);
    QVERIFY(pressed(cmdSend()));
    QCOMPARE(good.received().size(), UploadFrameCount);
    QVERIFY(boardsShow(good, DefaultPages::pages()));
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("CGGGGGGGG"));
    QCOMPARE(answerer.seen.size(), 1);
}

// The operator closes the window while SEND waits for the connection: it ends at once, with no
// message, and the configuration is saved as ever.
void TestFaults::windowClosedWhileConnecting() {
    HangingListener hanging;
    QVERIFY2(hanging.hangs(), "a connect to a full accept queue does not hang here");
    m_setup.ports.insert(BoardsPortNumber, hanging.device());
    m_dir->writeConfig(fullConfig(BoardsPortNumber, numberedPages()));
    startConsole();
    BoxAnswerer answerer;
    QTimer::singleShot(300, m_window.get(), [this] { m_window->close(); });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pressed(cmdSend()));

    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!m_window->isVisible());
    QVERIFY(answerer.seen.isEmpty());
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QVERIFY(!cm()->isOpen());
    QVERIFY(progressWindow() == nullptr);
    QCOMPARE(m_dir->readConfig(), fullConfig(BoardsPortNumber, numberedPages()));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
