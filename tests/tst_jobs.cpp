#include "boardrig.h"
#include "framebuilder.h"
#include "jobrunner.h"
#include "loopback.h"
#include "settings.h"
#include "testfiles.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(BoardBehaviour)

namespace {

using B = BoardBehaviour;

QList<float> fullProgress() {
    QList<float> values;
    for (int value = 0; value <= 96; value += 2)
        values.append(float(value));
    values.append(100);
    return values;
}

} // namespace

#define REQUIRE_RIG(rig) REQUIRE_BOARDS((rig).boards)

// The upload, the board test and the receive monitor against fake boards on a pseudo-terminal,
// at the fake boards' speed: what the boards receive and what the operator sees.
class TestJobs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void upload_data();
    void upload();
    void delayReadJustBeforeItsFrame_data();
    void delayReadJustBeforeItsFrame();
    void rowEditedDuringUpload();
    void uploadPortRefused_data();
    void uploadPortRefused();
    void uploadDeviceVanishes();
    void probeOnlyBoardOne();
    void probeDeviceVanishes();
    void monitorStartPollsStop();
    void monitorStartRefused_data();
    void monitorStartRefused();
    void monitorDeviceVanishes();
    void uploadWhileMonitorHoldsThePort();
    void secondJobWhileOneRuns();
    void cancelStopsTheUploadOnlyForThatRun();
    void endedOnceInEachState_data();
    void endedOnceInEachState();
};

void TestJobs::upload_data() {
    QTest::addColumn<QList<BoardBehaviour>>("plan"); // addresses 0..8
    QTest::addColumn<QString>("lights");             // 0..8 after the upload
    QTest::addColumn<QByteArray>("receiveLine");     // after the last "*Q"

    QTest::newRow("all boards present")
        << QList<B>(9, B::Present) << QStringLiteral("CGGGGGGGG") << QByteArray();
    QTest::newRow("boards disconnected")
        << QList<B>(9, B::Silent) << QStringLiteral("CRRRRRRRR") << QByteArray();
    // Board 4 answers after its window: its reply comes in board 5's window, behind 5's own.
    QTest::newRow("mixed plan: silent 2, wrong 3, late 4")
        << QList<B>{B::Present, B::Present, B::Silent,  B::Wrong,  B::Late,
                    B::Present, B::Present, B::Present, B::Present}
        << QStringLiteral("CGRRRGGGG") << QByteArray();
    // Board 8's last reply comes in the delay frame's window, behind board 1's.
    QTest::newRow("board 8 late") << QList<B>{B::Present, B::Present, B::Present,
                                              B::Present, B::Present, B::Present,
                                              B::Present, B::Present, B::Late}
                                  << QStringLiteral("CGGGGGGGR") << QByteArray();
    // Board 2 is judged by board 1's late reply, and the last "*Q" reads the late answer to
    // the delay frame.
    QTest::newRow("board 1 late, board 2 silent")
        << QList<B>{B::Present, B::Late,    B::Silent,  B::Present, B::Present,
                    B::Present, B::Present, B::Present, B::Present}
        << QStringLiteral("CRRGGGGGG") << QByteArray("1 OK");
}

void TestJobs::upload() {
    QFETCH(QList<BoardBehaviour>, plan);
    QFETCH(QString, lights);
    QFETCH(QByteArray, receiveLine);

    // A late reply lands half a window after its own: with the fastest window that is 10 ms, which
    // a busy machine can take from it, and a late reply meant for the delay frame's window then
    // lands in board 1's. Three times the window keeps the cases apart.
    BoardRig rig(3 * BoardRig::FastWindowMs);
    REQUIRE_RIG(rig);
    for (int address = 0; address < plan.size(); ++address)
        rig.boards.bank().setBehaviour(address, plan.at(address));
    bool portOpenThroughout = true;
    rig.report.onValue = [&](float) {
        portOpenThroughout = portOpenThroughout && rig.link().isOpen();
    };

    QCOMPARE(rig.upload(), JobOutcome::Complete);

    QCOMPARE(rig.boards.allBytes(), goldenUpload());
    QCOMPARE(rig.report.exchanges.size(), UploadFrameCount);
    QCOMPARE(rig.report.values, fullProgress());
    QCOMPARE(rig.report.message, QStringLiteral("Processing ...."));
    QCOMPARE(rig.report.lights, lights);
    QCOMPARE(rig.report.receiveLine(), receiveLine);
    QCOMPARE(rig.boards.bank().row(0, 0), QByteArray("Hazardous chemicals - Quantity"));
    QCOMPARE(rig.boards.bank().pageDelaySeconds(), 5);
    QVERIFY(rig.report.errors.isEmpty());
    QVERIFY(portOpenThroughout);
    QCOMPARE(rig.report.showCount, 1);
    QCOMPARE(rig.report.closeCount, 1);
    QVERIFY(!rig.link().isOpen());
    QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome::Complete});
}

void TestJobs::delayReadJustBeforeItsFrame_data() {
    QTest::addColumn<int>("positionAtStart");
    QTest::addColumn<int>("positionAt96"); // the operator moves the list when the bar shows 96
    QTest::addColumn<QByteArray>("delayFrame");

    QTest::newRow("5 throughout") << 3 << 3 << QByteArray("1EN0605\r");
    QTest::newRow("moved to 20 during the upload") << 3 << 18 << QByteArray("1EN0620\r");
    QTest::newRow("moved to 10 during the upload") << 0 << 8 << QByteArray("1EN0610\r");
    QTest::newRow("no entry selected gives 01") << -1 << -1 << QByteArray("1EN0601\r");
}

void TestJobs::delayReadJustBeforeItsFrame() {
    QFETCH(int, positionAtStart);
    QFETCH(int, positionAt96);
    QFETCH(QByteArray, delayFrame);

    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.report.delaySeconds = Settings::delaySecondsForPosition(positionAtStart);
    int readsBefore96 = -1;
    rig.report.onValue = [&](float value) {
        if (value == 96) {
            readsBefore96 = rig.report.delayReads;
            rig.report.delaySeconds = Settings::delaySecondsForPosition(positionAt96);
        }
    };

    rig.upload();

    QCOMPARE(readsBefore96, 0);
    QCOMPARE(rig.report.delayReads, 1);
    const QList<QByteArray> frames = rig.frames();
    QCOMPARE(frames.size(), UploadFrameCount);
    QCOMPARE(frames.at(50), delayFrame);
    QCOMPARE(frames.at(51), QByteArray("*Q\r"));
}

void TestJobs::rowEditedDuringUpload() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    // Once page 0's first pair has gone, the operator edits a row of it and rows not yet sent.
    rig.report.onValue = [&](float value) {
        if (value == 2) {
            rig.report.pages.setRow(0, QStringLiteral("TOO LATE FOR THIS UPLOAD"));
            rig.report.pages.setRow(PageSet::indexOf(0, 3), QStringLiteral("PAGE 0 ROW 3"));
            rig.report.pages.setRow(PageSet::indexOf(1, 1), QStringLiteral("PAGE 1 ROW 1"));
            rig.report.pages.setRow(PageSet::RowCount - 1, QStringLiteral("LAST ROW"));
        }
    };

    rig.upload();

    const BoardBank &bank = rig.boards.bank();
    QCOMPARE(bank.row(0, 0), QByteArray("Hazardous chemicals - Quantity"));
    QCOMPARE(bank.row(0, 3), QByteArray("PAGE 0 ROW 3"));
    QCOMPARE(bank.row(1, 1), QByteArray("PAGE 1 ROW 1"));
    QCOMPARE(bank.row(PageSet::PageCount - 1, PageSet::RowsPerPage - 1), QByteArray("LAST ROW"));
    QVERIFY(rig.frames().contains(QByteArray("2ED00TSC") + DefaultPages::text(0, 2).toLatin1() +
                                  "~PAGE 0 ROW 3\r"));
}

void TestJobs::uploadPortRefused_data() {
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("error");

    QTest::newRow("COM 98 has no device")
        << 98 << QStringLiteral("Cannot open COM 98: no such port.");
    QTest::newRow("no port selected")
        << 0 << QStringLiteral("Cannot use COM 0: no port selected. Choose a port from the list.");
    QTest::newRow("COM 64 is not there")
        << 64 << QStringLiteral("Cannot open /dev/ttyUSB31 (COM 64): no such port (");
}

void TestJobs::uploadPortRefused() {
    QFETCH(int, portNumber);
    QFETCH(QString, error);

    for (const bool probe : {false, true}) {
        BoardRig rig;
        const JobOutcome outcome =
            runToEnd(probe ? rig.runner.probe(PortTarget::number(portNumber), rig.report)
                           : rig.runner.upload(rig.report.request(PortTarget::number(portNumber)),
                                               rig.report));
        QCOMPARE(outcome, JobOutcome::Failed);
        QCOMPARE(rig.report.errors.size(), 1);
        QVERIFY2(rig.report.errors.front().startsWith(error),
                 qPrintable(rig.report.errors.front()));
        QCOMPARE(rig.report.showCount, 0);
        QCOMPARE(rig.report.lights, QStringLiteral("CCCCCCCCC"));
        QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome::Failed});
        QVERIFY(!rig.link().isOpen());
        QVERIFY(rig.boards.received().isEmpty());
    }
}

void TestJobs::uploadDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.vanishAfterFrame(10); // both brackets and page 0's eight pairs arrive
    QCOMPARE(rig.upload(), JobOutcome::Failed);

    QCOMPARE(rig.frames().size(), 10);
    QCOMPARE(rig.report.errors.size(), 1);
    QVERIFY2(rig.report.errors.front().startsWith(
                 QStringLiteral("The connection to %1 failed").arg(rig.boards.devicePath())),
             qPrintable(rig.report.errors.front()));
    // The operator reads the message while the progress still shows where the upload stopped.
    QVERIFY(rig.report.progressOpenAtFailure);
    // What was done stays done (board 8's frame arrived, but its exchange failed before its
    // light was judged); the console is ready for the next upload.
    QCOMPARE(rig.report.lights, QStringLiteral("CGGGGGGGC"));
    QVERIFY(!rig.report.progressOpen);
    QVERIFY(!rig.link().isOpen());
    QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome::Failed});
}

void TestJobs::probeOnlyBoardOne() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.plan({B::Silent, B::Present, B::Silent, B::Silent, B::Silent, B::Silent, B::Silent,
              B::Silent, B::Silent});
    QCOMPARE(rig.probe(), JobOutcome::Complete);

    QCOMPARE(rig.frames(), (QList<QByteArray>{"0?\r", "1?\r", "2?\r", "3?\r", "4?\r", "5?\r",
                                              "6?\r", "7?\r", "8?\r"}));
    QCOMPARE(rig.report.lights, QStringLiteral("RGRRRRRRR"));
    QCOMPARE(rig.report.receiveLines.at(1), QByteArray("1 OK"));
    QCOMPARE(rig.report.receiveLine(), QByteArray());
    QVERIFY(!rig.link().isOpen());
    QVERIFY(rig.report.errors.isEmpty());
    QCOMPARE(rig.report.showCount, 0);
}

void TestJobs::probeDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.vanishAfterFrame(3);
    QCOMPARE(rig.probe(), JobOutcome::Failed);

    QCOMPARE(rig.frames().size(), 3);
    QCOMPARE(rig.report.errors.size(), 1);
    QVERIFY(!rig.link().isOpen());
    // Probes 0 and 1 were judged before the boards went; probe 2's exchange failed.
    QCOMPARE(rig.report.lights, QStringLiteral("GGCCCCCCC"));
}

void TestJobs::monitorStartPollsStop() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.pollTimer()->setInterval(20);

    Job *monitor = rig.startMonitor();
    QVERIFY(rig.pollTimer()->isActive());
    QVERIFY(rig.link().isOpen());

    rig.boards.sendUnasked("7 RESTARTED\r\n");
    // Shown for one poll; the next poll finds nothing and clears the line.
    QTRY_VERIFY(rig.report.receiveLines.contains("7 RESTARTED\r\n"));
    QTRY_COMPARE(rig.report.receiveLines.last(), QByteArray());
    QVERIFY(rig.boards.received().isEmpty()); // the monitor never sends

    monitor->cancel();
    QVERIFY(!rig.pollTimer()->isActive());
    QVERIFY(!rig.link().isOpen());
    QVERIFY(rig.report.errors.isEmpty());
}

void TestJobs::monitorStartRefused_data() {
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("error");
    QTest::newRow("port 0 from display.cfg")
        << 0 << QStringLiteral("Cannot use COM 0: no port selected. Choose a port from the list.");
    QTest::newRow("port 300 from display.cfg")
        << 300 << QStringLiteral("Cannot open COM 300: no such port.");
}

void TestJobs::monitorStartRefused() {
    QFETCH(int, portNumber);
    QFETCH(QString, error);
    BoardRig rig;
    QCOMPARE(runToEnd(rig.runner.monitor(PortTarget::number(portNumber), rig.report)),
             JobOutcome::Failed);
    QCOMPARE(rig.report.errors, QStringList{error});
    QVERIFY(!rig.pollTimer()->isActive());
    QVERIFY(!rig.link().isOpen());
}

void TestJobs::monitorDeviceVanishes() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.pollTimer()->setInterval(20);
    rig.startMonitor();

    rig.boards.vanish();
    QTRY_VERIFY(!rig.pollTimer()->isActive());
    QVERIFY(!rig.link().isOpen());
    // Reported once, however long the console goes on.
    QTest::qWait(10 * 20);
    QCOMPARE(rig.report.errors.size(), 1);
    QVERIFY(rig.report.errors.front().contains(rig.boards.devicePath()));
    QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome::Failed});
}

void TestJobs::uploadWhileMonitorHoldsThePort() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.pollTimer()->setInterval(20);
    rig.startMonitor();

    QCOMPARE(runToEnd(rig.runner.upload(rig.report.request(PortTarget::number(5)), rig.report)),
             JobOutcome::Failed);
    QCOMPARE(rig.report.errors.size(), 1);
    QVERIFY(
        rig.report.errors.front().startsWith(QStringLiteral("Cannot change the port to COM 5")));
    QCOMPARE(rig.report.showCount, 0);
    QVERIFY(rig.boards.received().isEmpty());

    // The monitor keeps the port and goes on showing what arrives.
    QVERIFY(rig.pollTimer()->isActive());
    QVERIFY(rig.link().isOpen());
    rig.boards.sendUnasked("still here");
    QTRY_VERIFY(rig.report.receiveLines.contains("still here"));
}

void TestJobs::secondJobWhileOneRuns() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    // The operator presses the board test while an upload waits for the boards.
    JobOutcome second = JobOutcome::Complete;
    RecordingReport secondReport;
    rig.report.onValue = [&](float value) {
        if (value == 2)
            second = runToEnd(rig.runner.probe(rig.port(), secondReport));
    };
    QCOMPARE(rig.upload(), JobOutcome::Complete);
    QCOMPARE(second, JobOutcome::Busy);
    QVERIFY(secondReport.errors.isEmpty());
    QVERIFY(secondReport.exchanges.isEmpty());
    QCOMPARE(rig.boards.allBytes(), goldenUpload());
}

void TestJobs::cancelStopsTheUploadOnlyForThatRun() {
    BoardRig rig;
    REQUIRE_RIG(rig);
    // The window closes while the fourth exchange waits.
    Job *job = rig.runner.upload(rig.request(), rig.report);
    rig.report.onValue = [&](float value) {
        if (value == 2)
            QTimer::singleShot(5, job, &Job::cancel);
    };
    QCOMPARE(runToEnd(job), JobOutcome::Aborted);

    QCOMPARE(rig.frames().size(), 4);
    QVERIFY(rig.report.errors.isEmpty());
    QVERIFY(!rig.link().isOpen());
    QVERIFY(!rig.report.progressOpen);
    QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome::Aborted});

    // The close was called off: the next upload runs whole on the same runner.
    rig.boards.clear();
    rig.report.onValue = nullptr;
    QCOMPARE(rig.upload(), JobOutcome::Complete);
    QCOMPARE(rig.boards.allBytes(), goldenUpload());
}

void TestJobs::endedOnceInEachState_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("ending"); // cancelled, destroyed, or the device fails
    QTest::addColumn<int>("outcome");

    for (const char *ending : {"cancelled", "destroyed"}) {
        const auto row = [&](const char *state, JobOutcome outcome) {
            QTest::addRow("%s while %s", ending, state)
                << QString::fromLatin1(state) << QString::fromLatin1(ending) << int(outcome);
        };
        row("ready", JobOutcome::Aborted);
        row("connecting", JobOutcome::Aborted);
        row("exchanging", JobOutcome::Aborted);
        row("polling", JobOutcome::Aborted);
        row("reporting a failure", JobOutcome::Failed);
    }
    // Connecting, the connection is refused; reporting a failure, a second one comes.
    for (const char *state : {"connecting", "exchanging", "polling", "reporting a failure"})
        QTest::addRow("device fails while %s", state)
            << QString::fromLatin1(state) << QStringLiteral("fails") << int(JobOutcome::Failed);
}

// However a job ends, the progress and the port are given back, the end is reported once, and
// nothing more goes out.
void TestJobs::endedOnceInEachState() {
    QFETCH(QString, state);
    QFETCH(QString, ending);
    QFETCH(int, outcome);

    BoardRig rig;
    REQUIRE_RIG(rig);
    rig.pollTimer()->setInterval(20);
    const PortTarget refused =
        PortTarget::device(QStringLiteral("tcp://127.0.0.1:%1").arg(refusedPort()));
    Job *job = state == QLatin1String("polling") ? rig.runner.monitor(rig.port(), rig.report)
               : state == QLatin1String("connecting")
                   ? rig.runner.upload(rig.report.request(refused), rig.report)
                   : rig.runner.upload(rig.request(), rig.report);
    QList<JobOutcome> finished;
    connect(job, &Job::finished, &rig.boards, [&](JobOutcome ended) { finished << ended; });
    auto box = std::make_unique<QObject>(); // the operator reads the failure until it goes
    if (state == QLatin1String("reporting a failure")) {
        rig.report.onFailure = [&] { job->holdUntilGone(box.get()); };
        rig.vanishAfterFrame(4);
    }
    if (state != QLatin1String("ready"))
        job->start();
    if (state == QLatin1String("connecting"))
        QCOMPARE(job->state(), Job::State::Connecting);
    if (state == QLatin1String("exchanging"))
        QTRY_VERIFY(rig.frames().size() >= 3);
    if (state == QLatin1String("reporting a failure")) {
        QTRY_COMPARE(job->state(), Job::State::ReportingFailure);
        QVERIFY(rig.report.progressOpen);
    }

    qsizetype framesAtEnd = rig.frames().size();
    if (ending == QLatin1String("destroyed"))
        delete job;
    else if (ending == QLatin1String("cancelled"))
        job->cancel();
    else if (state == QLatin1String("reporting a failure")) {
        Q_EMIT rig.link().failed(QStringLiteral("the device failed again"));
        Q_EMIT rig.exchange().failed(QStringLiteral("the device failed again"));
        QTest::qWait(5 * BoardRig::FastWindowMs);
        QCOMPARE(job->state(), Job::State::ReportingFailure);
        box.reset();
    } else {
        if (state != QLatin1String("connecting"))
            rig.boards.vanish();
        QTRY_COMPARE(finished.size(), 1);
        framesAtEnd = rig.frames().size();
    }
    QVERIFY(!rig.link().isOpen());
    QVERIFY(!rig.pollTimer()->isActive());
    QTest::qWait(5 * BoardRig::FastWindowMs);

    QCOMPARE(rig.frames().size(), framesAtEnd);
    QCOMPARE(finished, QList<JobOutcome>{JobOutcome(outcome)});
    QCOMPARE(rig.report.outcomes, QList<JobOutcome>{JobOutcome(outcome)});
    QCOMPARE(rig.report.errors.size(), outcome == int(JobOutcome::Failed) ? 1 : 0);
    QCOMPARE(rig.report.closeCount, rig.report.showCount);
    // A frame whose window was cut short was still written.
    if (state == QLatin1String("exchanging"))
        QCOMPARE(rig.report.framesWritten, int(framesAtEnd));
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
