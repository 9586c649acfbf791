#include "boardview.h"
#include "simulator.h"

#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

namespace {

QString lightsOf(const LightPrediction &lights) {
    QString text;
    for (int address = 0; address < LightPrediction::AddressCount; ++address)
        text += QLatin1Char(lightName(lights.light(address))[0]);
    return text;
}

QByteArray defaultUpload() {
    QFile golden(QFINDTESTDATA("data/default-upload-delay5.bin"));
    if (!golden.open(QIODevice::ReadOnly))
        return {};
    return golden.readAll();
}

} // namespace

class TestBoardSim : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lights_data();
    void lights();
    void uploadShownInPlainText();
    void rejectedFramesCountedAndUploadEndsOnlyAfterDelay();
    void pageShowsMissingPairsAndLongRows();
};

void TestBoardSim::lights_data() {
    // Events: "f:<frame>" a frame arrives, "r:<bytes>" a reply is sent, "e" the window ends.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("expected"); // c(yan), g(reen), r(ed) for addresses 0..8

    QTest::newRow("probe answered in its window")
        << QStringList{"f:3?", "r:3 OK", "e"} << "cccgccccc";
    QTest::newRow("probe without answer") << QStringList{"f:5?", "e"} << "cccccrccc";
    QTest::newRow("non-digit reply is good for address 0")
        << QStringList{"f:0?", "r:OK", "e"} << "gcccccccc";
    QTest::newRow("non-digit reply is bad for address 3")
        << QStringList{"f:3?", "r:OK", "e"} << "cccrccccc";
    QTest::newRow("another board's digit") << QStringList{"f:4?", "r:5 OK", "e"} << "ccccrcccc";
    QTest::newRow("reply 12 for board 2") << QStringList{"f:2ED00TSC~", "r:12", "e"} << "ccrcccccc";
    QTest::newRow("bracket judges nothing") << QStringList{"f:*Q", "r:1 OK", "e"} << "ccccccccc";
    QTest::newRow("address 9 judges nothing") << QStringList{"f:9?", "r:9", "e"} << "ccccccccc";
    QTest::newRow("late reply is read by the next frame")
        << QStringList{"f:2?", "e", "r:2 OK", "f:3?", "r:3 OK", "e"} << "ccrrccccc";
    QTest::newRow("next frame before the window ended")
        << QStringList{"f:1?", "r:1 OK", "f:2?", "e"} << "cgrcccccc";
    QTest::newRow("later judgement replaces an earlier one")
        << QStringList{"f:6?", "e", "f:6?", "r:6 OK", "e"} << "ccccccgcc";
}

void TestBoardSim::lights() {
    QFETCH(QStringList, events);
    QFETCH(QString, expected);

    LightPrediction lights;
    for (const QString &event : events) {
        const QByteArray bytes = event.mid(2).toLatin1();
        if (event.startsWith(QLatin1String("f:")))
            lights.frameArrived(bytes);
        else if (event.startsWith(QLatin1String("r:")))
            lights.replySent(bytes);
        else
            lights.windowEnded();
    }
    QCOMPARE(lightsOf(lights), expected);
}

void TestBoardSim::uploadShownInPlainText() {
    BoardSimulator sim;
    QSignalSpy completed(&sim, &BoardSimulator::uploadCompleted);
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    const QByteArray upload = defaultUpload();
    QVERIFY(!upload.isEmpty());
    port.write(upload);
    QVERIFY(port.waitForBytesWritten(2000));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(sim.framesReceived(), 52);
    QCOMPARE(sim.framesRejected(), 0);

    ViewStyle plain;
    const QString view = renderView(sim, plain);
    QVERIFY(!view.contains(QLatin1Char('\x1b')));
    QVERIFY(view.contains(QStringLiteral("page delay: 5 s")));
    QVERIFY(view.contains(QStringLiteral("COM %1").arg(sim.boards().portNumber())));
    for (int page = 1; page <= 6; ++page)
        QVERIFY(view.contains(QStringLiteral("Page %1 (page digit %2)").arg(page).arg(page - 1)));
    QVERIFY(view.contains(QStringLiteral("1 |EFFLUENT DISCHARGE MONITORING   |")));
    QVERIFY(view.contains(QStringLiteral("|CHEMICAL            QUANTITY(MT)|")));
    for (const QString &line : view.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= plain.width, qPrintable(line));

    ViewStyle narrow;
    narrow.width = 80;
    narrow.colour = true;
    const QString coloured = renderView(sim, narrow);
    QVERIFY(coloured.contains(QLatin1Char('\x1b')));
    // Two pages side by side: the six pages take three bands.
    QCOMPARE(coloured.count(QStringLiteral("  +--------------------------------+    +")), 6);

    // A terminal too short for all six shows the page that changed last, and never scrolls.
    ViewStyle shortTerminal;
    shortTerminal.width = 114;
    shortTerminal.height = 30;
    const QStringList lines = renderView(sim, shortTerminal).split(QLatin1Char('\n'));
    QVERIFY(lines.size() - 1 < shortTerminal.height);
    QVERIFY(lines.contains(QStringLiteral("1 |EFFLUENT DISCHARGE MONITORING   |")));
    QVERIFY(!lines.join(QLatin1Char('\n')).contains(QStringLiteral("Page 1 (page digit 0)")));
}

void TestBoardSim::rejectedFramesCountedAndUploadEndsOnlyAfterDelay() {
    BoardSimulator sim;
    QSignalSpy completed(&sim, &BoardSimulator::uploadCompleted);
    QSignalSpy log(&sim, &BoardSimulator::logLine);
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    port.write("*Q\r*Q\r1ED07TSCa~b\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(sim.framesReceived(), 3);
    QCOMPARE(completed.size(), 0);
    QCOMPARE(sim.framesRejected(), 1);
    QVERIFY(log.last().at(0).toString().contains(
        QStringLiteral("REJECTED \"1ED07TSCa~b<CR>\": row-pair frame for page 7: pages are 0..5")));

    port.write("1EN0612\r*Q\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(sim.bank().pageDelaySeconds(), 12);
    QCOMPARE(sim.uploadsCompleted(), 1);
}

void TestBoardSim::pageShowsMissingPairsAndLongRows() {
    BoardSimulator sim;
    QSerialPort port;
    port.setPortName(sim.boards().devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write("2ED03TSC" + QByteArray(40, 'w') + "~short\x01\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_COMPARE(sim.framesReceived(), 1);

    const QStringList lines = renderPage(sim, 3).split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0).trimmed(), QStringLiteral("Page 4 (page digit 3)"));
    QCOMPARE(lines.at(2), QStringLiteral("1 |") + QString(32, QLatin1Char('.')) + '|');
    QCOMPARE(lines.at(4), QStringLiteral("2 |") + QString(32, QLatin1Char('w')) + '>');
    QCOMPARE(lines.at(5), QStringLiteral("  |short.") + QString(26, QLatin1Char(' ')) + '|');
}

QTEST_GUILESS_MAIN(TestBoardSim)
#include "tst_boardsim.moc"
