#pragma once

// Simulated display boards on their line: a pseudo-terminal that the console opens like any
// serial device, or a TCP port like a device server's. Frames arriving are parsed
// (frameparser.h) and applied to the board bank (boardbank.h), which says what each board answers.
// display-board-sim and the tests' fake boards are both built on this one piece of code.

#include "boardbank.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// The boards' end of a line: frames arriving on it are recorded with their arrival time, applied
// to the bank and answered after the reply delay (late boards after lateDelayMs). What the line
// is (a pseudo-terminal, a TCP connection) is up to the class built on this one.
class LineBoards : public QObject {
    Q_OBJECT

public:
    struct ReceivedFrame {
        QByteArray bytes; // the frame with its carriage return
        qint64 atMs = 0;  // milliseconds since the boards were created
    };
    struct SentReply {
        int address = -1;
        QByteArray bytes; // as written to the line
        qint64 atMs = 0;
    };

    ~LineBoards() override;

    virtual bool isValid() const = 0;
    virtual QString devicePath() const = 0; // what the console opens: "/dev/pts/3", "tcp://..."
    virtual int portNumber() const { return -1; } // the console's number that reaches it, or -1

    BoardBank &bank() { return m_bank; }
    void setReplyDelayMs(int ms) { m_replyDelayMs = ms; } // default 20
    void setLateDelayMs(int ms) { m_lateDelayMs = ms; }   // default 700
    int replyDelayMs() const { return m_replyDelayMs; }
    int lateDelayMs() const { return m_lateDelayMs; }
    const BoardBank &bank() const { return m_bank; }
    // Extra bytes sent after the reply digit for present boards (default " OK").
    void setReplyTail(const QByteArray &tail) { m_bank.setReplyTail(tail); }

    const QList<ReceivedFrame> &received() const { return m_received; }
    const QList<SentReply> &replies() const { return m_replies; } // in the order they were sent
    QByteArray allBytes() const;                                  // everything received, in order
    void clear(); // forgets what was received and replied, not what boards hold

    // The line goes away for good (the adapter is pulled, the device server stops): the
    // console's port fails.
    virtual void vanish() = 0;

    // Lets go of this end's hold on the line: once the console has closed its end as well, the
    // line is down, lineClosed() is emitted and nothing more is read. Until then frames are taken
    // and answered as before.
    virtual void releaseLine() = 0;

    // Bytes a board puts on the line unasked (noise, a board restarting), for the receive
    // monitor to show. Written at once; not recorded as a reply.
    void sendUnasked(const QByteArray &bytes);

Q_SIGNALS:
    void frameReceived(const QByteArray &frame, const ParsedFrame &parsed);
    void invalidFrame(const QByteArray &frame, const QString &problem);
    void replySent(int address, const QByteArray &reply);
    void lineClosed();

protected:
    explicit LineBoards(QObject *parent);

    // Reads and answers frames on fd (non-blocking) until detachLine() or the far end goes.
    void attachLine(int fd, bool isSocket);
    // Stops reading; closes the descriptor when close is true.
    void detachLine(bool close);
    int lineFd() const { return m_line; }
    // The far end closed the line: everything it sent has been taken.
    virtual void lineEnded() = 0;

private:
    void readLine();
    void takeFrames();
    void takeFrame(const QByteArray &frame);
    void sendReply(int address, const QByteArray &reply);
    bool writeToLine(const QByteArray &bytes);

    int m_line = -1;
    bool m_lineIsSocket = false;
    QSocketNotifier *m_notifier = nullptr;
    QElapsedTimer m_clock;
    BoardBank m_bank;
    QByteArray m_partial;
    QList<ReceivedFrame> m_received;
    QList<SentReply> m_replies;
    int m_replyDelayMs = 20;
    int m_lateDelayMs = 700;
};

// A pseudo-terminal pair whose far end (the slave device, e.g. /dev/pts/3) the console opens.
class PtyBoards : public LineBoards {
    Q_OBJECT

public:
    explicit PtyBoards(QObject *parent = nullptr);
    ~PtyBoards() override;

    bool isValid() const override { return m_master >= 0; }
    QString devicePath() const override; // "/dev/pts/3"
    int portNumber() const override;     // 100 + pts index, or -1 beyond the console's table

    // The adapter is pulled: closes the pseudo-terminal so the console's port fails.
    void vanish() override;
    void releaseLine() override;

protected:
    void lineEnded() override;

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the line stays up between the console's opens
    QString m_devicePath;
};

class TcpListener;

// A device server in raw mode: the boards' line is the one TCP connection a console opens to
// host:port ("tcp://127.0.0.1:4001"). Like such a server it serves one client at a time; a
// second connection is closed at once, without a byte.
class TcpBoards : public LineBoards {
    Q_OBJECT

public:
    // port 0: any free port (devicePath() says which).
    TcpBoards(const QHostAddress &host, quint16 port, QObject *parent = nullptr);
    ~TcpBoards() override;

    bool isValid() const override;
    QString listenProblem() const; // why it is not listening, empty when it is
    QString devicePath() const override;
    quint16 tcpPort() const;
    bool hasClient() const { return lineFd() >= 0; }

    // The server stops: the client's connection is closed and nothing more is accepted.
    void vanish() override;
    // Closes the client's connection and waits for the next one.
    void dropClient();
    void releaseLine() override { m_released = true; }

Q_SIGNALS:
    void clientConnected(const QString &peer);
    void clientRefused(const QString &peer); // a second client while one is served
    void clientLeft(const QString &peer);

protected:
    void lineEnded() override;

private:
    void takeConnection(int fd);

    TcpListener *const m_listener;
    QString m_peer;
    bool m_released = false;
};
