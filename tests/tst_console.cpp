#include "boardlink.h"
#include "boards.h"
#include "consolerig.h"
#include "defaultpages.h"
#include "displaywindow.h"
#include "frameexchange.h"
#include "jobrunner.h"
#include "layout.h"
#include "programrun.h"
#include "rowbox.h"
#include "testfiles.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <algorithm>

namespace {

// Types as a keyboard does; characters beyond ASCII come as key events carrying their text.
void type(QWidget *widget, const QString &text) {
    for (QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(widget, c.toLatin1());
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

} // namespace

// The operator's console, driven as the operator drives it: keys, clipboard and clicks on the
// window, display.cfg in the working directory, and fake boards on a pseudo-terminal.
class TestConsole : public QObject, private ConsoleFixture {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void startUp_data();
    void startUp();
    void startWithoutConfigShowsDefaults();
    void rowOf32CharactersShowsWhole();
    void focusOrder();

    void rowEditing_data();
    void rowEditing();
    void longRowFromFileSavedWhole();

    void typingOverListLeavesNoSelection_data();
    void typingOverListLeavesNoSelection();
    void sendWithNoPortSelected();
    void closedWithBoxShown_data();
    void closedWithBoxShown();
    void portZeroThenSend();

    void closeWritesConfig();
    void failedSaveAtStartAndClose();
    void retryAfterFailedSave();

    void hiddenButtonsCarryTestAndMonitor();
    void receiveLineShowsControlCharactersAndElides();
    void secondUploadStartsFreshBar();
    void wholeUploadFromSend();
    void closeDuringUploadStopsIt();
    void closeDuringUploadKeptOpen();

    void selectionReplacedInLongRow_data();
    void selectionReplacedInLongRow();
    void placedTextKeepsFilter_data();
    void placedTextKeepsFilter();
    void rowFontFixedPitch_data();
    void rowFontFixedPitch();

    void accessibleNames_data();
    void accessibleNames();
    void portMapFromFiles();
    void unexpectedArguments_data();
    void unexpectedArguments();
};

void TestConsole::init() {
    setUpConsole();
}

void TestConsole::cleanup() {
    tearDownConsole();
}

// ---- start-up ----------------------------------------------------------------------------------

void TestConsole::startUp_data() {
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("portPosition");     // what the port list shows selected
    QTest::addColumn<int>("rowsFromFile");     // rows 0..n-1 read, the others the defaults
    QTest::addColumn<QByteArray>("fileAfter"); // empty: as before the start
    QTest::addColumn<bool>("kept");            // the old file kept beside it, and said so

    const PageSet numbered = numberedPages();
    QList<QByteArray> tenRows;
    PageSet tenRead = DefaultPages::pages();
    for (int index = 0; index < 10; ++index) {
        tenRows << "row " + QByteArray::number(index);
        tenRead.setRow(index, numbered.row(index));
    }

    QTest::newRow("no display.cfg")
        << false << QByteArray() << 0 << 0 << fullConfig(1, DefaultPages::pages()) << false;
    QTest::newRow("port 4") << true << fullConfig(4, numbered) + "extra after the rows\r\n"
                            << 3 << 96 << QByteArray() << false;
    QTest::newRow("port line and 10 rows")
        << true << configLines("7", tenRows) << 0 << 10 << fullConfig(7, tenRead) << true;
    QTest::newRow("port 0") << true << fullConfig(0, numbered) << -1 << 96 << QByteArray() << false;
    QTest::newRow("port 250") << true << fullConfig(250, numbered) << 249 << 96 << QByteArray()
                              << false;
    QTest::newRow("port 300") << true << fullConfig(300, numbered) << 0 << 96
                              << fullConfig(300, numbered) << false;
    QTest::newRow("port 300, LF line ends")
        << true << fullConfig(300, numbered).replace("\r\n", "\n") << 0 << 96
        << fullConfig(300, numbered) << true;
    QTest::newRow("port -1") << true << fullConfig(-1, numbered) << 0 << 96
                             << fullConfig(-1, numbered) << false;
    QTest::newRow("port line not a number") << true << configLines("COM3", {}) << 0 << 0
                                            << fullConfig(1, DefaultPages::pages()) << true;
    QTest::newRow("empty file") << true << QByteArray() << 0 << 0
                                << fullConfig(1, DefaultPages::pages()) << true;
    QTest::newRow("byte-order mark, port +4")
        << true << "\xef\xbb\xbf" + fullConfig(4, numbered).replace("4\r\n", "+4\r\n") << 3 << 96
        << QByteArray() << false;
    QTest::newRow("CR CR LF line ends") << true << fullConfig(4, numbered).replace("\r\n", "\r\r\n")
                                        << 3 << 96 << QByteArray() << false;
}

void TestConsole::startUp() {
    QFETCH(bool, fileExists);
    QFETCH(QByteArray, file);
    QFETCH(int, portPosition);
    QFETCH(int, rowsFromFile);
    QFETCH(QByteArray, fileAfter);
    QFETCH(bool, kept);

    if (fileExists)
        m_dir->writeConfig(file);
    const QDir folder(m_dir->path());
    const QStringList copies{QStringLiteral("display.cfg.damaged-*")};
    BoxAnswerer answerer;
    startConsole();
    QTRY_COMPARE(answerer.seen.size(), kept ? 1 : 0);
    QCOMPARE(folder.entryList(copies).size(), kept ? 1 : 0);
    if (kept) {
        const QString copy = folder.entryList(copies).constFirst();
        QVERIFY2(answerer.seen.constFirst().text.contains(copy),
                 qPrintable(answerer.seen.constFirst().text));
        QCOMPARE(fileBytes(folder.filePath(copy)), file);
    }

    auto *cmbComm = child<QComboBox>("cmbComm");
    QCOMPARE(cmbComm->currentIndex(), portPosition);
    QCOMPARE(cmbComm->currentText(),
             portPosition < 0 ? QString() : QStringLiteral("COM %1").arg(portPosition + 1));
    QCOMPARE(child<QComboBox>("cmbDelay")->currentText(), QStringLiteral("5"));

    const PageSet numbered = numberedPages();
    const PageSet defaults = DefaultPages::pages();
    for (int index = 0; index < PageSet::RowCount; ++index) {
        const QString expected = index < rowsFromFile ? numbered.row(index) : defaults.row(index);
        QCOMPARE(row(index)->text(), expected);
    }
    const QByteArray after = fileAfter.isEmpty() ? file : fileAfter;
    QCOMPARE(m_dir->readConfig(), after);

    // A second start finds the file the first one left: nothing more is kept, written or said.
    startConsole();
    QCoreApplication::sendPostedEvents(); // the start-up's own work, where a box would come up
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(answerer.seen.size(), kept ? 1 : 0);
    QCOMPARE(folder.entryList(copies).size(), kept ? 1 : 0);
    QCOMPARE(m_dir->readConfig(), after);
}

void TestConsole::startWithoutConfigShowsDefaults() {
    startConsole();

    auto *tabs = child<QTabWidget>("SSTab");
    QCOMPARE(tabs->count(), 6);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Page 1"));
    QCOMPARE(tabs->currentIndex(), 0);
    QVERIFY(row(0)->isVisible());
    QCOMPARE(row(0)->text(), QStringLiteral("Hazardous chemicals - Quantity"));
    QVERIFY(!row(16)->isVisible());

    for (int address = 0; address < BoardAddress::Count; ++address) {
        auto *light = child<QWidget>(qPrintable(QStringLiteral("shpStatus%1").arg(address)));
        QCOMPARE(shownColour(light), QColor(0, 255, 255));
    }
    auto *lblRx = child<QLabel>("lblRx");
    QCOMPARE(lblRx->text(), QString());
    QCOMPARE(shownColour(lblRx), QColor(224, 224, 224));

    auto *cmdSend = child<QPushButton>("cmdSend");
    QVERIFY(cmdSend->isVisible());
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(!child<QPushButton>("cmdTest")->isVisible());
    QVERIFY(!child<QPushButton>("cmdRecOnly")->isVisible());
    QCOMPARE(child<QLabel>("Label5")->text(), QStringLiteral("Version 1.0") +
                                                  QString(36, QLatin1Char(' ')) +
                                                  QStringLiteral("14/09/2021"));
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(m_dir->hasConfig());
}

void TestConsole::rowOf32CharactersShowsWhole() {
    startConsole();
    // Row 1 of page 1 is 32 characters long.
    RowBox *box = row(1);
    QCOMPARE(box->text().size(), 32);
    QVERIFY(QFontInfo(box->font()).fixedPitch());
    QVERIFY(QFontInfo(box->font()).bold());

    const QMargins text = box->textMargins();
    // QLineEdit keeps 2 pixels of its own on either side inside the frame.
    const int room = box->contentsRect().width() - text.left() - text.right() - 2 * 2 -
                     2 * box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int widest = QFontMetrics(box->font()).horizontalAdvance(QString(32, QLatin1Char('W')));
    QVERIFY2(widest <= room, qPrintable(QStringLiteral("%1 > %2").arg(widest).arg(room)));

    // The progress message fits its label on one line.
    ProgressWindow progress;
    auto *lblMsg = progress.findChild<QLabel *>(QStringLiteral("lblMsg"));
    QVERIFY(lblMsg);
    QVERIFY(QFontInfo(lblMsg->font()).bold());
    QVERIFY(QFontMetrics(lblMsg->font()).horizontalAdvance(QStringLiteral("Processing ....")) <=
            lblMsg->contentsRect().width());
}

void TestConsole::focusOrder() {
    startConsole();
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QTRY_COMPARE(QApplication::focusWidget(), child<QTabWidget>("SSTab")->tabBar());

    QStringList expected = {QStringLiteral("cmbComm"), QStringLiteral("cmbDelay")};
    for (int index = 0; index < 16; ++index)
        expected << rowName(index); // only the rows of the page shown
    expected << QStringLiteral("cmdSend") << QStringLiteral("SSTab");

    QStringList visited;
    for (int step = 0; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        // The lists' text fields and the tab strip belong to the named control.
        while (focus && focus->objectName().isEmpty())
            focus = focus->parentWidget();
        visited << (focus ? focus->objectName() : QString());
    }
    QCOMPARE(visited, expected);
}

// ---- row boxes ---------------------------------------------------------------------------------

void TestConsole::rowEditing_data() {
    QTest::addColumn<QByteArray>("fromFile"); // row 0 as display.cfg holds it
    QTest::addColumn<int>("backspaces");      // pressed first, at the end of the text
    QTest::addColumn<QString>("typed");       // then typed
    QTest::addColumn<QString>("pasted");      // then pasted
    QTest::addColumn<QString>("shown");

    const QByteArray thirtyTwo(32, 'a');
    const QByteArray forty = QByteArray(40, 'b');
    QTest::newRow("33rd character typed") << thirtyTwo << 0 << "X"
                                          << "" << QString(thirtyTwo);
    QTest::newRow("typing stops at 32") << QByteArray(30, 'a') << 0 << "XYZ"
                                        << "" << QString(30, QLatin1Char('a')) + "XY";
    QTest::newRow("paste cut to what fits") << QByteArray(28, 'a') << 0 << ""
                                            << "ABCDEFGH" << QString(28, QLatin1Char('a')) + "ABCD";
    QTest::newRow("paste into a full row") << thirtyTwo << 0 << ""
                                           << "ABC" << QString(thirtyTwo);
    QTest::newRow("quote and tilde refused when typed") << QByteArray() << 0 << "a\"b~c"
                                                        << ""
                                                        << "abc";
    QTest::newRow("control and non-Latin-1 characters refused in a paste")
        << QByteArray() << 0 << ""
        << "x\ty\u20ACz\r\n\"~"
        << "xyz";
    QTest::newRow("Latin-1 letters typed") << QByteArray() << 0 << "\u00e9\u00b0C"
                                           << ""
                                           << "\u00e9\u00b0C";
    QTest::newRow("40 characters from the file, typing refused") << forty << 0 << "X"
                                                                 << "Y" << QString(forty);
    QTest::newRow("40 characters from the file, shortened") << forty << 5 << "X"
                                                            << "" << QString(35, QLatin1Char('b'));
    QTest::newRow("40 characters shortened below 32, typing again")
        << forty << 9 << "XYZ"
        << "" << QString(31, QLatin1Char('b')) + "X";
    QTest::newRow("tab from the file kept while typing") << QByteArray("a\tb") << 0 << "!"
                                                         << ""
                                                         << "a\tb!";
    QTest::newRow("tilde from the file kept while pasting") << QByteArray("a~b") << 0 << ""
                                                            << "c~d"
                                                            << "a~bcd";
}

void TestConsole::rowEditing() {
    QFETCH(QByteArray, fromFile);
    QFETCH(int, backspaces);
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, shown);

    PageSet pages = DefaultPages::pages();
    pages.setRow(0, QString::fromLatin1(fromFile));
    m_dir->writeConfig(fullConfig(1, pages));
    startConsole();

    RowBox *box = row(0);
    QCOMPARE(box->text(), QString::fromLatin1(fromFile));
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_End);
    for (int press = 0; press < backspaces; ++press)
        QTest::keyClick(box, Qt::Key_Backspace);
    type(box, typed);
    if (!pasted.isEmpty()) {
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }
    QCOMPARE(box->text(), shown);
}

void TestConsole::longRowFromFileSavedWhole() {
    const QString forty = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCD");
    PageSet pages = numberedPages();
    pages.setRow(37, forty);
    m_dir->writeConfig(fullConfig(2, pages));
    startConsole();

    QCOMPARE(row(37)->text(), forty);
    QTest::keyClick(row(37), Qt::Key_End);
    QTest::keyClicks(row(37), QStringLiteral("more"));
    QVERIFY(m_window->close());
    QCOMPARE(m_dir->readConfig(), fullConfig(2, pages));
}

// ---- lists -------------------------------------------------------------------------------------

void TestConsole::typingOverListLeavesNoSelection_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("chosen"); // from the drop-down afterwards
    QTest::addColumn<QString>("chosenText");

    QTest::newRow("port list, text of an entry") << "cmbComm"
                                                 << "COM 4" << 2 << "COM 3";
    QTest::newRow("port list, no such entry") << "cmbComm"
                                              << "COM 999" << 0 << "COM 1";
    QTest::newRow("delay list, text of the selected entry") << "cmbDelay"
                                                            << "5" << 3 << "5";
    QTest::newRow("delay list, other entry") << "cmbDelay"
                                             << "12" << 18 << "20";
}

void TestConsole::typingOverListLeavesNoSelection() {
    QFETCH(QString, list);
    QFETCH(QString, typed);
    QFETCH(int, chosen);
    QFETCH(QString, chosenText);

    startConsole();
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *combo = m_window->findChild<QComboBox *>(list);
    QVERIFY(combo);
    const int entries = combo->count();
    QLineEdit *field = combo->lineEdit();

    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, typed);
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->currentText(), typed);

    // Enter neither adds nor selects an entry.
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->count(), entries);
    QCOMPARE(combo->currentText(), typed);

    // Nor does leaving the field.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(!field->hasFocus());
    QCOMPARE(combo->currentIndex(), -1);
    QCOMPARE(combo->currentText(), typed);

    // Choosing from the drop-down selects again.
    combo->showPopup();
    QAbstractItemView *view = combo->view();
    QTRY_VERIFY(view->isVisible());
    const QModelIndex entry = view->model()->index(chosen, 0);
    view->scrollTo(entry);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(entry).center());
    QTRY_VERIFY(!view->isVisible());
    QCOMPARE(combo->currentIndex(), chosen);
    QCOMPARE(combo->currentText(), chosenText);
}

void TestConsole::sendWithNoPortSelected() {
    m_dir->writeConfig(fullConfig(5, DefaultPages::pages()));
    startConsole();
    auto *field = child<QComboBox>("cmbComm")->lineEdit();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, QStringLiteral("COM 2"));

    BoxAnswerer answerer;
    QVERIFY(pressed(child<QPushButton>("cmdSend")));
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.front().title, QStringLiteral("Communication Port Error"));

    // The upload took the list's -1 as port 0, and the close keeps that.
    QVERIFY(m_window->close());
    QVERIFY(m_dir->readConfig().startsWith("0\r\n"));
}

// Closing the window while a box is up takes the box with it, and no box waiting behind it
// comes up: nothing is left to keep the program running behind no window.
void TestConsole::closedWithBoxShown_data() {
    QTest::addColumn<bool>("atStartUp");
    QTest::newRow("port error after SEND") << false;
    QTest::newRow("damaged display.cfg, port map lines waiting") << true;
}

void TestConsole::closedWithBoxShown() {
    QFETCH(bool, atStartUp);
    m_dir->writeConfig(atStartUp ? QByteArray("COM3\r\n") : fullConfig(0, DefaultPages::pages()));
    if (atStartUp)
        m_setup.portMapProblems << QStringLiteral("ports.conf, line 1: unknown scheme");
    QStringList shownAfterClose;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
        QWidget *box = QApplication::activeModalWidget();
        if (box && m_window->isVisible())
            m_window->close();
        else if (box) {
            shownAfterClose << box->windowTitle();
            box->close();
        }
    });
    closer.start(10);
    m_window = std::make_unique<DisplayWindow>(m_setup);
    m_window->show();
    if (!atStartUp)
        QTest::mouseClick(child<QPushButton>("cmdSend"), Qt::LeftButton);
    QTRY_VERIFY(!m_window->isVisible());
    // What the closed box set going has run: no box waiting behind it came up.
    QCoreApplication::sendPostedEvents();
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(shownAfterClose, QStringList());
    QTRY_VERIFY(m_window->findChildren<QMessageBox *>().isEmpty());
}

void TestConsole::portZeroThenSend() {
    m_dir->writeConfig(fullConfig(0, DefaultPages::pages()));
    startConsole();
    QCOMPARE(child<QComboBox>("cmbComm")->currentIndex(), -1);

    BoxAnswerer answerer;
    auto *cmdSend = child<QPushButton>("cmdSend");
    QVERIFY(pressed(cmdSend));

    QCOMPARE(answerer.seen.size(), 1);
    const SeenBox &box = answerer.seen.front();
    QCOMPARE(box.title, QStringLiteral("Communication Port Error"));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttons, QStringList{QStringLiteral("OK")});
    QVERIFY2(box.text.contains(QLatin1String("no port selected")), qPrintable(box.text));

    // The console goes on: nothing shown, SEND still there, rows still editable.
    QVERIFY(m_window->isVisible());
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(!m_window->findChild<BoardLink *>(QStringLiteral("cm"))->isOpen());
    QTest::keyClick(row(2), Qt::Key_End);
    QTest::keyClicks(row(2), QStringLiteral("!"));
    QCOMPARE(row(2)->text(), DefaultPages::text(0, 2) + QLatin1Char('!'));
    QVERIFY(pressed(cmdSend));
    QCOMPARE(answerer.seen.size(), 2);
}

// ---- close -------------------------------------------------------------------------------------

void TestConsole::closeWritesConfig() {
    const PageSet numbered = numberedPages();
    m_dir->writeConfig(fullConfig(4, numbered));
    startConsole();

    // An edit, and another port chosen without an upload: the close keeps port 4.
    QTest::keyClick(row(95), Qt::Key_End);
    QTest::keyClicks(row(95), QStringLiteral(" edited"));
    child<QComboBox>("cmbComm")->setCurrentIndex(2);
    QFile::remove(m_dir->configPath());

    QVERIFY(m_window->close());
    PageSet expected = numbered;
    expected.setRow(95, QStringLiteral("row 95 edited"));
    QCOMPARE(m_dir->readConfig(), fullConfig(4, expected));
}

void TestConsole::failedSaveAtStartAndClose() {
    // A directory where display.cfg belongs: it can be neither read nor replaced.
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("display.cfg")));

    BoxAnswerer answerer({QStringLiteral("OK"), QStringLiteral("Cancel"), QStringLiteral("Retry"),
                          QStringLiteral("Close without saving")});
    startConsole();
    // The window opens all the same and then says that the file could not be written.
    QTRY_COMPARE(answerer.seen.size(), 1);
    QVERIFY2(answerer.seen.at(0).text.contains(m_dir->configPath()),
             qPrintable(answerer.seen.at(0).text));

    // Cancel keeps the window open.
    QVERIFY(!m_window->close());
    QTRY_COMPARE(answerer.seen.size(), 2);
    QVERIFY(m_window->isVisible());
    const SeenBox &atClose = answerer.seen.at(1);
    QVERIFY2(atClose.text.contains(m_dir->configPath()), qPrintable(atClose.text));
    QVERIFY(atClose.buttons.contains(QStringLiteral("Retry")));
    QVERIFY(atClose.buttons.contains(QStringLiteral("Close without saving")));
    QVERIFY(atClose.buttons.contains(QStringLiteral("Cancel")));

    // Retry fails again and asks again; closing without saving then closes.
    QVERIFY(!m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(answerer.seen.size(), 4);
}

void TestConsole::retryAfterFailedSave() {
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("display.cfg")));
    BoxAnswerer answerer({QStringLiteral("OK"), QStringLiteral("Retry")});
    startConsole();
    QTRY_COMPARE(answerer.seen.size(), 1);

    // The operator clears the way, then retries.
    answerer.beforeAnswer = [this](const SeenBox &) {
        QDir(m_dir->path()).rmdir(QStringLiteral("display.cfg"));
    };
    QVERIFY(!m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(answerer.seen.size(), 2);
    QCOMPARE(m_dir->readConfig(), fullConfig(1, DefaultPages::pages()));
}

// ---- the jobs ----------------------------------------------------------------------------------

void TestConsole::hiddenButtonsCarryTestAndMonitor() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    boards.bank().setBehaviour(0, BoardBehaviour::Silent);
    boards.bank().setBehaviour(5, BoardBehaviour::Wrong);
    startConsole();
    tmrTout()->setInterval(250);

    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    const QList<QColor> expected = {Qt::red, Qt::green, Qt::green, Qt::green, Qt::green,
                                    Qt::red, Qt::green, Qt::green, Qt::green};
    for (int address = 0; address < BoardAddress::Count; ++address) {
        auto *light = child<QWidget>(qPrintable(QStringLiteral("shpStatus%1").arg(address)));
        QCOMPARE(shownColour(light), expected.at(address));
    }

    auto *cmdRecOnly = child<QPushButton>("cmdRecOnly");
    auto *cm = m_window->findChild<BoardLink *>(QStringLiteral("cm"));
    cmdRecOnly->click();
    QCOMPARE(cmdRecOnly->text(), QStringLiteral("Stop"));
    QVERIFY(cm->isOpen());
    cmdRecOnly->click();
    QCOMPARE(cmdRecOnly->text(), QStringLiteral("Rec Only"));
    QVERIFY(!cm->isOpen());
}

void TestConsole::receiveLineShowsControlCharactersAndElides() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    boards.setReplyTail(QByteArray(" OK\r\n\x01", 6) + QByteArray(300, 'x'));
    startConsole();
    tmrTout()->setInterval(250);

    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    auto *lblRx = child<QLabel>("lblRx");
    const QString shown = lblRx->text();
    QVERIFY2(shown.startsWith(QStringLiteral("8 OK\u240D\u240A\u27E801\u27E9x")),
             qPrintable(shown));
    QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
    QVERIFY(lblRx->fontMetrics().horizontalAdvance(shown) <= lblRx->contentsRect().width());
}

void TestConsole::secondUploadStartsFreshBar() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    startConsole();
    tmrTout()->setInterval(5);

    struct Seen {
        float value;
        QString message;
    };
    QList<Seen> atFirstFrame;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (boards.received().size() % 52 != 1)
            return;
        ProgressWindow *progress = progressWindow();
        QVERIFY(progress && progress->isVisible());
        atFirstFrame.append(
            {progress->value(), progress->findChild<QLabel *>(QStringLiteral("lblMsg"))->text()});
    });
    auto *cmdSend = child<QPushButton>("cmdSend");
    QVERIFY(pressed(cmdSend));
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(pressed(cmdSend));
    QVERIFY(progressWindow() == nullptr);

    QCOMPARE(boards.received().size(), 104);
    QCOMPARE(atFirstFrame.size(), 2);
    for (const Seen &seen : atFirstFrame) {
        QCOMPARE(seen.value, 0.0f);
        QCOMPARE(seen.message, QStringLiteral("Processing ...."));
    }
}

void TestConsole::wholeUploadFromSend() {
    // The one upload at the boards' real pace: 52 reply windows of 500 ms.
    PtyBoards boards;
    PageSet pages = DefaultPages::pages();
    const QString longRow = QStringLiteral("A row of forty-one characters from a file");
    QCOMPARE(longRow.size(), 41);
    pages.setRow(37, longRow);
    QVERIFY(useBoards(boards, pages));
    startConsole();
    QCOMPARE(tmrTout()->interval(), 500);

    auto *cmdSend = child<QPushButton>("cmdSend");
    QList<QRect> watched = {
        QRect(child<QLabel>("lblRx")->mapToGlobal(QPoint()), child<QLabel>("lblRx")->size())};
    for (int address = 0; address < BoardAddress::Count; ++address) {
        auto *light = child<QWidget>(qPrintable(QStringLiteral("shpStatus%1").arg(address)));
        watched << QRect(light->mapToGlobal(QPoint()), light->size());
    }

    QList<float> values;
    int shownWhileSending = 0;
    bool sendDisabled = true;
    bool coversNothing = true;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        ProgressWindow *progress = progressWindow();
        if (!progress || !progress->isVisible())
            return;
        ++shownWhileSending;
        values << progress->value();
        sendDisabled = sendDisabled && !cmdSend->isEnabled();
        for (const QRect &area : watched)
            coversNothing = coversNothing && !progress->frameGeometry().intersects(area);
    });

    QVERIFY(pressed(cmdSend));

    QCOMPARE(boards.received().size(), 52);
    QCOMPARE(shownWhileSending, 52);
    QCOMPARE(values.at(2), 0.0f);   // the first row pair
    QCOMPARE(values.at(50), 96.0f); // the page delay
    QCOMPARE(values.at(51), 100.0f);
    QVERIFY(sendDisabled);
    QVERIFY(coversNothing);
    // The 41-character row from the file travelled whole: page 2, rows 36 and 37.
    QCOMPARE(boards.received().at(2 + 2 * 8 + 2).bytes,
             "3ED02TSC" + pages.row(36).toLatin1() + '~' + longRow.toLatin1() + '\r');

    QVERIFY(progressWindow() == nullptr);
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(!m_window->findChild<BoardLink *>(QStringLiteral("cm"))->isOpen());
    QCOMPARE(shownColour(child<QWidget>("shpStatus0")), QColor(0, 255, 255));
    for (int address = 1; address <= 8; ++address) {
        auto *light = child<QWidget>(qPrintable(QStringLiteral("shpStatus%1").arg(address)));
        QCOMPARE(shownColour(light), QColor(0, 255, 0));
    }
    // The last frame, "*Q", gets no answer.
    QCOMPARE(child<QLabel>("lblRx")->text(), QString());
}

void TestConsole::closeDuringUploadStopsIt() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    startConsole();
    tmrTout()->setInterval(250);
    auto *cm = m_window->findChild<BoardLink *>(QStringLiteral("cm"));

    bool closed = false;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (!closed && boards.received().size() == 3)
            closed = m_window->close();
    });
    BoxAnswerer answerer;
    QVERIFY(pressed(child<QPushButton>("cmdSend")));

    // The upload ended with the close: no further frame, nothing to report, port closed.
    QVERIFY(closed);
    QCOMPARE(boards.received().size(), 3);
    QCOMPARE(answerer.seen.size(), 0);
    QVERIFY(!cm->isOpen());
    QVERIFY(progressWindow() == nullptr);
    QVERIFY(m_dir->hasConfig());
}

void TestConsole::closeDuringUploadKeptOpen() {
    PtyBoards boards;
    QVERIFY(useBoards(boards));
    startConsole();
    tmrTout()->setInterval(100);
    // display.cfg cannot be replaced, and the operator keeps the window open.
    QVERIFY(QFile::remove(m_dir->configPath()));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("display.cfg")));
    BoxAnswerer answerer({QStringLiteral("Cancel")});

    bool stillOpen = false;
    const QMetaObject::Connection closer = connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (boards.received().size() == 3)
            stillOpen = !m_window->close();
    });
    auto *cmdSend = child<QPushButton>("cmdSend");
    QVERIFY(pressed(cmdSend));

    // The upload ended with the attempt to close; the console is ready for the next one.
    QVERIFY(stillOpen);
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(boards.received().size(), 3);
    QVERIFY(m_window->isVisible());
    QVERIFY(cmdSend->isEnabled());
    QVERIFY(progressWindow() == nullptr);

    disconnect(closer);
    boards.clear();
    tmrTout()->setInterval(5);
    QVERIFY(pressed(cmdSend));
    QCOMPARE(boards.received().size(), 52);
    QCOMPARE(answerer.seen.size(), 1);
}

// ---- row boxes, continued -----------------------------------------------------------------------

void TestConsole::selectionReplacedInLongRow_data() {
    QTest::addColumn<int>("from"); // selected with Shift+Right from this position
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("pasted");
    QTest::addColumn<QString>("shown");

    QTest::newRow("5 of 40 selected, one typed")
        << 10 << 5 << "X"
        << "" << QStringLiteral("0123456789fghijklmnopqrstuvwxyzABCD");
    QTest::newRow("5 of 40 selected, three pasted")
        << 10 << 5 << ""
        << "XYZ" << QStringLiteral("0123456789fghijklmnopqrstuvwxyzABCD");
    QTest::newRow("10 of 40 selected, three typed")
        << 0 << 10 << "XYZ"
        << "" << QStringLiteral("XYabcdefghijklmnopqrstuvwxyzABCD");
    QTest::newRow("all 40 selected, 40 pasted")
        << 0 << 40 << "" << QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd")
        << QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
}

void TestConsole::selectionReplacedInLongRow() {
    QFETCH(int, from);
    QFETCH(int, length);
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, shown);

    const QString forty = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCD");
    PageSet pages = DefaultPages::pages();
    pages.setRow(0, forty);
    m_dir->writeConfig(fullConfig(1, pages));
    startConsole();

    RowBox *box = row(0);
    QCOMPARE(box->text(), forty);
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_Home);
    for (int step = 0; step < from; ++step)
        QTest::keyClick(box, Qt::Key_Right);
    for (int step = 0; step < length; ++step)
        QTest::keyClick(box, Qt::Key_Right, Qt::ShiftModifier);
    type(box, typed);
    if (!pasted.isEmpty()) {
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    }
    QCOMPARE(box->text(), shown);
}

void TestConsole::placedTextKeepsFilter_data() {
    QTest::addColumn<QString>("fromFile");
    QTest::addColumn<QString>("placed");
    QTest::addColumn<QString>("shown"); // after a paste of "x" at the end

    const QString forty(40, QLatin1Char('b'));
    QTest::newRow("text the box shows placed again") << "abc"
                                                     << "abc"
                                                     << "abcx";
    QTest::newRow("other text placed") << "abc"
                                       << "def"
                                       << "defx";
    QTest::newRow("long text the box shows placed again") << forty << forty << forty;
}

void TestConsole::placedTextKeepsFilter() {
    QFETCH(QString, fromFile);
    QFETCH(QString, placed);
    QFETCH(QString, shown);

    PageSet pages = DefaultPages::pages();
    pages.setRow(0, fromFile);
    m_dir->writeConfig(fullConfig(1, pages));
    startConsole();

    RowBox *box = row(0);
    box->placeText(placed);
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_End);
    QGuiApplication::clipboard()->setText(QStringLiteral("\"x\""));
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), shown);
}

void TestConsole::rowFontFixedPitch_data() {
    QTest::addColumn<QByteArray>("family"); // empty: as the layout asks

    QTest::newRow("family of the layout") << QByteArray();
    QTest::newRow("family missing on this machine") << QByteArray("No Such Font Family");
}

void TestConsole::rowFontFixedPitch() {
    QFETCH(QByteArray, family);

    // The 32 characters of a row line up under each other only in a fixed-pitch font, whatever
    // the machine falls back to.
    const auto table = Layout::displayControls();
    const auto rows = std::find_if(table.begin(), table.end(), [](const ControlSpec &entry) {
        return entry.kind == ControlKind::RowBox;
    });
    QVERIFY(rows != table.end());
    ControlSpec entry = *rows;
    entry.container = nullptr;
    entry.count = 1;
    entry.perContainer = 0;
    if (!family.isEmpty())
        entry.font.family = family.constData();

    QWidget window;
    const QHash<QString, QWidget *> built =
        buildControls(&window, std::span(&entry, 1), LayoutUnits(96));
    QWidget *box = built.value(QString::fromLatin1(entry.name));
    QVERIFY(box);
    const QFontInfo resolved(box->font());
    QVERIFY2(resolved.fixedPitch(), qPrintable(resolved.family()));
}

namespace {

QString accessibleName(QWidget *widget) {
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QStringLiteral("(no accessible interface)");
}

// The names of what labels the widget, as a screen reader finds them.
QStringList accessibleLabels(QWidget *widget) {
    QStringList labels;
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    if (!face)
        return labels;
    const auto relations = face->relations(QAccessible::Label);
    for (const auto &[other, relation] : relations)
        labels << other->text(QAccessible::Name);
    return labels;
}

} // namespace

void TestConsole::accessibleNames_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("before"); // what a screen reader says at start
    QTest::addColumn<QString>("after");  // and after a board test: board 5 silent, 6 wrong

    QTest::newRow("first row box") << "txtLabel0"
                                   << "Page 1, row 1"
                                   << "Page 1, row 1";
    QTest::newRow("row box on the second page") << "txtLabel21"
                                                << "Page 2, row 6"
                                                << "Page 2, row 6";
    QTest::newRow("last row box") << "txtLabel95"
                                  << "Page 6, row 16"
                                  << "Page 6, row 16";
    QTest::newRow("light 0, asked only by the test") << "shpStatus0"
                                                     << "Board 0: not asked yet"
                                                     << "Board 0: answered";
    QTest::newRow("light of a board that answers") << "shpStatus3"
                                                   << "Board 3: not asked yet"
                                                   << "Board 3: answered";
    QTest::newRow("light of a silent board") << "shpStatus5"
                                             << "Board 5: not asked yet"
                                             << "Board 5: no answer";
    QTest::newRow("light of a board answering for another") << "shpStatus6"
                                                            << "Board 6: not asked yet"
                                                            << "Board 6: no answer";
    QTest::newRow("light of the highest board") << "shpStatus8"
                                                << "Board 8: not asked yet"
                                                << "Board 8: answered";
}

void TestConsole::accessibleNames() {
    QFETCH(QString, control);
    QFETCH(QString, before);
    QFETCH(QString, after);

    PtyBoards boards;
    QVERIFY(useBoards(boards));
    boards.bank().setBehaviour(5, BoardBehaviour::Silent);
    boards.bank().setBehaviour(6, BoardBehaviour::Wrong);
    boards.setReplyDelayMs(1);
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    auto *widget = child<QWidget>(control);
    const bool light = control.startsWith(QLatin1String("shpStatus"));

    QCOMPARE(accessibleName(widget), before);
    if (light)
        QCOMPARE(widget->toolTip(), before);
    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    QCOMPARE(boards.received().size(), ProbeFrameCount);
    QCOMPARE(accessibleName(widget), after);
    if (light)
        QCOMPARE(widget->toolTip(), after);
}

void TestConsole::portMapFromFiles() {
    PtyBoards boards;
    QVERIFY(boards.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->path() + QStringLiteral("/home")));
    const QByteArray portsConf = "; the gate\n201=" + boards.devicePath().toUtf8() +
                                 "\n33=xyz://10.1.2.3:4001\n300=/dev/ttyUSB0\n";
    QVERIFY(writeBytes(m_dir->path() + QStringLiteral("/ports.conf"), portsConf));
    m_dir->writeConfig(fullConfig(201, DefaultPages::pages()));
    m_setup = ConsoleSetup::forConfig(QStringLiteral("display.cfg"));
    qunsetenv("XDG_CONFIG_HOME");
    boards.setReplyDelayMs(1);

    BoxAnswerer answerer;
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    // The bad lines are said once, together, when the window is up.
    QTRY_COMPARE(answerer.seen.size(), 1);
    const QString portsFile = QDir(m_dir->path()).filePath(QStringLiteral("ports.conf"));
    const QString said = answerer.seen.front().text;
    QVERIFY2(said.contains(portsFile + QStringLiteral(", line 3: unknown scheme \"xyz\"")),
             qPrintable(said));
    QVERIFY2(said.contains(portsFile + QStringLiteral(", line 4: COM 300 is not in the port list")),
             qPrintable(said));

    // Each entry of the port list says what its number opens.
    auto *cmbComm = child<QComboBox>("cmbComm");
    QCOMPARE(cmbComm->itemData(200, Qt::ToolTipRole).toString(), boards.devicePath());
    QCOMPARE(cmbComm->itemData(33, Qt::ToolTipRole).toString(), QStringLiteral("/dev/ttyUSB1"));
    QVERIFY2(cmbComm->itemData(32, Qt::ToolTipRole)
                 .toString()
                 .startsWith(QStringLiteral("opens nothing: ") + portsFile + ", line 3: "),
             qPrintable(cmbComm->itemData(32, Qt::ToolTipRole).toString()));
    QCOMPARE(cmbComm->itemData(98, Qt::ToolTipRole).toString(),
             QStringLiteral("no device has this number"));
    // The lists carry their labels, then the group's caption.
    QCOMPARE(accessibleLabels(cmbComm),
             (QStringList{QStringLiteral("Comm Port:"), QStringLiteral("Display Configuration")}));
    QCOMPARE(
        accessibleLabels(child<QComboBox>("cmbDelay")),
        (QStringList{QStringLiteral("Page Delay (s):"), QStringLiteral("Display Configuration")}));

    // COM 201, from display.cfg, reaches the fake boards through the map.
    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    QCOMPARE(boards.received().size(), ProbeFrameCount);
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("GGGGGGGGG"));

    // COM 33's line is bad: it opens nothing, and the box says which line.
    cmbComm->setCurrentIndex(32);
    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    QTRY_COMPARE(answerer.seen.size(), 2);
    QCOMPARE(answerer.seen.at(1).title, QStringLiteral("Communication Port Error"));
    QVERIFY2(answerer.seen.at(1).text.startsWith(QStringLiteral("Cannot open COM 33: ") +
                                                 portsFile + ", line 3: unknown scheme"),
             qPrintable(answerer.seen.at(1).text));
    QCOMPARE(boards.received().size(), ProbeFrameCount);
}

QTEST_MAIN(TestConsole)
// ---- the command line ---------------------------------------------------------------------------

void TestConsole::unexpectedArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named"); // in the message
    QTest::newRow("a file name") << QStringList{"my.cfg"} << "\"my.cfg\"";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "'bogus'";
    QTest::newRow("Qt's -platform without its value") << QStringList{"-platform"} << "'-platform'";
    QTest::newRow("a file name after --config")
        << QStringList{"--config", "a.cfg", "b.cfg"} << "\"b.cfg\"";
}

void TestConsole::unexpectedArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    // Refused before any display is needed: there is none here.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    const ProgramResult run =
        runProgram(QStringLiteral(DISPLAY_CONSOLE), arguments, m_dir->path(), environment);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(named) && run.err.contains(QStringLiteral("--help")),
             qPrintable(run.err));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

#include "tst_console.moc"
