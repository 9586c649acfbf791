#include "boardrig.h"
#include "jobrunner.h"
#include "pacing.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTest>

// One whole upload at the console's own pace, 52 reply windows of 500 ms, against a mixed set of
// boards: what reaches the boards, when, and what the operator sees.
class TestUploadRealtime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeUploadAtFullPace();
};

void TestUploadRealtime::wholeUploadAtFullPace() {
    BoardRig rig(FrameExchange::ReplyWindowMs);
    REQUIRE_BOARDS(rig.boards);
    // Board 2 silent, 3 answers wrongly, 4 answers after its window (in the window of silent 5).
    rig.plan({BoardBehaviour::Present, BoardBehaviour::Present, BoardBehaviour::Silent,
              BoardBehaviour::Wrong, BoardBehaviour::Late, BoardBehaviour::Silent});

    QElapsedTimer clock;
    clock.start();
    QList<qint64> writtenNs;
    QObject::connect(&rig.exchange(), &FrameExchange::frameWritten, &rig.exchange(),
                     [&] { writtenNs.append(clock.nsecsElapsed()); });

    QCOMPARE(rig.upload(), JobOutcome::Complete);

    QCOMPARE(rig.boards.allBytes(), goldenUpload());

    QCOMPARE(rig.arrivalsNs.size(), UploadFrameCount);
    const QString pacing =
        pacingProblem(writtenNs, rig.arrivalsNs, qint64(FrameExchange::ReplyWindowMs) * 1'000'000);
    QVERIFY2(pacing.isEmpty(), qPrintable(pacing));

    QList<float> progress;
    for (int value = 0; value <= 96; value += 2)
        progress.append(float(value));
    progress.append(100);
    QCOMPARE(rig.report.values, progress);

    QCOMPARE(rig.report.lights, QStringLiteral("CGRRRRGGG"));
    QCOMPARE(rig.report.receiveLine(), QByteArray());
    QVERIFY(rig.report.errors.isEmpty());
    QVERIFY(!rig.report.progressOpen);
    QVERIFY(!rig.link().isOpen());
}

QTEST_GUILESS_MAIN(TestUploadRealtime)
#include "tst_upload_realtime.moc"
