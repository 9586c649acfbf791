#include "boardlink.h"
#include "boards.h"
#include "consolerig.h"
#include "defaultpages.h"
#include "displaywindow.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

// Closing the console while an upload waits for the boards, with the application's own event
// loop running as in the real program: the upload stops at once, the port closes, display.cfg
// is written and the program ends with exit code 0. The loop can be run once per process, so
// this test has its own executable.
class TestConsoleClose : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void closeDuringUpload();
};

void TestConsoleClose::closeDuringUpload() {
    WorkingDirectory dir;
    QVERIFY(dir.isValid());
    PtyBoards boards;
    QVERIFY2(boards.isValid(), "no pseudo-terminal for the fake boards");
    dir.writeConfig(fullConfig(BoardsPortNumber, DefaultPages::pages()));
    ConsoleSetup setup;
    setup.ports.insert(BoardsPortNumber, boards.devicePath());

    DisplayWindow window(setup);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *cmdSend = window.findChild<QPushButton *>(QStringLiteral("cmdSend"));
    auto *cm = window.findChild<BoardLink *>(QStringLiteral("cm"));
    QVERIFY(cmdSend && cm);

    constexpr int FramesBeforeClose = 4;
    bool closed = false;
    bool progressShownBeforeClose = false;
    bool portOpenAfterClose = true;
    connect(&boards, &PtyBoards::frameReceived, &window, [&] {
        if (closed || boards.received().size() < FramesBeforeClose)
            return;
        closed = true;
        progressShownBeforeClose = progressWindow() != nullptr;
        window.close();
        portOpenAfterClose = cm->isOpen();
    });
    QTimer::singleShot(0, cmdSend, [cmdSend] { QTest::mouseClick(cmdSend, Qt::LeftButton); });
    // Should the program fail to end, end the loop with a code that fails the test.
    QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(99); });

    QElapsedTimer clock;
    clock.start();
    const int exitCode = QApplication::exec();

    QCOMPARE(exitCode, 0);
    QVERIFY(closed);
    QVERIFY(progressShownBeforeClose);
    QVERIFY(!portOpenAfterClose);
    QVERIFY(!cm->isOpen());
    QCOMPARE(boards.received().size(), FramesBeforeClose);
    // Four reply windows and the close, not the whole upload.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!window.isVisible());
    QVERIFY(progressWindow() == nullptr);
    QCOMPARE(dir.readConfig(), fullConfig(BoardsPortNumber, DefaultPages::pages()));
}

QTEST_MAIN(TestConsoleClose)
#include "tst_console_close.moc"
