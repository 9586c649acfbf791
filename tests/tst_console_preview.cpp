#include "boardview.h"
#include "consolerig.h"
#include "livepreview.h"
#include "previewwindow.h"
#include "rowfill.h"

#include <QHelpEvent>
#include <QLabel>
#include <QSignalSpy>
#include <QTableWidget>

namespace {

// Thursday, 7 March 2024, 09:05:03, on this machine's clock.
const QDateTime ReadAt(QDate(2024, 3, 7), QTime(9, 5, 3));

// figures.json as given; nothing given when empty.
FieldValues figures(const QByteArray &json) {
    FieldValues values;
    if (!json.isEmpty())
        values.readJson(json, QStringLiteral("figures.json"));
    return values;
}

// "text|states", one letter a character: L lit, U unavailable, E error.
QString drawn(const RowSketch &row) {
    QString states;
    for (const CellState state : row.cells)
        states += state == CellState::Lit ? u'L' : state == CellState::Unavailable ? u'U' : u'E';
    return row.text + u'|' + states;
}

} // namespace

// What the console shows of the boards before an upload: the live view in the framed picture,
// the rows' tooltips, the preview window, and the reads of the figures behind them.
class TestConsolePreview : public QObject, private ConsoleFixture {
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpConsole(); }
    void cleanup() { tearDownConsole(); }

    void liveViewDrawsPageShown_data();
    void liveViewDrawsPageShown();
    void rowTooltips_data();
    void rowTooltips();
    void previewListsFigures_data();
    void previewListsFigures();
    void figureReadsNeverOverlap();

private:
    BoardView *liveView() const { return child<BoardView>("Image1"); }
    void showOnRow(int index, const QString &typed) {
        child<QTabWidget>("SSTab")->setCurrentIndex(index / PageSet::RowsPerPage);
        row(index)->placeText({});
        QTest::keyClicks(row(index), typed);
    }
};

void TestConsolePreview::liveViewDrawsPageShown_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("otherPageRow"); // page 6, row 1
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no figures: template as typed") << QByteArray() << QString() << 0 << "SO2 {so2}"
                                                   << "SO2 {so2}|LLLLLLLLL";
    QTest::newRow("figure filled")
        << QByteArray(R"({"so2": 12.34})") << QString() << 0 << "SO2 {so2:.1f}"
        << "SO2 12.3|LLLLLLLL";
    QTest::newRow("null figure in the warning colour")
        << QByteArray(R"({"so2": null})") << QString() << 0 << "SO2{so2:>5.1f}"
        << "SO2   --|LLLUUUUU";
    QTest::newRow("unknown name in the error colour")
        << QByteArray(R"({"so2": 1})") << QString() << 0 << "{nox}"
        << "{nox}|EEEEE";
    QTest::newRow("second tab followed")
        << QByteArray(R"({"so2": 1})") << QString() << 17 << "P2 {so2:.0f}"
        << "P2 1|LLLL";
    QTest::newRow("figure refused on another page shows missing here")
        << QByteArray(R"({"so2": 7.25})") << QStringLiteral("{so2:d}") << 0 << "A{so2:.1f}"
        << "A--|LUU";
}

void TestConsolePreview::liveViewDrawsPageShown() {
    QFETCH(QByteArray, json);
    QFETCH(QString, otherPageRow);
    QFETCH(int, index);
    QFETCH(QString, typed);
    startConsole();
    row(80)->placeText(otherPageRow);
    if (!json.isEmpty())
        m_window->setFigures(figures(json), ReadAt);
    showOnRow(index, typed);
    const QList<RowSketch> rows = liveView()->rows();
    QCOMPARE(rows.size(), PageSet::RowsPerPage);
    QTEST(drawn(rows.at(index % PageSet::RowsPerPage)), "expected");
}

void TestConsolePreview::rowTooltips_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("filled text") << QByteArray(R"({"so2": 12.34})") << "SO2 {so2:.1f} ug"
                                 << "SO2 12.3 ug";
    QTest::newRow("reason it cannot be filled") << QByteArray(R"({"so2": 1})") << "{nox}"
                                                << R"(Cannot be filled: no value named "nox")";
    QTest::newRow("plain row keeps none") << QByteArray(R"({"so2": 1})") << "SO2"
                                          << "";
    QTest::newRow("no figures given: none") << QByteArray() << "{so2}"
                                            << "";
}

void TestConsolePreview::rowTooltips() {
    QFETCH(QByteArray, json);
    QFETCH(QString, typed);
    startConsole();
    m_window->setFigures(figures(json), ReadAt);
    showOnRow(3, typed);
    QHelpEvent asked(QEvent::ToolTip, QPoint(2, 2), row(3)->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(row(3), &asked);
    QTEST(row(3)->toolTip(), "toolTip");
}

void TestConsolePreview::previewListsFigures_data() {
    QTest::addColumn<bool>("byKeys");
    QTest::newRow("click on the picture") << false;
    QTest::newRow("Ctrl+P") << true;
}

void TestConsolePreview::previewListsFigures() {
    QFETCH(bool, byKeys);
    startConsole();
    FieldValues values = figures(R"({"so2": 12.5, "nox": null})");
    values.set(QStringLiteral("site=Gate 3"));
    Reading co;
    co.name = QStringLiteral("co");
    co.source = QStringLiteral("modbus-tcp 10.0.0.5:502");
    co.problem = QStringLiteral("no answer");
    values.addReadings({co});
    row(0)->placeText(QStringLiteral("SO2 {so2:d}"));
    m_window->setFigures(values, ReadAt);
    if (byKeys)
        QTest::keySequence(m_window.get(), LivePreview::PreviewKeys);
    else
        QTest::mouseClick(liveView(), Qt::LeftButton);
    auto *preview = m_window->findChild<PreviewWindow *>(QStringLiteral("frmPreview"));
    QVERIFY(preview);
    QVERIFY(preview->isVisible());
    QVERIFY(!liveView()->hasFocus());

    auto *table = preview->findChild<QTableWidget *>(QStringLiteral("tblFigures"));
    QStringList lines;
    for (int line = 0; line < table->rowCount(); ++line) {
        QStringList cells;
        for (const int column : {0, 1, 2, 4, 5})
            cells << table->item(line, column)->text().section(QLatin1Char(':'), 0, 0);
        lines << cells.join(u'|');
    }
    const QStringList expected{
        "co|-|failed|modbus-tcp 10.0.0.5|no answer",
        "nox|-|failed|values figures.json|null in figures.json",
        "site|Gate 3|ok|set|",
        "so2|12.5|failed|values figures.json|{so2",
        "updated|-|failed|the oldest reading in use|no source gave a current reading",
    };
    QCOMPARE(lines, expected);
    QCOMPARE(preview->findChild<QLabel *>(QStringLiteral("lblReadAt"))->text(),
             QStringLiteral("Figures read at 2024-03-07 09:05:03"));
    QCOMPARE(drawn(preview->findChild<BoardView *>(QStringLiteral("pagePreview0"))->rows().at(0)),
             QStringLiteral("SO2 --|LLLLUU"));
}

// Reads are asked for once the window has shown and every minute while the preview is open,
// never while one is under way.
void TestConsolePreview::figureReadsNeverOverlap() {
    m_window = std::make_unique<DisplayWindow>(m_setup);
    QSignalSpy asked(m_window.get(), &DisplayWindow::requestFigures);
    QCOMPARE(asked.count(), 0);
    m_window->show();
    QTRY_COMPARE(asked.count(), 1);
    QVERIFY(!m_window->readFigures());

    auto *timer = child<QTimer>("tmrFigures");
    QVERIFY(!timer->isActive());
    QTest::keySequence(m_window.get(), LivePreview::PreviewKeys);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->intervalAsDuration(), LivePreview::ReadInterval);
    timer->setInterval(5);
    QTest::qWait(50);
    QCOMPARE(asked.count(), 1); // the first read is still under way

    m_window->setFigures({}, ReadAt);
    QTRY_COMPARE(asked.count(), 2);
    QVERIFY(!m_window->readFigures());
    m_window->findChild<PreviewWindow *>()->close();
    QTRY_VERIFY(!timer->isActive());
    m_window->setFigures({}, ReadAt);
    QTest::qWait(50);
    QCOMPARE(asked.count(), 2);
    QVERIFY(m_window->readFigures());
    QCOMPARE(asked.count(), 3);
}

QTEST_MAIN(TestConsolePreview)
#include "tst_console_preview.moc"
