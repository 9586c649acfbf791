#include "boardrig.h"
#include "jobrunner.h"

#include <QFile>
#include <QTest>

// One whole upload at the console's own pace, 52 reply windows of 500 ms, against a mixed set of
// boards: what reaches the boards, when, and what the operator sees.
class TestUploadRealtime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wholeUploadAtFullPace();
};

void TestUploadRealtime::wholeUploadAtFullPace() {
    BoardRig rig(SendRec::ReplyWindowMs);
    REQUIRE_BOARDS(rig.boards);
    // Board 2 silent, 3 answers wrongly, 4 answers after its window (in the window of silent 5).
    rig.plan({BoardBehaviour::Present, BoardBehaviour::Present, BoardBehaviour::Silent,
              BoardBehaviour::Wrong, BoardBehaviour::Late, BoardBehaviour::Silent});

    QCOMPARE(rig.runner.upload(rig.request(), rig.report), JobOutcome::Complete);

    QFile golden(QFINDTESTDATA("data/default-upload-delay5.bin"));
    QVERIFY(golden.open(QIODevice::ReadOnly));
    QCOMPARE(rig.boards.allBytes(), golden.readAll());

    // The console writes each frame at least 500 ms after the one before. The boards see each
    // frame a little after it was written: about 0.1 ms, but on this virtual machine now and
    // then 2 to 3 ms when the system had gone idle during the window. So one frame handed over
    // late makes the gap after it that much shorter; allow that much, and require the frames
    // to be 500 ms apart on average. A console waiting on a coarse timer (which fired after as
    // little as 475 ms) fails both.
    QCOMPARE(rig.arrivalsNs.size(), UploadFrameCount);
    constexpr qint64 windowNs = 500'000'000;
    constexpr qint64 handOverJitterNs = 5'000'000;
    for (qsizetype i = 1; i < rig.arrivalsNs.size(); ++i) {
        const qint64 gapNs = rig.arrivalsNs.at(i) - rig.arrivalsNs.at(i - 1);
        QVERIFY2(gapNs >= windowNs - handOverJitterNs,
                 qPrintable(QStringLiteral("frame %1 came %2 ms after the one before")
                                .arg(i + 1)
                                .arg(double(gapNs) / 1e6, 0, 'f', 3)));
    }
    QVERIFY(rig.arrivalsNs.last() - rig.arrivalsNs.first() >= (UploadFrameCount - 1) * windowNs);

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
