#pragma once

// Fake boards on a pseudo-terminal with the console's side of the line in the same process: the
// job runner and a report that records what the jobs showed. The boards answer from the event
// loop the test waits in, so a test runs an upload just as the console does. The link
// reaches the boards by their device path, whatever number the system gave the pseudo-terminal.

#include "boardlink.h"
#include "boards.h"
#include "frameexchange.h"
#include "jobrunner.h"
#include "recordingreport.h"

#include <QElapsedTimer>
#include <QList>
#include <QSignalSpy>
#include <QTimer>

#include <initializer_list>

class BoardRig {
public:
    // A short reply window runs the jobs at the fake boards' speed; present boards answer well
    // inside it and late boards in the middle of the next one.
    static constexpr int FastWindowMs = 20;

    explicit BoardRig(int replyWindowMs = FastWindowMs) {
        replyWindow()->setInterval(replyWindowMs);
        if (replyWindowMs < FrameExchange::ReplyWindowMs) {
            boards.setReplyDelayMs(1);
            boards.setLateDelayMs(replyWindowMs * 3 / 2);
        }
        m_clock.start();
        QObject::connect(&boards, &PtyBoards::frameReceived, &boards, [this] {
            arrivalsNs.append(m_clock.nsecsElapsed());
            if (arrivalsNs.size() == m_vanishAt)
                // Not from inside the boards' own read handler.
                QTimer::singleShot(0, &boards, [this] { boards.vanish(); });
        });
    }

    // The fake boards' device, as a device named outright.
    PortTarget port() const { return PortTarget::device(boards.devicePath()); }
    UploadRequest request() { return report.request(port()); }

    // How addresses 0, 1, ... answer; the rest stay present.
    void plan(std::initializer_list<BoardBehaviour> behaviours) {
        int address = 0;
        for (BoardBehaviour behaviour : behaviours)
            boards.bank().setBehaviour(address++, behaviour);
    }

    // The adapter is pulled right after the n-th frame (counted from 1) arrives.
    void vanishAfterFrame(int n) { m_vanishAt = n; }

    QList<QByteArray> frames() const {
        QList<QByteArray> all;
        for (const PtyBoards::ReceivedFrame &frame : boards.received())
            all.append(frame.bytes);
        return all;
    }

    JobOutcome upload() { return runToEnd(runner.upload(request(), report)); }
    JobOutcome probe() { return runToEnd(runner.probe(port(), report)); }
    // The monitor on the boards, polling.
    Job *startMonitor() {
        Job *monitor = runner.monitor(port(), report);
        monitor->start();
        return monitor;
    }

    // One exchange on the open link, after its whole window.
    ExchangeResult exchangeOnce(const QByteArray &frame) {
        QSignalSpy spy(&exchange(), &FrameExchange::exchanged);
        exchange().send(frame);
        return spy.wait(10000) ? spy.first().first().value<ExchangeResult>() : ExchangeResult{};
    }

    BoardLink &link() { return *runner.findChild<BoardLink *>(QStringLiteral("cm")); }
    FrameExchange &exchange() { return *runner.findChild<FrameExchange *>(); }
    QTimer *replyWindow() { return runner.findChild<QTimer *>(QStringLiteral("tmrTout")); }
    QTimer *pollTimer() { return runner.findChild<QTimer *>(QStringLiteral("tmrRx")); }

    PtyBoards boards;
    RecordingReport report; // outlives the runner, which ends its jobs
    JobRunner runner;
    QList<qint64> arrivalsNs; // when each frame reached the boards

private:
    QElapsedTimer m_clock;
    int m_vanishAt = -1;
};

// Serial tests must reach the fake boards; without a pseudo-terminal they fail, never skip.
#define REQUIRE_BOARDS(boards)                                                                     \
    QVERIFY2((boards).isValid(), "no pseudo-terminal for the fake boards")
