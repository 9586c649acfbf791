#include "boardlink.h"
#include "boards.h"
#include "configstore.h"
#include "defaultpages.h"
#include "framebuilder.h"
#include "frameexchange.h"
#include "jobrunner.h"
#include "loopback.h"
#include "pacing.h"
#include "programrun.h"
#include "recordingreport.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <unistd.h>

#include <memory>

namespace {

constexpr int FastWindowMs = 20;

QByteArray probeFrames() {
    QByteArray all;
    for (int address = 0; address <= BoardAddress::Highest; ++address)
        all += FrameBuilder::probeFrame(address);
    return all;
}

// Fake boards as a device server on a free loopback port, answering at the fast window's pace.
std::unique_ptr<TcpBoards> fastServer() {
    auto boards = std::make_unique<TcpBoards>(QHostAddress(QHostAddress::LocalHost), 0);
    boards->setReplyDelayMs(1);
    return boards;
}

// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()> &condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return condition();
}

} // namespace

// Boards reached through a device server in raw TCP mode, on the loopback address only: the
// frames and windows are those of a serial line, and every way the connection can fail is the
// operator's port error, after which the next job runs as usual.
class TestTcp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();

    void wholeUploadAtFullPace();
    void connectFails_data();
    void connectFails();
    void connectCancelled_data();
    void connectCancelled();
    void serverClosesMidJob_data();
    void serverClosesMidJob();
    void sendExitStatus_data();
    void sendExitStatus();
    void secondProgramOnTheSamePort();
    void simulatorListens_data();
    void simulatorListens();
    void floodingPeer_data();
    void floodingPeer();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestTcp::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigStore(m_dir->filePath(QStringLiteral("display.cfg"))).save(1, DefaultPages::pages());
}

void TestTcp::wholeUploadAtFullPace() {
    TcpBoards boards(QHostAddress(QHostAddress::LocalHost), 0);
    QVERIFY2(boards.isValid(), qPrintable(boards.listenProblem()));
    boards.bank().setBehaviour(2, BoardBehaviour::Silent);
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivalsNs;
    QObject::connect(&boards, &LineBoards::frameReceived, &boards,
                     [&] { arrivalsNs.append(clock.nsecsElapsed()); });
    JobRunner runner;
    RecordingReport report;
    QList<qint64> writtenNs;
    QObject::connect(runner.findChild<FrameExchange *>(), &FrameExchange::frameWritten, &boards,
                     [&] { writtenNs.append(clock.nsecsElapsed()); });

    QCOMPARE(
        runToEnd(runner.upload(report.request(PortTarget::device(boards.devicePath())), report)),
        JobOutcome::Complete);

    QCOMPARE(boards.allBytes(), goldenUpload());
    // As on the serial line.
    QCOMPARE(arrivalsNs.size(), UploadFrameCount);
    const QString pacing =
        pacingProblem(writtenNs, arrivalsNs, qint64(FrameExchange::ReplyWindowMs) * 1'000'000);
    QVERIFY2(pacing.isEmpty(), qPrintable(pacing));
    QCOMPARE(report.lights, QStringLiteral("CGRGGGGGG"));
    QVERIFY(report.errors.isEmpty());
    QVERIFY(!runner.findChild<BoardLink *>()->isOpen());
}

void TestTcp::connectFails_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    QTest::newRow("refused port") << "refused"
                                  << "the connection was refused" << 0 << 1000;
    QTest::newRow("connect never completes") << "hanging"
                                             << "no connection within 3 s" << 2950 << 4500;
    QTest::newRow("device without a port") << "no port"
                                           << "tcp://HOST:PORT" << 0 << 1000;
    // The system refuses a TCP connect to a multicast address inside the call itself.
    QTest::newRow("connect refused inside the call") << "multicast"
                                                     << "the host cannot be reached" << 0 << 1000;
}

// A connect that fails is one port error naming host and port; the console stays live while it
// waits, and the next job connects as if nothing had happened.
void TestTcp::connectFails() {
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    HangingListener hanging;
    QString device;
    QString named;
    if (kind == QLatin1String("refused")) {
        const quint16 port = refusedPort();
        device = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
        named = QStringLiteral("127.0.0.1:%1").arg(port);
    } else if (kind == QLatin1String("hanging")) {
        QVERIFY2(hanging.hangs(), "a connect to a full accept queue does not hang here");
        device = hanging.device();
        named = QStringLiteral("127.0.0.1:%1").arg(hanging.port);
    } else if (kind == QLatin1String("multicast")) {
        named = QStringLiteral("224.0.0.1:9");
        device = QStringLiteral("tcp://") + named;
    } else {
        device = named = QStringLiteral("tcp://127.0.0.1");
    }

    JobRunner runner;
    runner.findChild<QTimer *>(QStringLiteral("tmrTout"))->setInterval(FastWindowMs);
    RecordingReport report;
    int ticks = 0;
    QTimer tick;
    tick.setInterval(50);
    QObject::connect(&tick, &QTimer::timeout, &tick, [&ticks] { ++ticks; });
    tick.start();
    QElapsedTimer clock;
    clock.start();
    const JobOutcome outcome = runToEnd(runner.probe(PortTarget::device(device), report));
    const qint64 ms = clock.elapsed();

    QCOMPARE(outcome, JobOutcome::Failed);
    QCOMPARE(report.errors.size(), 1);
    QVERIFY2(report.errors.first().contains(named), qPrintable(report.errors.first()));
    QVERIFY2(report.errors.first().contains(expected), qPrintable(report.errors.first()));
    QVERIFY2(ms >= minMs && ms <= maxMs, qPrintable(QStringLiteral("gave up after %1 ms").arg(ms)));
    // The event loop ran all through the wait: a timer kept firing.
    QVERIFY2(ticks >= (ms - 200) / 50 * 3 / 4,
             qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(ms)));
    QVERIFY(report.exchanges.isEmpty());
    QVERIFY(!runner.findChild<BoardLink *>()->isOpen());

    const auto boards = fastServer();
    QCOMPARE(runToEnd(runner.probe(PortTarget::device(boards->devicePath()), report)),
             JobOutcome::Complete);
    QCOMPARE(boards->allBytes(), probeFrames());
}

void TestTcp::connectCancelled_data() {
    QTest::addColumn<QString>("job");
    QTest::newRow("upload cancelled while connecting") << "upload";
    QTest::newRow("monitor cancelled while connecting") << "monitor";
}

// Closing the window or a signal during the connect ends it at once, with no error to show.
void TestTcp::connectCancelled() {
    QFETCH(QString, job);
    HangingListener hanging;
    QVERIFY2(hanging.hangs(), "a connect to a full accept queue does not hang here");
    JobRunner runner;
    RecordingReport report;
    const PortTarget port = PortTarget::device(hanging.device());
    Job *const connecting = job == QLatin1String("upload")
                                ? runner.upload(report.request(port), report)
                                : runner.monitor(port, report);
    QTimer::singleShot(300, connecting, &Job::cancel);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runToEnd(connecting), JobOutcome::Aborted);
    QVERIFY(!report.progressOpen);
    QCOMPARE(report.outcomes, QList<JobOutcome>{JobOutcome::Aborted});
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(report.errors.isEmpty());
    QVERIFY(!runner.findChild<BoardLink *>()->isOpen());
}

void TestTcp::serverClosesMidJob_data() {
    QTest::addColumn<QString>("job");
    QTest::addColumn<int>("afterFrame"); // counted from 1
    QTest::addColumn<bool>("serverStops");

    QTest::newRow("client dropped in the row pairs") << "upload" << 10 << false;
    QTest::newRow("server stops in the row pairs") << "upload" << 10 << true;
    QTest::newRow("client dropped before any reply") << "upload" << 1 << false;
    QTest::newRow("client dropped while monitoring") << "monitor" << 0 << false;
}

void TestTcp::serverClosesMidJob() {
    QFETCH(QString, job);
    QFETCH(int, afterFrame);
    QFETCH(bool, serverStops);

    auto boards = fastServer();
    const QString named = boards->devicePath().mid(6);
    const QMetaObject::Connection closing =
        QObject::connect(boards.get(), &LineBoards::frameReceived, boards.get(), [&] {
            if (boards->received().size() == afterFrame)
                // Not from inside the boards' own read handler.
                QTimer::singleShot(0, boards.get(),
                                   [&] { serverStops ? boards->vanish() : boards->dropClient(); });
        });
    JobRunner runner;
    runner.findChild<QTimer *>(QStringLiteral("tmrTout"))->setInterval(FastWindowMs);
    RecordingReport report;
    const PortTarget port = PortTarget::device(boards->devicePath());

    if (job == QLatin1String("upload")) {
        QCOMPARE(runToEnd(runner.upload(report.request(port), report)), JobOutcome::Failed);
        // The frames before the close arrived whole, and nothing after the error was written.
        QCOMPARE(boards->allBytes(), goldenUpload().left(boards->allBytes().size()));
        QVERIFY(boards->received().size() <= afterFrame + 1);
        QVERIFY(report.progressOpenAtFailure);
        QVERIFY(!report.progressOpen);
    } else {
        runner.monitor(port, report)->start();
        QVERIFY(waitFor([&] { return boards->hasClient(); }, 2000));
        boards->sendUnasked("7 restarted");
        QVERIFY(waitFor([&] { return report.receiveLine() == "7 restarted"; }, 2000));
        boards->dropClient();
        QVERIFY(waitFor([&] { return !report.outcomes.isEmpty(); }, 2000));
    }
    QCOMPARE(report.outcomes, QList<JobOutcome>{JobOutcome::Failed});
    QCOMPARE(report.errors.size(), 1);
    QVERIFY2(report.errors.first().contains(named), qPrintable(report.errors.first()));
    QVERIFY2(report.errors.first().contains(QLatin1String("closed by the device server")),
             qPrintable(report.errors.first()));
    QCOMPARE(report.errors.first().contains(QLatin1String("another may be connected")),
             afterFrame == 1);
    QVERIFY(!runner.findChild<BoardLink *>()->isOpen());

    // The next job runs as usual, against the same server or one started again.
    QObject::disconnect(closing);
    if (serverStops)
        boards = fastServer();
    boards->clear();
    QCOMPARE(runToEnd(runner.probe(PortTarget::device(boards->devicePath()), report)),
             JobOutcome::Complete);
    QCOMPARE(boards->allBytes(), probeFrames());
}

void TestTcp::sendExitStatus_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    const QStringList upload;
    const QStringList test{QStringLiteral("--test")};
    QTest::newRow("refused port") << "refused" << upload << 2 << "the connection was refused" << 0
                                  << 2000;
    QTest::newRow("connect never completes")
        << "hanging" << test << 2 << "no connection within 3 s" << 2950 << 5000;
    QTest::newRow("SIGTERM while connecting")
        << "terminate" << upload << 128 + SIGTERM << "" << 0 << 2000;
    QTest::newRow("server closes mid-upload")
        << "closes" << upload << 2 << "closed by the device server" << 0 << 20000;
    QTest::newRow("monitor: server closes") << "closes" << QStringList{QStringLiteral("--monitor")}
                                            << 2 << "closed by the device server" << 0 << 20000;
}

// display-send as a scheduler runs it: each connection fault is exit 2 with host and port on
// standard error.
void TestTcp::sendExitStatus() {
    QFETCH(QString, kind);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, expected);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    HangingListener hanging;
    const auto boards = fastServer();
    QString device = hanging.device();
    if (kind == QLatin1String("refused")) {
        device = QStringLiteral("tcp://127.0.0.1:%1").arg(refusedPort());
    } else if (kind == QLatin1String("closes")) {
        device = boards->devicePath();
        // After the fourth frame of an upload; a monitor once it has connected.
        QObject::connect(boards.get(), &LineBoards::frameReceived, boards.get(), [&] {
            if (boards->received().size() == 4)
                QTimer::singleShot(0, boards.get(), [&] { boards->dropClient(); });
        });
        QObject::connect(boards.get(), &TcpBoards::clientConnected, boards.get(), [&] {
            if (arguments.contains(QLatin1String("--monitor")))
                QTimer::singleShot(600, boards.get(), [&] { boards->dropClient(); });
        });
    } else {
        QVERIFY2(hanging.hangs(), "a connect to a full accept queue does not hang here");
    }

    QProcess process;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(startProgram(process, QStringLiteral(DISPLAY_SEND),
                         arguments + QStringList{QStringLiteral("--device"), device},
                         m_dir->path()));
    if (kind == QLatin1String("terminate"))
        QTimer::singleShot(500, &process,
                           [&process] { ::kill(pid_t(process.processId()), SIGTERM); });
    const ProgramResult run = finish(process);
    const qint64 ms = clock.elapsed();

    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(expected), qPrintable(run.err));
    if (status == 2)
        QVERIFY2(run.err.contains(device.mid(6)), qPrintable(run.err));
    QVERIFY2(ms >= minMs && ms <= maxMs, qPrintable(QString::number(ms)));
    if (kind == QLatin1String("closes") && !arguments.contains(QLatin1String("--monitor")))
        QCOMPARE(boards->allBytes(), goldenUpload().left(boards->allBytes().size()));
}

// A device server serves one program: the second is told so, and the first one's frames all
// arrive whole, in order, and are answered.
void TestTcp::secondProgramOnTheSamePort() {
    QProcess sim;
    sim.start(QStringLiteral(DISPLAY_BOARD_SIM),
              {QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--plain")});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    const QString device = QString::fromUtf8(sim.readLine()).trimmed();
    QVERIFY2(device.startsWith(QLatin1String("tcp://127.0.0.1:")), qPrintable(device));

    const QStringList test{QStringLiteral("--test"), QStringLiteral("--device"), device};
    QProcess first;
    QVERIFY(startProgram(first, QStringLiteral(DISPLAY_SEND), test, m_dir->path()));
    QTest::qWait(1200); // the first is two frames into its test
    QProcess second;
    QVERIFY(startProgram(second, QStringLiteral(DISPLAY_SEND), test, m_dir->path()));

    const ProgramResult secondRun = finish(second);
    const ProgramResult firstRun = finish(first);
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    const QString simOutput = QString::fromUtf8(sim.readAllStandardOutput());

    QCOMPARE(secondRun.status, 2);
    QVERIFY2(secondRun.err.contains(device.mid(6)), qPrintable(secondRun.err));
    QVERIFY2(secondRun.err.contains(QLatin1String("another may be connected")),
             qPrintable(secondRun.err));
    QCOMPARE(firstRun.status, 0);
    QVERIFY2(
        firstRun.out.contains(
            QStringLiteral("8 of 8 boards answered; %1 of %1 frames sent").arg(ProbeFrameCount)),
        qPrintable(firstRun.out));
    QVERIFY2(simOutput.contains(QLatin1String("refused: one client at a time")),
             qPrintable(simOutput));
    QCOMPARE(simOutput.count(QLatin1String(": probe of address")), ProbeFrameCount);
    QVERIFY2(!simOutput.contains(QLatin1String("REJECTED")), qPrintable(simOutput));
}

void TestTcp::simulatorListens_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<bool>("listens");

    QTest::newRow("port another program listens on") << "taken" << false;
    // Ports below 1024 need privilege: root may listen there, another user is refused.
    QTest::newRow("privileged port") << "127.0.0.1:1023" << (::geteuid() == 0);
}

// display-board-sim --tcp either prints the device that reaches it, or says why it cannot
// listen and ends with status 2.
void TestTcp::simulatorListens() {
    QFETCH(QString, where);
    QFETCH(bool, listens);
    std::unique_ptr<TcpBoards> taken;
    if (where == QLatin1String("taken")) {
        taken = fastServer();
        where = taken->devicePath().mid(6);
    }
    QProcess sim;
    sim.start(QStringLiteral(DISPLAY_BOARD_SIM),
              {QStringLiteral("--tcp"), where, QStringLiteral("--plain")});
    QVERIFY(sim.waitForStarted());
    if (listens) {
        QVERIFY(sim.waitForReadyRead(5000));
        QCOMPARE(QString::fromUtf8(sim.readLine()).trimmed(), QStringLiteral("tcp://") + where);
        QVERIFY(!sim.waitForFinished(300));
        sim.kill();
        sim.waitForFinished();
    } else {
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 2);
        const QString err = QString::fromUtf8(sim.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("cannot listen on %1").arg(where)), qPrintable(err));
        QVERIFY(sim.readAllStandardOutput().isEmpty());
    }
}

void TestTcp::floodingPeer_data() {
    QTest::addColumn<QString>("job");
    QTest::newRow("board test") << "test";
    QTest::newRow("monitor") << "monitor";
}

// A device server that floods the line: each window or poll keeps its first bytes and drops the
// rest, and the job judges and ends as usual.
void TestTcp::floodingPeer() {
    QFETCH(QString, job);

    // A device server sending '0' without end, 128 KiB every 5 ms.
    QTcpServer peer;
    QVERIFY(peer.listen(QHostAddress(QHostAddress::LocalHost)));
    QTimer flood;
    QObject::connect(&flood, &QTimer::timeout, &peer, [&peer] {
        for (QTcpSocket *client : peer.findChildren<QTcpSocket *>()) {
            if (client->bytesToWrite() == 0)
                client->write(QByteArray(128 * 1024, '0'));
        }
    });
    flood.start(5);
    JobRunner runner;
    runner.findChild<QTimer *>(QStringLiteral("tmrTout"))->setInterval(100);
    runner.findChild<QTimer *>(QStringLiteral("tmrRx"))->setInterval(100);
    RecordingReport report;
    const PortTarget port =
        PortTarget::device(QStringLiteral("tcp://127.0.0.1:%1").arg(peer.serverPort()));
    if (job == QLatin1String("test")) {
        QCOMPARE(runToEnd(runner.probe(port, report)), JobOutcome::Complete);
        QCOMPARE(report.lights, QStringLiteral("GRRRRRRRR"));
    } else {
        Job *const monitor = runner.monitor(port, report);
        monitor->start();
        QVERIFY(waitFor([&] { return report.receiveLines.size() >= 3; }, 5000));
        monitor->cancel();
    }
    QVERIFY(report.errors.isEmpty());
    QVERIFY(report.receiveLines.size() >= 3);
    for (const QByteArray &kept : std::as_const(report.receiveLines))
        QCOMPARE(kept, QByteArray(BoardLink::KeptBytes, '0'));
}

QTEST_GUILESS_MAIN(TestTcp)
#include "tst_tcp.moc"
