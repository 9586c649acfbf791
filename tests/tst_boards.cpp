#include "boards.h"
#include "defaultpages.h"
#include "testfiles.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

namespace {

ParsedFrame rowPair(int address, int page, const QByteArray &first, const QByteArray &second) {
    ParsedFrame f;
    f.kind = ParsedFrame::Kind::RowPair;
    f.address = address;
    f.page = page;
    f.firstRow = first;
    f.secondRow = second;
    return f;
}

ParsedFrame pageDelay(int seconds) {
    ParsedFrame f;
    f.kind = ParsedFrame::Kind::PageDelay;
    f.address = 1;
    f.delaySeconds = seconds;
    return f;
}

ParsedFrame probe(int address) {
    ParsedFrame f;
    f.kind = ParsedFrame::Kind::Probe;
    f.address = address;
    return f;
}

ParsedFrame bracket() {
    ParsedFrame f;
    f.kind = ParsedFrame::Kind::Bracket;
    return f;
}

// A rejection: what the problem text must say.
ParsedFrame rejected(int address, const QString &says) {
    ParsedFrame f;
    f.address = address;
    f.problem = says;
    return f;
}

// Splits an upload as the boards do: at each carriage return.
QList<QByteArray> framesOf(const QByteArray &bytes) {
    QList<QByteArray> frames = bytes.split('\r');
    frames.removeLast(); // after the last CR
    return frames;
}

} // namespace

class TestBoards : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void replies_data();
    void replies();
    void wholeUploadFillsTheBoards();
    void ptyAnswersFramesAsTheyArrive();
    void ptyLineStaysUpBetweenOpens();
    void ptyLateBoardAnswersAfterTheWindow();
    void ptyVanishFailsTheConsolePort();
    void ptyLineClosesWhenReleasedAndConsoleCloses();
};

void TestBoards::parse_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<ParsedFrame>("expected");

    const QByteArray row32(32, 'x');

    // Every kind of frame the console sends.
    QTest::newRow("bracket") << QByteArray("*Q") << bracket();
    QTest::newRow("row pair, default page 0")
        << QByteArray("1ED00TSCHazardous chemicals - Quantity~CHEMICAL            QUANTITY(MT)")
        << rowPair(1, 0, "Hazardous chemicals - Quantity", "CHEMICAL            QUANTITY(MT)");
    QTest::newRow("row pair, both rows empty") << QByteArray("5ED04TSC~") << rowPair(5, 4, "", "");
    QTest::newRow("row pair, address 8 page 5")
        << QByteArray("8ED05TSCx~") << rowPair(8, 5, "x", "");
    QTest::newRow("row pair, two rows of 32")
        << "3ED02TSC" + row32 + '~' + row32 << rowPair(3, 2, row32, row32);
    QTest::newRow("row pair, row of 40 kept whole")
        << "2ED01TSC" + QByteArray(40, 'z') + "~y" << rowPair(2, 1, QByteArray(40, 'z'), "y");
    QTest::newRow("row pair, split at the first tilde")
        << QByteArray("2ED00TSCa~b~c") << rowPair(2, 0, "a", "b~c");
    QTest::newRow("row pair, Latin-1 bytes") << QByteArray("1ED00TSC\xb0"
                                                           "C~\xb5g")
                                             << rowPair(1, 0,
                                                        "\xb0"
                                                        "C",
                                                        "\xb5g");
    QTest::newRow("page delay 01") << QByteArray("1EN0601") << pageDelay(1);
    QTest::newRow("page delay 05") << QByteArray("1EN0605") << pageDelay(5);
    QTest::newRow("page delay 20") << QByteArray("1EN0620") << pageDelay(20);
    QTest::newRow("probe 0") << QByteArray("0?") << probe(0);
    QTest::newRow("probe 8") << QByteArray("8?") << probe(8);

    // Every rejection.
    QTest::newRow("empty frame") << QByteArray() << rejected(-1, "empty frame");
    QTest::newRow("line feed before a frame")
        << QByteArray("\n1?") << rejected(-1, "\"\\x0a1?\" starts with neither");
    QTest::newRow("bracket with more") << QByteArray("*QQ") << rejected(-1, "exactly \"*Q\"");
    QTest::newRow("bracket other letter") << QByteArray("*R") << rejected(-1, "exactly \"*Q\"");
    QTest::newRow("letter first") << QByteArray("Q1?") << rejected(-1, "starts with neither");
    QTest::newRow("unknown command") << QByteArray("3XY") << rejected(3, "is no row pair");
    QTest::newRow("address digit alone") << QByteArray("3") << rejected(3, "is no row pair");
    QTest::newRow("row pair for address 0")
        << QByteArray("0ED00TSCa~b") << rejected(0, "address 0: boards 1..8 hold rows");
    QTest::newRow("row pair for address 9")
        << QByteArray("9ED00TSCa~b") << rejected(9, "address 9: boards 1..8 hold rows");
    QTest::newRow("row pair ED1") << QByteArray("1ED10TSCa~b") << rejected(1, "\"ED0\"");
    QTest::newRow("row pair without page") << QByteArray("1ED0") << rejected(1, "no page digit");
    QTest::newRow("row pair page letter")
        << QByteArray("1ED0xTSCa~b") << rejected(1, "no page digit");
    QTest::newRow("row pair for page 6")
        << QByteArray("1ED06TSCa~b") << rejected(1, "page 6: pages are 0..5");
    QTest::newRow("row pair for page 7")
        << QByteArray("1ED07TSCa~b") << rejected(1, "page 7: pages are 0..5");
    QTest::newRow("row pair TSX") << QByteArray("1ED00TSXa~b") << rejected(1, "\"TSC\"");
    QTest::newRow("row pair cut after page") << QByteArray("1ED00") << rejected(1, "\"TSC\"");
    QTest::newRow("row pair without tilde")
        << QByteArray("1ED00TSCab") << rejected(1, "no \"~\" between its two rows");
    QTest::newRow("page delay for address 2")
        << QByteArray("2EN0605") << rejected(2, "address 2: it always goes to address 1");
    QTest::newRow("page delay one digit")
        << QByteArray("1EN065") << rejected(1, "\"1EN06\" and two digits");
    QTest::newRow("page delay three digits")
        << QByteArray("1EN06050") << rejected(1, "\"1EN06\" and two digits");
    QTest::newRow("page delay EN07")
        << QByteArray("1EN0705") << rejected(1, "\"1EN06\" and two digits");
    QTest::newRow("page delay letters")
        << QByteArray("1EN06ab") << rejected(1, "\"1EN06\" and two digits");
    QTest::newRow("page delay 00")
        << QByteArray("1EN0600") << rejected(1, "page delay of 0 seconds: delays are 01..20");
    QTest::newRow("page delay 21")
        << QByteArray("1EN0621") << rejected(1, "page delay of 21 seconds: delays are 01..20");
    QTest::newRow("probe 9") << QByteArray("9?") << rejected(9, "probe of address 9");
    QTest::newRow("probe with more") << QByteArray("3??") << rejected(3, "after the \"?\"");
    QTest::newRow("control byte shown as hex")
        << QByteArray("1ED00TSCa\x01") << rejected(1, "\"1ED00TSCa\\x01\"");
}

void TestBoards::parse() {
    QFETCH(QByteArray, frame);
    QFETCH(ParsedFrame, expected);

    const ParsedFrame parsed = parseFrame(frame);
    if (expected.kind != ParsedFrame::Kind::Invalid) {
        QCOMPARE(parsed, expected);
        return;
    }
    QCOMPARE(parsed.kind, ParsedFrame::Kind::Invalid);
    QCOMPARE(parsed.address, expected.address);
    QVERIFY2(parsed.problem.contains(expected.problem), qPrintable(parsed.problem));
}

void TestBoards::replies_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<BoardBehaviour>("behaviour"); // of the addressed board
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("probe 3 present")
        << QByteArray("3?") << BoardBehaviour::Present << QByteArray("3 OK");
    QTest::newRow("probe 0 present")
        << QByteArray("0?") << BoardBehaviour::Present << QByteArray("0 OK");
    QTest::newRow("row pair 2 present")
        << QByteArray("2ED00TSCa~b") << BoardBehaviour::Present << QByteArray("2 OK");
    QTest::newRow("page delay answered by 1")
        << QByteArray("1EN0605") << BoardBehaviour::Present << QByteArray("1 OK");
    QTest::newRow("late board answers with its digit")
        << QByteArray("5?") << BoardBehaviour::Late << QByteArray("5 OK");
    QTest::newRow("silent board") << QByteArray("4ED00TSC~") << BoardBehaviour::Silent
                                  << QByteArray();
    QTest::newRow("wrong board 4 answers 5")
        << QByteArray("4?") << BoardBehaviour::Wrong << QByteArray("5 OK");
    QTest::newRow("wrong board 0 answers 1")
        << QByteArray("0?") << BoardBehaviour::Wrong << QByteArray("1 OK");
    QTest::newRow("wrong board 8 answers 9")
        << QByteArray("8?") << BoardBehaviour::Wrong << QByteArray("9 OK");
    QTest::newRow("bracket gets nothing")
        << QByteArray("*Q") << BoardBehaviour::Present << QByteArray();
    QTest::newRow("rejected frame gets nothing")
        << QByteArray("3ED09TSC~") << BoardBehaviour::Present << QByteArray();
}

void TestBoards::replies() {
    QFETCH(QByteArray, frame);
    QFETCH(BoardBehaviour, behaviour);
    QFETCH(QByteArray, reply);

    BoardBank bank;
    const ParsedFrame parsed = parseFrame(frame);
    if (parsed.address >= 0)
        bank.setBehaviour(parsed.address, behaviour);
    QCOMPARE(bank.apply(parsed), reply);
}

void TestBoards::wholeUploadFillsTheBoards() {
    const QList<QByteArray> frames = framesOf(goldenUpload());
    QCOMPARE(frames.size(), 52);

    BoardBank bank;
    bank.setBehaviour(3, BoardBehaviour::Silent); // a silent board still takes its rows
    for (const QByteArray &frame : frames) {
        const ParsedFrame parsed = parseFrame(frame);
        QVERIFY2(parsed.kind != ParsedFrame::Kind::Invalid, qPrintable(parsed.problem));
        bank.apply(parsed);
    }
    QCOMPARE(bank.rowPairFramesReceived(), 48);
    QCOMPARE(bank.pageDelaySeconds(), 5);
    for (int page = 0; page < PageSet::PageCount; ++page) {
        for (int row = 0; row < PageSet::RowsPerPage; ++row)
            QCOMPARE(QString::fromLatin1(bank.row(page, row)), DefaultPages::text(page, row));
    }
}

void TestBoards::ptyAnswersFramesAsTheyArrive() {
    PtyBoards boards;
    QVERIFY(boards.isValid());
    QVERIFY(boards.devicePath().startsWith("/dev/pts/"));
    QCOMPARE(boards.portNumber(), 100 + boards.devicePath().mid(9).toInt());
    QSignalSpy rejectedSpy(&boards, &PtyBoards::invalidFrame);

    QSerialPort port;
    port.setPortName(boards.devicePath());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));

    // A frame split over two writes is still one frame.
    port.write("*Q\r3");
    QVERIFY(port.waitForBytesWritten(1000));
    port.write("?\r1ED00TSCa~b\r9?\r");
    QVERIFY(port.waitForBytesWritten(1000));

    QTRY_COMPARE(boards.received().size(), 4);
    QCOMPARE(boards.allBytes(), QByteArray("*Q\r3?\r1ED00TSCa~b\r9?\r"));
    for (qsizetype i = 1; i < boards.received().size(); ++i)
        QVERIFY(boards.received().at(i).atMs >= boards.received().at(i - 1).atMs);
    QCOMPARE(rejectedSpy.size(), 1);
    QCOMPARE(rejectedSpy.at(0).at(0).toByteArray(), QByteArray("9?\r"));
    QCOMPARE(boards.bank().row(0, 0), QByteArray("a"));
    QCOMPARE(boards.bank().row(0, 1), QByteArray("b"));

    QByteArray reply;
    QTRY_VERIFY((reply += port.readAll()).size() >= 8);
    QCOMPARE(reply, QByteArray("3 OK1 OK"));
    QCOMPARE(boards.replies().size(), 2);
    QCOMPARE(boards.replies().at(0).address, 3);
    QVERIFY(boards.replies().at(0).atMs >= boards.received().at(1).atMs);
}

void TestBoards::ptyLineStaysUpBetweenOpens() {
    PtyBoards boards;
    boards.setReplyTail("!");
    for (int open = 0; open < 2; ++open) {
        QSerialPort port;
        port.setPortName(boards.devicePath());
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        port.write("2?\r");
        QVERIFY(port.waitForBytesWritten(1000));
        QByteArray reply;
        QTRY_COMPARE(reply += port.readAll(), QByteArray("2!"));
        port.close();
    }
    QCOMPARE(boards.received().size(), 2);
}

void TestBoards::ptyLateBoardAnswersAfterTheWindow() {
    PtyBoards boards;
    boards.bank().setBehaviour(4, BoardBehaviour::Late);
    boards.setLateDelayMs(600);
    QSerialPort port;
    port.setPortName(boards.devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write("4?\r5?\r");
    QVERIFY(port.waitForBytesWritten(1000));

    QByteArray reply;
    QTRY_COMPARE_WITH_TIMEOUT(reply += port.readAll(), QByteArray("5 OK4 OK"), 3000);
    QCOMPARE(boards.replies().size(), 2);
    QVERIFY(boards.replies().at(1).atMs - boards.received().at(0).atMs >= 600);
}

void TestBoards::ptyVanishFailsTheConsolePort() {
    PtyBoards boards;
    const QString path = boards.devicePath();
    QSerialPort port;
    port.setPortName(path);
    QVERIFY(port.open(QIODevice::ReadWrite));

    boards.vanish();
    QVERIFY(!boards.isValid());
    QTRY_VERIFY(port.error() != QSerialPort::NoError || !port.isOpen());
    port.close();

    QSerialPort again;
    again.setPortName(path);
    QVERIFY(!again.open(QIODevice::ReadWrite));
}

void TestBoards::ptyLineClosesWhenReleasedAndConsoleCloses() {
    PtyBoards boards;
    QSignalSpy closed(&boards, &PtyBoards::lineClosed);
    QSerialPort port;
    port.setPortName(boards.devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    boards.releaseLine();
    port.write("6?\r");
    QVERIFY(port.waitForBytesWritten(1000));
    QByteArray reply;
    QTRY_COMPARE(reply += port.readAll(), QByteArray("6 OK"));
    QCOMPARE(closed.size(), 0);

    port.close();
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(boards.received().size(), 1);
}

QTEST_GUILESS_MAIN(TestBoards)
#include "tst_boards.moc"
