#include "boardrig.h"
#include "framebuilder.h"
#include "jobs.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(BoardBehaviour)

namespace {

using B = BoardBehaviour;

QByteArray goldenUpload() {
    QFile golden(QFINDTESTDATA("data/default-upload-delay5.bin"));
    if (!golden.open(QIODevice::ReadOnly))
        return {};
    return golden.readAll();
}

QList<float> fullProgress() {
    QList<float> values;
    for (int value = 0; value <= 96; value += 2)
        values.append(float(value));
    values.append(100);
    return values;
}

// "GRRR..." for lights 0..8: C cyan, G green, R red.
QString lightsOf(const FakeConsole &console) {
    QString shown;
    for (Light light : console.lights)
        shown += light == Light::Green ? u'G' : light == Light::Red ? u'R' : u'C';
    return shown;
}

} // namespace

#define REQUIRE_RIG(rig)                                                                           \
    if (!(rig).usable())                                                                           \
    QSKIP("pseudo-terminal beyond the console's port table")

// The upload, the board test and the receive monitor against fake boards on a pseudo-terminal,
// at the fake boards' speed: what the boards receive and what the operator sees.
class TestJobs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void upload_data();
    void upload();
    void delayReadJustBeforeItsFrame_data();
    void delayReadJustBeforeItsFrame();
    void rowEditedDuringUpload();
    void uploadUnopenablePort();
    void uploadNoPortSelected();
    void uploadDeviceVanishes();
    void probeOnlyBoardOne();
    void probeUnopenablePort();
    void probeDeviceVanishes();
    void monitorStartPollsStop();
    void monitorStartRefused();
    void monitorDeviceVanishes();
    void uploadWhileMonitorHoldsThePort();
    void abortStopsTheUpload();
    void windowGoneDuringTheWait();
    void exitStopsTheUpload(); // last: it leaves the application told to exit
};

void TestJobs::upload_data() {
    QTest::addColumn<QList<BoardBehaviour>>("plan"); // addresses 0..8
    QTest::addColumn<QString>("lights");             // 0..8 after the upload
    QTest::addColumn<QByteArray>("receiveLine");     // after the last "*Q"

    QTest::newRow("all boards present")
        << QList<B>(9, B::Present) << QStringLiteral("CGGGGGGGG") << QByteArray();
    QTest::newRow("boards disconnected")
        << QList<B>(9, B::Silent) << QStringLiteral("CRRRRRRRR") << QByteArray();
    // Board 4 answers after its window: its reply comes in board 5's window, behind 5's own.
    QTest::newRow("mixed plan: silent 2, wrong 3, late 4")
        << QList<B>{B::Present, B::Present, B::Silent,  B::Wrong,  B::Late,
                    B::Present, B::Present, B::Present, B::Present}
        << QStringLiteral("CGRRRGGGG") << QByteArray();
    // Board 8's last reply comes in the delay frame's window, behind board 1's.
    QTest::newRow("board 8 late") << QList<B>{B::Present, B::Present, B::Present,
                                              B::Present, B::Present, B::Present,
                                              B::Present, B::Present, B::Late}
                                  << QStringLiteral("CGGGGGGGR") << QByteArray();
    // Board 2 is judged by board 1's late reply, and the last "*Q" reads the late answer to
    // the delay frame.
    QTest::newRow("board 1 late, board 2 silent")
        << QList<B>{B::Present, B::Late,    B::Silent,  B::Present, B::Present,
                    B::Present, B::Present, B::Present, B::Present}
        << QStringLiteral("CRRGGGGGG") << QByteArray("1 OK");
}

void TestJobs::upload() {
    QFETCH(QList<BoardBehaviour>, plan);
    QFETCH(QString, lights);
    QFETCH(QByteArray, receiveLine);

    BoardRig rig;
    REQUIRE_RIG(rig);
    for (int address = 0; address < plan.size(); ++address)
        rig.boards.bank().setBehaviour(address, plan.at(address));
    bool sendDisabledThroughout = true;
    rig.console.progressDisplay.onValue = [&](float) {
        sendDisabledThroughout = sendDisabledThroughout && !rig.console.sendEnabled;
    };

    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.boards.allBytes(), goldenUpload());
    QCOMPARE(rig.console.progressDisplay.values, fullProgress());
    QCOMPARE(rig.console.progressDisplay.message, QStringLiteral("Processing ...."));
    QCOMPARE(lightsOf(rig.console), lights);
    QCOMPARE(rig.console.receiveLine, receiveLine);
    QCOMPARE(rig.boards.bank().row(0, 0), QByteArray("Hazardous chemicals - Quantity"));
    QCOMPARE(rig.boards.bank().pageDelaySeconds(), 5);
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(sendDisabledThroughout);
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 1);
    QVERIFY(!rig.console.progressDisplay.shown);
    QVERIFY(!rig.link.isOpen());
    QCOMPARE(rig.console.port, qint16(rig.boards.portNumber()));
}

void TestJobs::delayReadJustBeforeItsFrame_data() {
    QTest::addColumn<int>("positionAtStart");
    QTest::addColumn<int>("positionAt96"); // the operator moves the list when the bar shows 96
    QTest::addColumn<QByteArray>("delayFrame");

    QTest::newRow("5 throughout") << 3 << 3 << QByteArray("1EN0605\r");
    QTest::newRow("moved to 20 during the upload") << 3 << 18 << QByteArray("1EN0620\r");
    QTest::newRow("moved to 10 during the upload") << 0 << 8 << QByteArray("1EN0610\r");
    QTest::newRow("no entry selected gives 01") << -1 << -1 << QByteArray("1EN0601\r");
}

void TestJobs::delayReadJustBeforeItsFrame() {
    QFETCH(int, positionAtStart);
    QFETCH(int, positionAt96);
    QFETCH(QByteArray, delayFrame);

    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.console.delayPosition = positionAtStart;
    int readsBefore96 = -1;
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 96) {
            readsBefore96 = rig.console.delayReads;
            rig.console.delayPosition = positionAt96;
        }
    };

    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(readsBefore96, 0);
    QCOMPARE(rig.console.delayReads, 1);
    const QList<QByteArray> frames = rig.frames();
    QCOMPARE(frames.size(), 52);
    QCOMPARE(frames.at(50), delayFrame);
    QCOMPARE(frames.at(51), QByteArray("*Q\r"));
}

void TestJobs::rowEditedDuringUpload() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    // Once page 0's first pair has gone, the operator edits a row of it and rows not yet sent.
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 2) {
            rig.console.pages.setRow(0, QStringLiteral("TOO LATE FOR THIS UPLOAD"));
            rig.console.pages.setRow(PageSet::indexOf(0, 3), QStringLiteral("PAGE 0 ROW 3"));
            rig.console.pages.setRow(PageSet::indexOf(1, 1), QStringLiteral("PAGE 1 ROW 1"));
            rig.console.pages.setRow(95, QStringLiteral("LAST ROW"));
        }
    };

    UploadJob(rig.console, rig.link, rig.exchange).run();

    const BoardBank &bank = rig.boards.bank();
    QCOMPARE(bank.row(0, 0), QByteArray("Hazardous chemicals - Quantity"));
    QCOMPARE(bank.row(0, 3), QByteArray("PAGE 0 ROW 3"));
    QCOMPARE(bank.row(1, 1), QByteArray("PAGE 1 ROW 1"));
    QCOMPARE(bank.row(5, 15), QByteArray("LAST ROW"));
    QVERIFY(rig.frames().contains(QByteArray("2ED00TSC") + DefaultPages::text(0, 2).toLatin1() +
                                  "~PAGE 0 ROW 3\r"));
}

void TestJobs::uploadUnopenablePort() {
    BoardRig rig;
    rig.console.portPosition = 97; // COM 98: no device
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.console.errors, QStringList{QStringLiteral("Cannot open COM 98: no such port.")});
    QCOMPARE(rig.console.port, qint16(98));
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
    QVERIFY(!rig.link.isOpen());
    QVERIFY(rig.boards.received().isEmpty());
}

void TestJobs::uploadNoPortSelected() {
    BoardRig rig;
    rig.console.portPosition = -1;
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.console.port, qint16(0));
    QCOMPARE(rig.console.errors,
             QStringList{QStringLiteral(
                 "Cannot use COM 0: no port selected. Choose a port from the list.")});
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
    QVERIFY(rig.boards.received().isEmpty());
}

void TestJobs::uploadDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.vanishAfterFrame(10); // both brackets and page 0's eight pairs arrive
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.frames().size(), 10);
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY2(
        rig.console.errors.front().startsWith(QStringLiteral("The connection to %1 (COM %2) failed")
                                                  .arg(rig.boards.devicePath())
                                                  .arg(rig.boards.portNumber())),
        qPrintable(rig.console.errors.front()));
    // What was done stays done (board 8's frame arrived, but its exchange failed before its
    // light was judged); the console is ready for the next upload.
    QCOMPARE(lightsOf(rig.console), QStringLiteral("CGGGGGGGC"));
    QVERIFY(rig.console.sendEnabled);
    QVERIFY(!rig.console.progressDisplay.shown);
    QVERIFY(!rig.link.isOpen());
}

void TestJobs::probeOnlyBoardOne() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.plan({B::Silent, B::Present, B::Silent, B::Silent, B::Silent, B::Silent, B::Silent,
              B::Silent, B::Silent});
    rig.console.port = 7; // the list wins for the test
    ProbeJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.frames(), (QList<QByteArray>{"0?\r", "1?\r", "2?\r", "3?\r", "4?\r", "5?\r",
                                              "6?\r", "7?\r", "8?\r"}));
    QCOMPARE(lightsOf(rig.console), QStringLiteral("RGRRRRRRR"));
    QCOMPARE(rig.console.receiveLines.at(1), QByteArray("1 OK"));
    QCOMPARE(rig.console.receiveLine, QByteArray());
    QCOMPARE(rig.console.port, qint16(rig.boards.portNumber()));
    QVERIFY(!rig.link.isOpen());
    QVERIFY(rig.console.errors.isEmpty());
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
}

void TestJobs::probeUnopenablePort() {
    BoardRig rig;
    rig.console.portPosition = 63; // COM 64, /dev/ttyUSB31
    ProbeJob(rig.console, rig.link, rig.exchange).run();
    QCOMPARE(rig.console.port, qint16(64));
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(rig.console.errors.front().startsWith(
        QStringLiteral("Cannot open /dev/ttyUSB31 (COM 64): no such port")));
    QCOMPARE(lightsOf(rig.console), QStringLiteral("CCCCCCCCC"));
}

void TestJobs::probeDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.vanishAfterFrame(3);
    ProbeJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.frames().size(), 3);
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(!rig.link.isOpen());
    // Probes 0 and 1 were judged before the boards went; probe 2's exchange failed.
    QCOMPARE(lightsOf(rig.console), QStringLiteral("GGCCCCCCC"));
}

void TestJobs::monitorStartPollsStop() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    MonitorJob monitor(rig.console, rig.link);
    monitor.tmrRx()->setInterval(20);
    rig.console.portPosition = 1; // the monitor does not read the list

    monitor.toggle();
    QVERIFY(monitor.isRunning());
    QVERIFY(rig.link.isOpen());
    QCOMPARE(rig.link.portNumber(), rig.boards.portNumber());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Stop"));

    rig.boards.sendUnasked("7 RESTARTED\r\n");
    // Shown for one tick; the next tick finds nothing and clears the line.
    QTRY_VERIFY(rig.console.receiveLines.contains("7 RESTARTED\r\n"));
    QTRY_COMPARE(rig.console.receiveLines.last(), QByteArray());
    QVERIFY(rig.boards.received().isEmpty()); // the monitor never sends

    monitor.toggle();
    QVERIFY(!monitor.isRunning());
    QVERIFY(!rig.link.isOpen());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));
    QVERIFY(rig.console.errors.isEmpty());
}

void TestJobs::monitorStartRefused() {
    BoardRig rig;
    MonitorJob monitor(rig.console, rig.link);
    rig.console.port = 0;
    monitor.toggle();
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(!monitor.isRunning());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));

    rig.console.port = 300; // from display.cfg: no device
    monitor.toggle();
    QCOMPARE(rig.console.errors.last(), QStringLiteral("Cannot open COM 300: no such port."));
    QVERIFY(!monitor.isRunning());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));
}

void TestJobs::monitorDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    MonitorJob monitor(rig.console, rig.link);
    monitor.tmrRx()->setInterval(20);
    monitor.toggle();
    QVERIFY(monitor.isRunning());

    rig.boards.vanish();
    QTRY_VERIFY(!monitor.isRunning());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));
    QVERIFY(!rig.link.isOpen());
    // Reported once, however long the console goes on.
    QTest::qWait(10 * 20);
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(rig.console.errors.front().contains(rig.boards.devicePath()));
}

void TestJobs::uploadWhileMonitorHoldsThePort() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    MonitorJob monitor(rig.console, rig.link);
    monitor.tmrRx()->setInterval(20);
    monitor.toggle();
    QVERIFY(monitor.isRunning());

    rig.console.portPosition = 4;
    UploadJob(rig.console, rig.link, rig.exchange).run();
    QCOMPARE(rig.console.port, qint16(5));
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(
        rig.console.errors.front().startsWith(QStringLiteral("Cannot change the port to COM 5")));
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
    QVERIFY(rig.boards.received().isEmpty());

    // The monitor keeps the port and goes on showing what arrives.
    QVERIFY(monitor.isRunning());
    QVERIFY(rig.link.isOpen());
    rig.boards.sendUnasked("still here");
    QTRY_VERIFY(rig.console.receiveLines.contains("still here"));
}

void TestJobs::abortStopsTheUpload() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    // The window closes while the fourth exchange waits.
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 2)
            QTimer::singleShot(5, &rig.exchange, [&] { rig.exchange.abort(); });
    };
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.frames().size(), 4);
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(!rig.link.isOpen());
    QVERIFY(!rig.console.progressDisplay.shown);
    QVERIFY(rig.exchange.isAborted());
    // Nothing is written after the abort, whatever runs later.
    rig.exchange.pendingFrame = FrameBuilder::bracketFrame();
    QVERIFY_THROWS_EXCEPTION(Aborted, rig.exchange.sendRec());
}

void TestJobs::windowGoneDuringTheWait() {
    // The link and the exchange belong to the main window; if it is destroyed while an upload
    // waits, the upload must return without touching them.
    BoardRig rig;
    REQUIRE_RIG(rig);
    auto *link = new BoardLink;
    auto *exchange = new SendRec(link, &rig.console);
    exchange->setReplyWindowMs(BoardRig::FastWindowMs);
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 4)
            QTimer::singleShot(5, &rig.boards, [&] {
                delete exchange;
                delete link;
            });
    };
    UploadJob(rig.console, *link, *exchange).run();
    QCOMPARE(rig.frames().size(), 5);
    QVERIFY(rig.console.errors.isEmpty());
}

void TestJobs::exitStopsTheUpload() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 4)
            QCoreApplication::exit(0);
    };
    UploadJob(rig.console, rig.link, rig.exchange).run();
    // The application was told to exit after the second row pair: the third went out, its wait
    // ended at once, and nothing more was written.
    QTRY_COMPARE(rig.frames().size(), 5);
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(!rig.link.isOpen());
    QVERIFY(!rig.console.progressDisplay.shown);

    // Every later event loop would return at once too; running the application's own loop
    // clears that for whatever runs after this test.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
