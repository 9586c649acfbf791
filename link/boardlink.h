#pragma once

#include "porttarget.h"

#include <QObject>
#include <QString>

class QIODevice;
class QSerialPort;
class QTcpSocket;
class QTimer;

// The console's one line to the boards, chosen by number: a serial port at 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control; or, for a device named "tcp://HOST:PORT", a
// raw TCP connection to a device server that puts the same bytes on its serial line. Receive is
// polled: a job reads what arrived at the end of each window. Meanwhile arriving bytes are taken
// off the device as they come, and only the first KeptBytes of them kept, so that a device that
// floods the line costs no memory.
//
// Every failing operation throws Failure with a text naming the device and the port number (the
// host and port for TCP).

// What arrived between two reads: its first BoardLink::KeptBytes, and how many bytes after those
// were read and dropped.
struct ReceivedBytes {
    QByteArray bytes;
    qint64 dropped = 0;
};

class BoardLink : public QObject {
    Q_OBJECT

public:
    explicit BoardLink(QObject *parent = nullptr);
    ~BoardLink() override;

    // Refused for a number below 1 (unless the device is named outright), and for any port
    // while the port is open.
    void setPort(const PortTarget &port);

    // Fails at once when there is no such port, it is held by another program or by this one, or
    // the user may not use serial devices. A TCP device connects while the event loop runs:
    // opened() follows when the connection is made, failed() when it is refused, the host
    // cannot be found or reached, or no connection was made within ConnectTimeoutMs.
    static constexpr int ConnectTimeoutMs = 3000;
    void open();
    bool isConnecting() const;
    // Also ends a running connect, with nothing reported.
    void close();
    // True from the start of a connect until the close.
    bool isOpen() const;

    // Queues the frame and returns without waiting for it to leave the line. Raises the first
    // error the port signalled since the open, if any.
    void write(const QByteArray &bytes);
    // What arrived since the last read (or the open), possibly nothing. Raises the first error
    // signalled since the open.
    ReceivedBytes read();

    // A reply is judged by its first byte and the receive line shows a few hundred; a monitor
    // poll prints what it kept. Far more than a board ever says in one window.
    static constexpr qsizetype KeptBytes = 4096;

Q_SIGNALS:
    // A network device's connection was made (never emitted from inside open()).
    void opened();
    // A connect failed, or the device failed (for example, the adapter was pulled). Emitted once,
    // never from inside open(); the port is already closed when it is.
    void failed(const QString &text);

private:
    void openTcp();
    void tcpFailed();
    void connectFailed(const QString &why);
    void reportFailure(const QString &text);
    QString tcpLabel() const;
    QIODevice *device() const;
    // The open device, after the error it signalled since the open, if any, or its absence
    // raised as a failure to action ("write to", "read from") it.
    QIODevice *usableDevice(const QString &action) const;
    void gather();

    QSerialPort *const m_port;
    QTcpSocket *const m_socket;
    QTimer *const m_connectTimer;
    PortTarget m_target = PortTarget::number(1);
    QString m_pendingError;
    bool m_tcp = false;               // the open device is m_socket
    quint64 m_opening = 0;            // counts the opens
    bool m_receivedSinceOpen = false; // the device server has sent something since the open
    ReceivedBytes m_received;         // since the last read
};
