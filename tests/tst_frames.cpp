#include "defaultpages.h"
#include "framebuilder.h"
#include "pageset.h"
#include "testfiles.h"

#include <QTest>

class TestFrames : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frames_data();
    void frames();
    void rowPairsFromPages_data();
    void rowPairsFromPages();
    void outOfRange();
    void wholeDefaultUpload();
};

void TestFrames::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    const QString row32a(32, QLatin1Char('A'));
    const QString row32b(32, QLatin1Char('b'));

    QTest::newRow("bracket") << FrameBuilder::bracketFrame() << QByteArray("*Q\r");
    QTest::newRow("delay 1 (no selection)")
        << FrameBuilder::pageDelayFrame(1) << QByteArray("1EN0601\r");
    QTest::newRow("delay 5") << FrameBuilder::pageDelayFrame(5) << QByteArray("1EN0605\r");
    QTest::newRow("delay 9") << FrameBuilder::pageDelayFrame(9) << QByteArray("1EN0609\r");
    QTest::newRow("delay 10") << FrameBuilder::pageDelayFrame(10) << QByteArray("1EN0610\r");
    QTest::newRow("delay 20") << FrameBuilder::pageDelayFrame(20) << QByteArray("1EN0620\r");
    QTest::newRow("probe 0") << FrameBuilder::probeFrame(0) << QByteArray("0?\r");
    QTest::newRow("probe 8") << FrameBuilder::probeFrame(8) << QByteArray("8?\r");
    QTest::newRow("two empty rows")
        << FrameBuilder::rowPairFrame(4, 4, {}, {}) << QByteArray("5ED04TSC~\r");
    QTest::newRow("two rows of 32")
        << FrameBuilder::rowPairFrame(0, 0, row32a, row32b)
        << "1ED00TSC" + row32a.toLatin1() + '~' + row32b.toLatin1() + '\r';
    QTest::newRow("last pair of last page")
        << FrameBuilder::rowPairFrame(5, 7, "x", "") << QByteArray("8ED05TSCx~\r");
    QTest::newRow("row of 40 travels whole")
        << FrameBuilder::rowPairFrame(1, 2, QString(40, QLatin1Char('z')), "y")
        << "3ED01TSC" + QByteArray(40, 'z') + "~y\r";
    QTest::newRow("tilde and CR not escaped")
        << FrameBuilder::rowPairFrame(0, 1, "a~b", "c\rd") << QByteArray("2ED00TSCa~b~c\rd\r");
    QTest::newRow("Latin-1 one byte each")
        << FrameBuilder::rowPairFrame(0, 0,
                                      QString::fromLatin1("\xb0"
                                                          "C \xb5g"),
                                      QString())
        << QByteArray("1ED00TSC\xb0"
                      "C \xb5g~\r");
    QTest::newRow("outside Latin-1")
        << FrameBuilder::rowPairFrame(0, 0, QStringLiteral("\u20ac"), {})
        << QByteArray("1ED00TSC?~\r");
}

void TestFrames::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame, expected);
}

void TestFrames::rowPairsFromPages_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("k");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("page 0 pair 0, 72 bytes")
        << 0 << 0
        << QByteArray("1ED00TSCHazardous chemicals - Quantity~CHEMICAL            QUANTITY(MT)\r");
    QTest::newRow("page 4 pair 4, both empty") << 4 << 4 << QByteArray("5ED04TSC~\r");
    QTest::newRow("trailing space kept")
        << 2 << 0
        << QByteArray("1ED02TSCHAZARDOUS WASTE GENERATED~Empty Containers contaminated \r");
}

void TestFrames::rowPairsFromPages() {
    QFETCH(int, page);
    QFETCH(int, k);
    QFETCH(QByteArray, expected);
    const QByteArray frame = FrameBuilder::rowPairFrame(page, k, DefaultPages::pages());
    QCOMPARE(frame, expected);
    if (page == 0 && k == 0)
        QCOMPARE(frame.size(), 72);
}

void TestFrames::outOfRange() {
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::probeFrame(9));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::probeFrame(-1));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::pageDelayFrame(0));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::pageDelayFrame(21));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::rowPairFrame(6, 0, {}, {}));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, FrameBuilder::rowPairFrame(0, 8, {}, {}));
}

void TestFrames::wholeDefaultUpload() {
    const QByteArray expected = goldenUpload();

    const PageSet pages = DefaultPages::pages();
    QByteArray line = FrameBuilder::bracketFrame() + FrameBuilder::bracketFrame();
    for (int page = 0; page < PageSet::PageCount; ++page) {
        for (int k = 0; k < PageSet::PairsPerPage; ++k)
            line += FrameBuilder::rowPairFrame(page, k, pages);
    }
    line += FrameBuilder::pageDelayFrame(5) + FrameBuilder::bracketFrame();

    QCOMPARE(line.size(), 2004);
    QCOMPARE(line.count('\r'), 52);
    QCOMPARE(line, expected);
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
