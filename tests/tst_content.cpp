#include "defaultpages.h"
#include "pageset.h"
#include "settings.h"
#include "signalwatcher.h"

#include <QSignalSpy>
#include <QTest>

class TestContent : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultRows_data();
    void defaultRows();
    void defaultLengths();
    void defaultEmptyRows();
    void rowIndex_data();
    void rowIndex();
    void pairs();
    void settings();
    void signalWatcherRestoresHandlers();
};

void TestContent::defaultRows_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");

    QTest::newRow("title of page 1") << 0 << 0 << "Hazardous chemicals - Quantity";
    QTest::newRow("column heads, 32 wide") << 0 << 1 << "CHEMICAL            QUANTITY(MT)";
    QTest::newRow("inner spaces kept") << 0 << 6 << "Caustic Flakes        123458.9";
    QTest::newRow("32 wide on page 2") << 1 << 9 << "Catergory/Limit:  5.1/1284 Litre";
    QTest::newRow("one trailing space") << 2 << 1 << "Empty Containers contaminated ";
    QTest::newRow("asbestos") << 3 << 8 << "Discarded Asbestos (MT/annum)";
    QTest::newRow("leading and trailing spaces") << 4 << 2 << " PARAMETER   LIMIT   RESULTS    ";
    QTest::newRow("colon inside") << 4 << 5 << "NOx(mg/Nm3):  100      45.1";
    QTest::newRow("title of page 6") << 5 << 0 << "EFFLUENT DISCHARGE MONITORING";
    QTest::newRow("no space before 5") << 5 << 11 << "Phosphate(mg/l)5      140";
    QTest::newRow("ampersand") << 5 << 14 << "Oil & Grease   -      140";
}

void TestContent::defaultRows() {
    QFETCH(int, page);
    QFETCH(int, row);
    QFETCH(QString, text);
    QCOMPARE(DefaultPages::pages().row(page, row), text);
}

void TestContent::defaultLengths() {
    const PageSet pages = DefaultPages::pages();
    QStringList exactly32;
    for (int i = 0; i < PageSet::RowCount; ++i) {
        QVERIFY2(pages.row(i).size() <= PageSet::MaxTypedLength, qPrintable(pages.row(i)));
        if (pages.row(i).size() == PageSet::MaxTypedLength && !exactly32.contains(pages.row(i)))
            exactly32 << pages.row(i);
    }
    QCOMPARE(exactly32,
             QStringList({"CHEMICAL            QUANTITY(MT)", "Catergory/Limit:  5.1/1284 Litre",
                          " PARAMETER   LIMIT   RESULTS    "}));
}

void TestContent::defaultEmptyRows() {
    const PageSet pages = DefaultPages::pages();
    const auto emptyRows = [&](int page) {
        QList<int> rows;
        for (int row = 0; row < PageSet::RowsPerPage; ++row) {
            if (pages.row(page, row).isEmpty())
                rows << row;
        }
        return rows;
    };
    QCOMPARE(emptyRows(0), QList<int>({7, 8, 9, 10, 11, 12, 13, 14, 15}));
    QCOMPARE(emptyRows(1), QList<int>({3, 7, 13, 14, 15}));
    QCOMPARE(emptyRows(2), QList<int>({7, 10, 14, 15}));
    QCOMPARE(emptyRows(3), QList<int>({7, 10, 14, 15}));
    QCOMPARE(emptyRows(4), QList<int>({1, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    QCOMPARE(emptyRows(5), QList<int>({1, 15}));

    // Installing overwrites every row, the empty ones included.
    PageSet edited;
    for (int i = 0; i < PageSet::RowCount; ++i)
        edited.setRow(i, QStringLiteral("x"));
    DefaultPages::install(edited);
    QCOMPARE(edited, pages);
}

void TestContent::rowIndex_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("index");
    QTest::newRow("first") << 0 << 0 << 0;
    QTest::newRow("page 2 row 5") << 2 << 5 << 37;
    QTest::newRow("last") << 5 << 15 << 95;
}

void TestContent::rowIndex() {
    QFETCH(int, page);
    QFETCH(int, row);
    QFETCH(int, index);
    PageSet pages;
    pages.setRow(page, row, QStringLiteral("here"));
    QCOMPARE(pages.row(index), QStringLiteral("here"));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, pages.row(PageSet::RowCount));
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, pages.setRow(-1, QString()));
}

void TestContent::pairs() {
    const PageSet pages = DefaultPages::pages();
    QCOMPARE(pages.pair(0, 0), std::pair(pages.row(0), pages.row(1)));
    QCOMPARE(pages.pair(5, 7), std::pair(pages.row(94), pages.row(95)));
    QCOMPARE(pages.pair(2, 4), std::pair(QStringLiteral("Oil soaked cotton (MT/annum)"),
                                         QStringLiteral("Catergory/Limit:  33.2/4.0 MT")));
}

void TestContent::settings() {
    const QStringList ports = Settings::portEntries();
    QCOMPARE(ports.size(), 250);
    QCOMPARE(ports.first(), QStringLiteral("COM 1"));
    QCOMPARE(ports.last(), QStringLiteral("COM 250"));
    const QStringList delays = Settings::delayEntries();
    QCOMPARE(delays.size(), 19);
    QCOMPARE(delays.first(), QStringLiteral("2"));
    QCOMPARE(delays.last(), QStringLiteral("20"));

    QCOMPARE(ports.at(Settings::DefaultPortPosition), QStringLiteral("COM 1"));
    QCOMPARE(delays.at(Settings::DefaultDelayPosition), QStringLiteral("5"));
    QCOMPARE(Settings::portNumberForPosition(-1), 0);
    QCOMPARE(Settings::delaySecondsForPosition(-1), 1);
    QCOMPARE(Settings::delaySecondsForPosition(18), 20);

    QCOMPARE(Settings::portPositionForNumber(0), std::optional(-1));
    QCOMPARE(Settings::portPositionForNumber(4), std::optional(3));
    QCOMPARE(Settings::portPositionForNumber(250), std::optional(249));
    QCOMPARE(Settings::portPositionForNumber(251), std::nullopt);
    QCOMPARE(Settings::portPositionForNumber(-1), std::nullopt);
}

// A signal reaches the loop; the handler there before (here: ignore) is back afterwards.
void TestContent::signalWatcherRestoresHandlers() {
    std::signal(SIGUSR1, SIG_IGN);
    {
        SignalWatcher watcher({SIGUSR1});
        QVERIFY(!SignalWatcher({SIGUSR2}).isWatching()); // one at a time
        QSignalSpy spy(&watcher, &SignalWatcher::signalled);
        std::raise(SIGUSR1);
        QVERIFY(spy.wait(2000) && spy.first().first().toInt() == SIGUSR1);
    }
    QVERIFY(std::signal(SIGUSR1, SIG_DFL) == SIG_IGN);
}

QTEST_GUILESS_MAIN(TestContent)
#include "tst_content.moc"
