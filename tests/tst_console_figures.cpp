#include "boards.h"
#include "boardview.h"
#include "consolerig.h"
#include "defaultpages.h"
#include "journal.h"
#include "journalfiles.h"
#include "programrun.h"

#include <QDateTime>
#include <QLabel>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// The console's SEND in a folder with figures: rows are templates, filled as display-send fills
// them, and what the boards get is what display-send would send at the same moment.
class TestConsoleFigures : public QObject, private ConsoleFixture {
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpConsole(); }
    void cleanup() { tearDownConsole(); }

    void sendFills_data();
    void sendFills();
    void nothingSent_data();
    void nothingSent();
    void sendWithoutFigures_data();
    void sendWithoutFigures();
    void readingCancelled_data();
    void readingCancelled();
    void sameFramesAsDisplaySend();

private:
    void writeFile(const QString &name, const QByteArray &bytes) const {
        QVERIFY(writeBytes(QDir(m_dir->path()).filePath(name), bytes));
    }
};

// Page 6, rows 3 and 4 travel in frame 2 + 5 * 8 + 1.
constexpr int Row = 5 * PageSet::RowsPerPage + 2;
constexpr int RowFrame = 2 + 5 * PageSet::PairsPerPage + 1;

void TestConsoleFigures::sendFills_data() {
    QTest::addColumn<QString>("templ");    // page 6, row 3 at SEND
    QTest::addColumn<QString>("edit");     // typed over it when frame 3 goes out; empty: none
    QTest::addColumn<QByteArray>("shown"); // the row as the boards got it
    QTest::addColumn<QStringList>("unavailable"); // in the journal and below the lights
    const QStringList cod{QStringLiteral("cod")};

    QTest::newRow("filled row on the wire") << "pH          6.5-8.5 {pH:>6.2f}" << QString()
                                            << QByteArray("pH          6.5-8.5   7.12") << cod;
    QTest::newRow("unavailable value shown as the placeholder")
        << "COD {cod:>5.0f} pH {pH:.1f}" << QString() << QByteArray("COD    -- pH 7.1") << cod;
    QTest::newRow("edit during the upload filled with the figures of SEND")
        << "pH {pH:.1f}"
        << "pH now {pH:.2f}" << QByteArray("pH now 7.12") << cod;
    QTest::newRow("edit during the upload whose figure goes out as --: named")
        << "pH {pH:.1f}"
        << "pH {pH:d}" << QByteArray("pH --") << QStringList{"cod", "pH"};
    QTest::newRow("edit that no longer fills goes as filled at SEND")
        << "pH {pH:.1f}"
        << "pH {nosuch}" << QByteArray("pH 7.1") << cod;
    QTest::newRow("a doubled brace is one brace")
        << "{{pH}} {pH:.0f}" << QString() << QByteArray("{pH} 7") << cod;
}

void TestConsoleFigures::sendFills() {
    QFETCH(QString, templ);
    QFETCH(QString, edit);
    QFETCH(QByteArray, shown);
    QFETCH(QStringList, unavailable);
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    pages.setRow(Row, templ);
    QVERIFY(useBoards(boards, pages));
    writeFile(QStringLiteral("values.json"), R"({"pH": 7.12, "cod": null})");
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    // Read once the window has shown, the figures fill the live view before any SEND.
    m_window->findChild<QTabWidget *>()->setCurrentIndex(5);
    if (edit.isEmpty())
        QTRY_COMPARE(child<BoardView>("Image1")->rows().value(2).text, QString::fromLatin1(shown));
    if (!edit.isEmpty()) {
        connect(&boards, &PtyBoards::frameReceived, this, [&] {
            if (boards.received().size() == 3)
                row(Row)->placeText(edit);
        });
    }

    QVERIFY(pressed(cmdSend()));
    QCOMPARE(boards.received().size(), UploadFrameCount);
    const QByteArray frame = boards.received().at(RowFrame).bytes;
    QVERIFY2(frame.contains("TSC" + shown + '~'), frame.constData());
    // values.json gives cod as null: unavailable, said on one line and in no box.
    QCOMPARE(child<QLabel>("lblValues")->text(),
             QStringLiteral("Unavailable, shown as --: %1").arg(unavailable.join(u", ")));
    QVERIFY(m_window->findChildren<QMessageBox *>().isEmpty());
    // The journal holds the rows as they went out and the unavailable names.
    const std::optional<JournalRecord> recorded = Journal(journalIn(m_dir->path())).lastUpload();
    QVERIFY(recorded);
    QCOMPARE(recorded->rows.value_or(QStringList()).value(Row), QString::fromLatin1(shown));
    QCOMPARE(recorded->unavailable, unavailable);
}

void TestConsoleFigures::nothingSent_data() {
    QTest::addColumn<QString>("templ");     // page 4, row 5
    QTest::addColumn<QByteArray>("values"); // values.json; empty: a dangling link
    QTest::addColumn<QString>("said");      // the box's text begins so
    QTest::addColumn<bool>("rowShown");     // the page's tab shown, the row box focused

    QTest::newRow("a name no figure gives") << "BOD {BOD:6.1f}" << QByteArray(R"({"pH": 7.12})")
                                            << "Page 4, row 5 cannot be filled: " << true;
    QTest::newRow("an unclosed field") << "pH {pH:5.1f" << QByteArray(R"({"pH": 7.12})")
                                       << "Page 4, row 5 cannot be filled: unclosed {" << true;
    QTest::newRow("values.json a dangling link")
        << "pH {pH:5.1f}" << QByteArray() << "Cannot read " << false;
}

void TestConsoleFigures::nothingSent() {
    QFETCH(QString, templ);
    QFETCH(QByteArray, values);
    QFETCH(QString, said);
    QFETCH(bool, rowShown);
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    const int index = 3 * PageSet::RowsPerPage + 4;
    pages.setRow(index, templ);
    QVERIFY(useBoards(boards, pages));
    if (values.isEmpty())
        QVERIFY(QFile::link(QStringLiteral("nowhere"), QStringLiteral("values.json")));
    else
        writeFile(QStringLiteral("values.json"), values);
    startConsole();
    BoxAnswerer answerer;

    QVERIFY(pressed(cmdSend()));
    QCOMPARE(answerer.seen.size(), 1);
    QVERIFY2(answerer.seen.constFirst().text.startsWith(said),
             qPrintable(answerer.seen.constFirst().text));
    // pressed() returns once no job runs: none started, so nothing is on its way.
    QVERIFY(boards.received().isEmpty());
    QVERIFY(!QFileInfo::exists(journalIn(m_dir->path())));
    if (rowShown) {
        QCOMPARE(child<QTabWidget>("SSTab")->currentIndex(), 3);
        QTRY_COMPARE(m_window->focusWidget(), static_cast<QWidget *>(row(index)));
    }
}

// Figures that vanish before SEND (an export rewriting values.json): a row holding a field is
// sent with its braces only when the operator says so.
void TestConsoleFigures::sendWithoutFigures_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("frames");
    QTest::newRow("Cancel") << "Cancel" << 0;
    QTest::newRow("Escape cancels") << "Escape" << 0;
    QTest::newRow("Send as typed: the braces, named in the journal")
        << "Send as typed" << UploadFrameCount;
}

void TestConsoleFigures::sendWithoutFigures() {
    QFETCH(QString, answer);
    QFETCH(int, frames);
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    const QString typed = QStringLiteral("pH {pH:>6.2f} {updated:%H:%M}");
    pages.setRow(Row, typed);
    QVERIFY(useBoards(boards, pages));
    writeFile(QStringLiteral("values.json"), R"({"pH": 7.125})");
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    m_window->findChild<QTabWidget *>()->setCurrentIndex(5);
    QTRY_VERIFY(child<BoardView>("Image1")->rows().value(2).text.startsWith(u"pH   7.12"));
    QVERIFY(QFile::remove(QStringLiteral("values.json")));
    BoxAnswerer answerer({answer});

    QVERIFY(pressed(cmdSend()));
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.constFirst().text.section(u'\n', 0, 0),
             QStringLiteral("Page 6, row 3 holds the field {pH:>6.2f}, but this folder has no "
                            "sources.conf or values.json to fill it from."));
    QCOMPARE(answerer.seen.constFirst().buttons.size(), 2);
    QTRY_COMPARE(boards.received().size(), frames);
    QCOMPARE(row(Row)->text(), typed);
    if (frames == 0) {
        QVERIFY(!QFileInfo::exists(journalIn(m_dir->path())));
        return;
    }
    QVERIFY(boards.received().at(RowFrame).bytes.contains("TSC" + typed.toLatin1() + '~'));
    const std::optional<JournalRecord> recorded = Journal(journalIn(m_dir->path())).lastUpload();
    QVERIFY(recorded);
    QCOMPARE(recorded->unavailable, QStringList({"pH", "updated"}));
    QCOMPARE(child<QLabel>("lblValues")->text(),
             QStringLiteral("Sent as typed, unfilled: pH, updated"));
}

// An analyser that takes the connection and never answers keeps SEND reading, until the window
// closes, Escape or a second SEND: nothing is sent.
void TestConsoleFigures::readingCancelled_data() {
    QTest::addColumn<int>("how"); // 0 the window closes, 1 Escape, 2 SEND again
    QTest::newRow("window closed") << 0;
    QTest::newRow("Escape") << 1;
    QTest::newRow("SEND again") << 2;
}

void TestConsoleFigures::readingCancelled() {
    QFETCH(int, how);
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    pages.setRow(Row, QStringLiteral("COD {cod:>5.0f}"));
    QVERIFY(useBoards(boards, pages));
    writeFile(QStringLiteral("sources.conf"),
              QStringLiteral("[cod]\nmodbus-tcp = 127.0.0.1:%1\nregister = 30001\n")
                  .arg(silent.serverPort())
                  .toLatin1());
    startConsole();
    QTest::mouseClick(cmdSend(), Qt::LeftButton);
    QTRY_VERIFY(silent.hasPendingConnections());
    QTcpSocket *const analyser = silent.nextPendingConnection();
    QVERIFY(!m_window->findChildren<FolderFigures *>().isEmpty());
    QCOMPARE(child<QLabel>("lblValues")->text(), QStringLiteral("Reading figures… Esc cancels"));
    QCOMPARE(QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                               : Qt::ArrowCursor,
             Qt::BusyCursor);
    if (how == 0)
        QVERIFY(m_window->close());
    else if (how == 1)
        QTest::keyClick(m_window.get(), Qt::Key_Escape);
    else
        QTest::mouseClick(cmdSend(), Qt::LeftButton);
    if (how != 0)
        QVERIFY2(child<QLabel>("lblValues")->text().startsWith(u"SEND cancelled"),
                 qPrintable(child<QLabel>("lblValues")->text()));
    // Closed, the window drops the reading; otherwise the live view still hears its answer (the
    // analyser's 2 s time-out), and that answer must not take SEND on.
    QTRY_VERIFY(analyser->state() == QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(m_window->findChildren<FolderFigures *>().isEmpty());
    QVERIFY(m_window->findChildren<Job *>().isEmpty());
    QVERIFY(boards.received().isEmpty());
    QVERIFY(!QGuiApplication::overrideCursor());
}

void TestConsoleFigures::sameFramesAsDisplaySend() {
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    pages.setRow(Row, QStringLiteral("COD(mg/l)    150    {cod:>6.0f}"));
    pages.setRow(Row + 1, QStringLiteral("pH {pH:.2f} {site}"));
    pages.setRow(Row + 2, QStringLiteral("Updated {updated}"));
    QVERIFY(useBoards(boards, pages));
    const QByteArray read = QByteArray::number(QDateTime::currentMSecsSinceEpoch() - 60000);
    writeFile(
        QStringLiteral("feed.json"),
        R"([{"deviceId": "s1", "params": [{"parameter": "cod", "value": 42.4, "timestamp": )" +
            read + R"(, "flag": "U"}]}])");
    writeFile(QStringLiteral("sources.conf"), "[cod]\njson = feed.json\nparameter = cod\n");
    writeFile(QStringLiteral("values.json"), R"({"pH": 7.12, "site": "Gate 2"})");
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    QVERIFY(pressed(cmdSend()));
    const QByteArray fromConsole = boards.allBytes();
    QVERIFY(fromConsole.contains("COD(mg/l)    150        42~pH 7.12 Gate 2\r"));

    boards.clear();
    const ProgramResult run =
        runProgram(QStringLiteral(DISPLAY_SEND_QUICK),
                   {QStringLiteral("--device"), boards.devicePath()}, m_dir->path());
    QCOMPARE(run.status, 0);
    QCOMPARE(boards.allBytes(), fromConsole);
}

QTEST_MAIN(TestConsoleFigures)
#include "tst_console_figures.moc"
