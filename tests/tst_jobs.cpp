#include "barepty.h"
#include "boardlink.h"
#include "fakeconsole.h"
#include "framebuilder.h"
#include "jobs.h"
#include "sendrec.h"

#include <QFile>
#include <QTest>
#include <QTimer>

// The jobs against a console without widgets, on ports that cannot open and on a bare
// pseudo-terminal that records what was written and never answers.
class TestJobs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void uploadUnopenablePort();
    void uploadNoPortSelected();
    void uploadToSilentLine();
    void probeUnopenablePort();
    void monitorStartRefused();
    void monitorStartAndStop();
    void uploadWhileMonitorHoldsThePort();
    void abortStopsTheUpload();
    void exitStopsTheUpload();

private:
    struct Rig {
        FakeConsole console;
        BoardLink link;
        SendRec exchange{&link, &console};
        Rig() { exchange.setReplyWindowMs(5); }
    };
};

void TestJobs::uploadUnopenablePort() {
    Rig rig;
    rig.console.portPosition = 97; // COM 98: no device
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.console.errors, QStringList{QStringLiteral("Cannot open COM 98: no such port.")});
    QCOMPARE(rig.console.port, qint16(98));
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
    QVERIFY(!rig.link.isOpen());
}

void TestJobs::uploadNoPortSelected() {
    Rig rig;
    rig.console.portPosition = -1;
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(rig.console.port, qint16(0));
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(rig.console.errors.front().contains(QLatin1String("no port selected")));
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
}

void TestJobs::uploadToSilentLine() {
    BarePty pty;
    if (pty.portNumber() > 250)
        QSKIP("pseudo-terminal beyond the console's port table");
    Rig rig;
    rig.console.portPosition = pty.portNumber() - 1;
    bool sendDisabledDuring = false;
    rig.console.progressDisplay.onValue = [&](float) {
        sendDisabledDuring = !rig.console.sendEnabled;
    };

    UploadJob(rig.console, rig.link, rig.exchange).run();

    QFile golden(QFINDTESTDATA("data/default-upload-delay5.bin"));
    QVERIFY(golden.open(QIODevice::ReadOnly));
    QCOMPARE(pty.drain(), golden.readAll());

    QList<float> expected;
    for (int value = 0; value <= 96; value += 2)
        expected.append(float(value));
    expected.append(100);
    QCOMPARE(rig.console.progressDisplay.values, expected);
    QCOMPARE(rig.console.progressDisplay.message, QStringLiteral("Processing ...."));
    QVERIFY(sendDisabledDuring);
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(rig.console.sendEnabled);
    QVERIFY(!rig.console.progressDisplay.shown);
    QVERIFY(!rig.link.isOpen());
    QCOMPARE(rig.console.receiveLine, QByteArray());
    for (int address = 1; address <= 8; ++address)
        QCOMPARE(rig.console.lights.at(address), Light::Red);
    QCOMPARE(rig.console.lights.at(0), Light::Cyan);
}

void TestJobs::probeUnopenablePort() {
    Rig rig;
    rig.console.portPosition = 63; // COM 64, /dev/ttyUSB31
    ProbeJob(rig.console, rig.link, rig.exchange).run();
    QCOMPARE(rig.console.port, qint16(64));
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(rig.console.errors.front().startsWith(
        QStringLiteral("Cannot open /dev/ttyUSB31 (COM 64): no such port")));
    for (Light light : rig.console.lights)
        QCOMPARE(light, Light::Cyan);
}

void TestJobs::monitorStartRefused() {
    Rig rig;
    MonitorJob monitor(rig.console, rig.link);
    rig.console.port = 0;
    monitor.toggle();
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(!monitor.isRunning());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));

    rig.console.port = 300; // from display.cfg: no device
    monitor.toggle();
    QCOMPARE(rig.console.errors.last(), QStringLiteral("Cannot open COM 300: no such port."));
    QVERIFY(!monitor.isRunning());
}

void TestJobs::monitorStartAndStop() {
    BarePty pty;
    if (pty.portNumber() > 250)
        QSKIP("pseudo-terminal beyond the console's port table");
    Rig rig;
    MonitorJob monitor(rig.console, rig.link);
    rig.console.port = qint16(pty.portNumber());
    rig.console.portPosition = 1; // the list is not read
    monitor.toggle();
    QVERIFY(monitor.isRunning());
    QVERIFY(rig.link.isOpen());
    QCOMPARE(rig.link.portNumber(), pty.portNumber());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Stop"));
    monitor.toggle();
    QVERIFY(!monitor.isRunning());
    QVERIFY(!rig.link.isOpen());
    QCOMPARE(rig.console.monitorCaption, QStringLiteral("Rec Only"));
    QVERIFY(rig.console.errors.isEmpty());
}

void TestJobs::uploadWhileMonitorHoldsThePort() {
    BarePty pty;
    if (pty.portNumber() > 250)
        QSKIP("pseudo-terminal beyond the console's port table");
    Rig rig;
    MonitorJob monitor(rig.console, rig.link);
    rig.console.port = qint16(pty.portNumber());
    monitor.toggle();
    QVERIFY(monitor.isRunning());

    rig.console.portPosition = 4;
    UploadJob(rig.console, rig.link, rig.exchange).run();
    QCOMPARE(rig.console.port, qint16(5));
    QCOMPARE(rig.console.errors.size(), 1);
    QVERIFY(
        rig.console.errors.front().startsWith(QStringLiteral("Cannot change the port to COM 5")));
    QVERIFY(rig.console.sendEnabled);
    QCOMPARE(rig.console.progressDisplay.showCount, 0);
    // The monitor keeps the port.
    QVERIFY(monitor.isRunning());
    QVERIFY(rig.link.isOpen());
    QCOMPARE(pty.drain(), QByteArray());
}

void TestJobs::abortStopsTheUpload() {
    BarePty pty;
    if (pty.portNumber() > 250)
        QSKIP("pseudo-terminal beyond the console's port table");
    Rig rig;
    rig.exchange.setReplyWindowMs(50);
    rig.console.portPosition = pty.portNumber() - 1;
    // The window closes while the third exchange waits.
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 2)
            QTimer::singleShot(10, &rig.exchange, [&] { rig.exchange.abort(); });
    };
    UploadJob(rig.console, rig.link, rig.exchange).run();

    QCOMPARE(pty.drain(), QByteArray("*Q\r*Q\r1ED00TSCHazardous chemicals - Quantity~CHEMICAL"
                                     "            QUANTITY(MT)\r2ED00TSC") +
                              rig.console.pages.row(2).toLatin1() + '~' +
                              rig.console.pages.row(3).toLatin1() + '\r');
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(!rig.link.isOpen());
    QVERIFY(!rig.console.progressDisplay.shown);
    QVERIFY(rig.exchange.isAborted());
}

void TestJobs::exitStopsTheUpload() {
    BarePty pty;
    if (pty.portNumber() > 250)
        QSKIP("pseudo-terminal beyond the console's port table");
    Rig rig;
    rig.console.portPosition = pty.portNumber() - 1;
    rig.console.progressDisplay.onValue = [&](float value) {
        if (value == 4)
            QCoreApplication::exit(0);
    };
    UploadJob(rig.console, rig.link, rig.exchange).run();
    // The application was told to exit after the second row pair: the third went out, its wait
    // ended at once, and nothing more was written.
    const QByteArray line = pty.drain();
    QCOMPARE(line.count('\r'), 2 + 3);
    QVERIFY(line.endsWith(FrameBuilder::rowPairFrame(0, 2, rig.console.pages)));
    QVERIFY(rig.console.errors.isEmpty());
    QVERIFY(!rig.link.isOpen());
    QVERIFY(!rig.console.progressDisplay.shown);

    // Every later event loop would return at once too; running the application's own loop
    // clears that for whatever runs after this test.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
