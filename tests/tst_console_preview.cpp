#include "boardview.h"
#include "consolerig.h"
#include "livepreview.h"
#include "previewwindow.h"
#include "rowdrawn.h"
#include "rowfill.h"

#include <QHelpEvent>
#include <QLabel>
#include <QTableWidget>

#include <cstdio>

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
    void followsFigures_data();
    void followsFigures();

private:
    BoardView *liveView() const { return child<BoardView>("Image1"); }
    // The console up, its first read of the folder answered.
    void start() {
        startConsole();
        QTRY_VERIFY(child<QLabel>("lblFigures")->text() != FigureRead().said());
    }
    // Figures as a read of the folder found them: nothing given for an empty json, a read that
    // failed for one beginning with '!'.
    void setFigures(const QByteArray &json) {
        FigureRead read{FigureRead::Status::Read, {}, {}, ReadAt};
        if (json.isEmpty())
            read = {FigureRead::Status::NoFigures, {}, {}, ReadAt};
        else if (json.startsWith('!'))
            read = {FigureRead::Status::Failed, {}, QString::fromLatin1(json.mid(1)), ReadAt};
        else
            read.values = figures(json);
        m_window->findChild<LivePreview *>()->setFigures(read);
    }
    // Replaces values.json as an export does: written beside it, then renamed over it; "-"
    // removes it.
    void replaceValues(const QByteArray &json) const {
        const QString path = QDir(m_dir->path()).filePath(QStringLiteral("values.json"));
        if (json == "-") {
            QFile::remove(path);
            return;
        }
        QFile file(path + QStringLiteral(".new"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        QCOMPARE(std::rename(qPrintable(file.fileName()), qPrintable(path)), 0);
    }
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
    QTest::newRow("no figures: the field as typed, unavailable")
        << QByteArray() << QString() << 0 << "SO2 {so2} {{x}}"
        << "SO2 {so2} {{x}}|LLLLUUUUULLLLLL";
    QTest::newRow("figures that cannot be read: every field in error")
        << QByteArray("!values.json: not JSON") << QString() << 0 << "A{so2}B{x:>3}"
        << "A{so2}B{x:>3}|LEEEEELEEEEEE";
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
    start();
    row(80)->placeText(otherPageRow);
    setFigures(json);
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
    QTest::newRow("no figures in the folder: why not filled")
        << QByteArray() << "{so2}"
        << "Not filled: this folder has no sources.conf or values.json to fill it from; SEND "
           "asks before it sends the braces";
    QTest::newRow("figures that cannot be read: why")
        << QByteArray("!values.json: not JSON") << "{so2}"
        << "Cannot be filled: values.json: not JSON";
    QTest::newRow("a row longer than the boards' rows: its length")
        << QByteArray(R"({"so2": 1})") << QString(40, u'x')
        << "40 characters: the boards get them all, the pictures show the first 32";
}

void TestConsolePreview::rowTooltips() {
    QFETCH(QByteArray, json);
    QFETCH(QString, typed);
    start();
    setFigures(json);
    row(3)->placeText(typed);
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
    start();
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

// The picture follows the folder's figures while the window is up: a values.json rewritten by
// a rename, one that appears later, one that cannot be read; every read is answered.
void TestConsolePreview::followsFigures_data() {
    QTest::addColumn<QByteArray>("before"); // values.json at start; "-": none
    QTest::addColumn<QByteArray>("after");  // values.json once the console is up; "-": removed
    QTest::addColumn<QString>("drawn");     // row 1 as the picture then draws it
    QTest::addColumn<QString>("said");      // lblFigures then begins so

    QTest::newRow("rewritten by a rename")
        << QByteArray(R"({"pH": 7.125})") << QByteArray(R"({"pH": 9.5})") << "pH 9.50|LLLLLLL"
        << "Figures read at ";
    QTest::newRow("appears later")
        << QByteArray("-") << QByteArray(R"({"pH": 9.5})") << "pH 9.50|LLLLLLL"
        << "Figures read at ";
    QTest::newRow("cannot be read")
        << QByteArray(R"({"pH": 7.125})") << QByteArray("{not json") << "pH {pH:.2f}|LLLEEEEEEEE"
        << "Figures cannot be read ";
    QTest::newRow("moved away") << QByteArray(R"({"pH": 7.125})") << QByteArray("-")
                                << "pH {pH:.2f}|LLLUUUUUUUU"
                                << "No figures at ";
}

void TestConsolePreview::followsFigures() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    PageSet pages = DefaultPages::pages();
    pages.setRow(0, QStringLiteral("pH {pH:.2f}"));
    m_dir->writeConfig(fullConfig(1, pages));
    replaceValues(before);
    start();
    const QString first = drawn(liveView()->rows().at(0));
    replaceValues(after);
    QTRY_VERIFY(drawn(liveView()->rows().at(0)) != first);
    QTEST(drawn(liveView()->rows().at(0)), "drawn");
    QFETCH(QString, said);
    QVERIFY2(child<QLabel>("lblFigures")->text().startsWith(said),
             qPrintable(child<QLabel>("lblFigures")->text()));
}

QTEST_MAIN(TestConsolePreview)
#include "tst_console_preview.moc"
