#pragma once

#include <QObject>

class BoardLink;
class ConsoleHost;
class QTimer;
class SendRec;

// SEND: "*Q" twice, the 48 row pairs page by page, the page delay, "*Q". Each frame is built
// from the rows as they stand when it is sent, so an edit made during the upload travels if its
// pair has not gone yet. Never throws: a port failure is reported through the host once, after
// which the progress window is closed, the port closed and SEND enabled again.
class UploadJob {
public:
    UploadJob(ConsoleHost &host, BoardLink &link, SendRec &exchange);
    void run();

private:
    ConsoleHost &m_host;
    BoardLink &m_link;
    SendRec &m_exchange;
};

// Test: probes addresses 0..8 so that each status light shows whether its board answers.
class ProbeJob {
public:
    ProbeJob(ConsoleHost &host, BoardLink &link, SendRec &exchange);
    void run();

private:
    ConsoleHost &m_host;
    BoardLink &m_link;
    SendRec &m_exchange;
};

// Rec Only / Stop: holds the port open and shows what arrives every 500 ms. Running exactly
// while tmrRx is active.
class MonitorJob : public QObject {
    Q_OBJECT

public:
    static constexpr int PollMs = 500;

    MonitorJob(ConsoleHost &host, BoardLink &link, QObject *parent = nullptr);

    void toggle(); // the button
    bool isRunning() const;
    QTimer *tmrRx() const { return m_tmrRx; }

private:
    void poll();
    void stop();
    void stopAfterFailure(const QString &text);

    ConsoleHost &m_host;
    BoardLink &m_link;
    QTimer *const m_tmrRx;
};
