#include "boardrig.h"
#include "boards.h"
#include "consolerig.h"
#include "defaultpages.h"
#include "jobrecords.h"
#include "journal.h"
#include "journalfiles.h"

#include <QComboBox>
#include <QHelpEvent>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

Q_DECLARE_METATYPE(BoardBehaviour)

namespace {

using B = BoardBehaviour;

// An upload as display-send would have recorded it, at a fixed time.
void recordUpload(const QString &path, const QDateTime &at, const QString &lights,
                  const QString &outcome = QStringLiteral("complete")) {
    Journal journal(path);
    const qint64 id =
        journal.begin(uploadStarted(DefaultPages::pages().rows(), at, QStringLiteral("send")));
    journal.finish(
        id, JournalEnd{outcome, QString(), UploadFrameCount, lights, at.addSecs(26), {}, {}, {}});
}

QString tooltipShownOn(QWidget *widget) {
    QHelpEvent event(QEvent::ToolTip, QPoint(2, 2), widget->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(widget, &event);
    return widget->toolTip();
}

} // namespace

// The console's journal: what each job leaves in display-journal.db beside display.cfg, the
// SEND tooltip read from it, and a journal that cannot be kept, which never stops a job and is
// said once.
class TestConsoleJournal : public QObject, private ConsoleFixture {
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpConsole(); }
    void cleanup() { tearDownConsole(); }

    void jobRecorded_data();
    void jobRecorded();
    void closedDuringUpload();
    void sendTooltipNamesLastUpload();
    void journalProblemSaidOnce_data();
    void journalProblemSaidOnce();

private:
    QList<JournalRecord> history() const {
        Journal journal(journalIn(m_dir->path()));
        return journal.history(100);
    }
};

void TestConsoleJournal::jobRecorded_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<BoardBehaviour>>("plan"); // addresses 0, 1, ...
    QTest::addColumn<int>("portPosition");           // -1: the fake boards
    QTest::addColumn<int>("editAtFrame");            // a row edited while this frame waits; 0: none
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("lights");

    const QList<B> fifthSilent{B::Present, B::Present, B::Present,
                               B::Present, B::Present, B::Silent};
    QTest::newRow("upload, board 5 silent")
        << "cmdSend" << fifthSilent << -1 << 0 << "complete" << UploadFrameCount << "cggggrggg";
    QTest::newRow("upload, last page edited while the first goes out")
        << "cmdSend" << QList<B>{} << -1 << 4 << "complete" << UploadFrameCount << "cgggggggg";
    QTest::newRow("board test, boards 0 and 3 silent")
        << "cmdTest" << QList<B>{B::Silent, B::Present, B::Present, B::Silent} << -1 << 0
        << "complete" << ProbeFrameCount << "rggrggggg";
    QTest::newRow("upload to COM 98, which has no device")
        << "cmdSend" << QList<B>{} << 97 << 0 << "port-error" << 0 << "ccccccccc";
}

void TestConsoleJournal::jobRecorded() {
    QFETCH(QString, button);
    QFETCH(QList<BoardBehaviour>, plan);
    QFETCH(int, portPosition);
    QFETCH(int, editAtFrame);
    QFETCH(QString, outcome);
    QFETCH(int, frames);
    QFETCH(QString, lights);

    PtyBoards boards;
    REQUIRE_BOARDS(boards);
    boards.setReplyDelayMs(1);
    for (int address = 0; address < plan.size(); ++address)
        boards.bank().setBehaviour(address, plan.at(address));
    QVERIFY(useBoards(boards, numberedPages()));
    // A folder with a shared journal: after the job, display-send --forward takes its record
    // there (here a stand-in on the PATH that says how it was started).
    QTemporaryDir programs;
    const QString forwarded = m_dir->path() + QStringLiteral("/forwarded");
    QVERIFY(writeBytes(programs.filePath(QStringLiteral("display-send")),
                       QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(forwarded).toUtf8()));
    QFile::setPermissions(programs.filePath(QStringLiteral("display-send")),
                          QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", programs.path().toLocal8Bit() + ':' + path);
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
    QVERIFY(writeBytes(m_dir->path() + QStringLiteral("/journal.conf"), "[shared]\n"));
    startConsole();
    QVERIFY2(!QFileInfo::exists(journalIn(m_dir->path())), "the journal was opened at start-up");
    tmrTout()->setInterval(QuickWindowMs);
    if (portPosition >= 0)
        child<QComboBox>("cmbComm")->setCurrentIndex(portPosition);
    constexpr int EditedRow = PageSet::RowCount - 1;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (boards.received().size() == editAtFrame) {
            row(EditedRow)->selectAll();
            QTest::keyClicks(row(EditedRow), QStringLiteral("typed during the upload"));
        }
    });

    const QDateTime before = QDateTime::currentDateTimeUtc();
    BoxAnswerer answerer;
    QVERIFY(pressed(child<QPushButton>(button)));
    const QDateTime after = QDateTime::currentDateTimeUtc();

    QCOMPARE(boards.received().size(), frames);
    QTRY_VERIFY(QFileInfo(forwarded).size() > 0);
    QVERIFY2(fileBytes(forwarded).startsWith("--forward --config "),
             "display-send was not asked to forward");
    const QList<JournalRecord> records = history();
    QCOMPARE(records.size(), 1);
    const JournalRecord &record = records.first();
    QCOMPARE(record.program, QStringLiteral("console"));
    QCOMPARE(record.job, button == QLatin1String("cmdSend") ? QStringLiteral("upload")
                                                            : QStringLiteral("test"));
    QCOMPARE(record.outcome, outcome);
    QCOMPARE(record.frames, frames);
    QCOMPARE(record.lights, lights);
    QVERIFY(record.started >= before.addMSecs(-1) && record.started <= *record.finished);
    QVERIFY(*record.finished <= after.addMSecs(1));
    if (outcome == QLatin1String("port-error")) {
        QCOMPARE(record.port, 98);
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(record.error, answerer.seen.first().text); // what the operator was shown
    } else {
        QCOMPARE(record.port, BoardsPortNumber);
        QCOMPARE(record.device, boards.devicePath());
        QVERIFY(!record.error);
        QVERIFY(answerer.seen.isEmpty());
    }
    if (record.job == QLatin1String("upload")) {
        QCOMPARE(record.delaySeconds, 5);
        QCOMPARE(record.rows, shownRows()); // as they went out, the edit included
        if (editAtFrame > 0)
            QCOMPARE(boards.bank().row(5, 15), QByteArray("typed during the upload"));
    } else {
        QVERIFY(!record.delaySeconds);
        QVERIFY(!record.rows);
    }
}

void TestConsoleJournal::closedDuringUpload() {
    PtyBoards boards;
    REQUIRE_BOARDS(boards);
    boards.setReplyDelayMs(1);
    QVERIFY(useBoards(boards));
    startConsole();
    tmrTout()->setInterval(200);
    constexpr int FramesBeforeClose = 5;
    connect(&boards, &PtyBoards::frameReceived, this, [&] {
        if (boards.received().size() == FramesBeforeClose)
            QTimer::singleShot(0, m_window.get(), [this] { m_window->close(); });
    });
    QVERIFY(pressed(cmdSend()));
    QTest::qWait(300); // a frame written after the close would have arrived by now

    QCOMPARE(boards.received().size(), FramesBeforeClose);
    const QList<JournalRecord> records = history();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().outcome, QStringLiteral("aborted"));
    QVERIFY(records.first().finished);
    // The fifth frame went out, though its reply window was cut short.
    QCOMPARE(records.first().frames, FramesBeforeClose);
    QCOMPARE(records.first().lights, QStringLiteral("cggcccccc"));
}

void TestConsoleJournal::sendTooltipNamesLastUpload() {
    PtyBoards boards;
    REQUIRE_BOARDS(boards);
    boards.setReplyDelayMs(1);
    QVERIFY(useBoards(boards));
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);
    const QString path = journalIn(m_dir->path());

    // No journal yet: no tooltip, and looking for one makes no file.
    QCOMPARE(tooltipShownOn(cmdSend()), QString());
    QVERIFY(!QFileInfo::exists(path));

    // A scheduled display-send on the same folder sent while the console was open.
    const QDateTime at(QDate(2026, 12, 8), QTime(13, 5, 30), Qt::UTC);
    const QString when = at.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    recordUpload(path, at, QStringLiteral("cggggrggg"));
    QCOMPARE(tooltipShownOn(cmdSend()),
             QStringLiteral("Last sent %1; board 5 did not answer").arg(when));

    // A board test is not an upload: the tooltip still names the last upload.
    QVERIFY(pressed(child<QPushButton>("cmdTest")));
    QCOMPARE(tooltipShownOn(cmdSend()),
             QStringLiteral("Last sent %1; board 5 did not answer").arg(when));

    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    QVERIFY(pressed(cmdSend()));
    const QString later = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    const QString shown = tooltipShownOn(cmdSend());
    QVERIFY2(shown == QStringLiteral("Last sent %1; all boards answered").arg(now) ||
                 shown == QStringLiteral("Last sent %1; all boards answered").arg(later),
             qPrintable(shown));
}

void TestConsoleJournal::journalProblemSaidOnce_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("said"); // part of the one box's text

    QTest::newRow("damaged file of random bytes") << "damaged"
                                                  << "moved aside";
    QTest::newRow("full disk") << "full"
                               << "full";
    QTest::newRow("written by a newer version") << "newer"
                                                << "newer version";
    QTest::newRow("read-only folder") << "read-only"
                                      << "not writable";
}

void TestConsoleJournal::journalProblemSaidOnce() {
    QFETCH(QString, fault);
    QFETCH(QString, said);
    if (fault == QLatin1String("read-only") && ::geteuid() == 0)
        QSKIP("folder permissions do not bind root: tst_console_journal_unprivileged runs it");

    PtyBoards boards;
    REQUIRE_BOARDS(boards);
    boards.setReplyDelayMs(1);
    // Rows of 32 characters the journal has not seen: the full journal needs a page for them.
    PageSet pages;
    for (int index = 0; index < PageSet::RowCount; ++index)
        pages.setRow(index, QStringLiteral("row %1 ").arg(index).leftJustified(32, u'.'));
    QVERIFY(useBoards(boards, pages));
    const QString folder = m_dir->path();
    const QString path = journalIn(folder);
    QByteArray untouched;
    if (fault == QLatin1String("damaged")) {
        QVERIFY(writeBytes(path, randomBytes(11, 16384)));
    } else if (fault == QLatin1String("full")) {
        recordUpload(path, QDateTime::currentDateTimeUtc(), QStringLiteral("cgggggggg"));
        // The file may not grow by a page: the console's rows are new and need one.
        m_setup.journal.maxPageCount = scalar(path, QStringLiteral("PRAGMA page_count")).toInt();
        QVERIFY(m_setup.journal.maxPageCount > 0);
    } else if (fault == QLatin1String("newer")) {
        QVERIFY(writeNewerJournal(path));
        untouched = fileBytes(path);
    } else {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    startConsole();
    tmrTout()->setInterval(QuickWindowMs);

    BoxAnswerer answerer;
    QVERIFY(pressed(cmdSend()));
    QVERIFY(pressed(cmdSend()));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // Both uploads went out whole, and the problem was said once, after the first.
    QCOMPARE(boards.received().size(), 2 * UploadFrameCount);
    QCOMPARE(shownLights(m_window.get()), QStringLiteral("CGGGGGGGG"));
    QCOMPARE(answerer.seen.size(), 1);
    QVERIFY2(answerer.seen.first().text.contains(said), qPrintable(answerer.seen.first().text));
    QVERIFY2(answerer.seen.first().text.contains(path), qPrintable(answerer.seen.first().text));
    QVERIFY(cmdSend()->isEnabled());

    if (fault == QLatin1String("damaged")) {
        // Moved aside, and the fresh journal holds both uploads.
        QCOMPARE(QDir(folder)
                     .entryList({QStringLiteral("display-journal.db.damaged-*")}, QDir::Files)
                     .size(),
                 1);
        QCOMPARE(history().size(), 2);
    } else if (fault == QLatin1String("newer")) {
        QCOMPARE(fileBytes(path), untouched);
    } else if (fault == QLatin1String("read-only")) {
        QVERIFY(!QFileInfo::exists(path));
    }
}

QTEST_MAIN(TestConsoleJournal)
#include "tst_console_journal.moc"
