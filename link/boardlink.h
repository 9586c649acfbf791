#pragma once

#include "porttarget.h"

#include <QObject>
#include <QString>

class QEventLoop;
class QSerialPort;
class QTcpSocket;
class QTimer;

// The console's one line to the boards, chosen by number: a serial port at 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control; or, for a device named "tcp://HOST:PORT", a
// raw TCP connection to a device server that puts the same bytes on its serial line. Receive is
// polled, never event-driven.
//
// Every failing operation throws Failure with a text naming the device and the port number (the
// host and port for TCP).

class BoardLink : public QObject {
    Q_OBJECT

public:
    explicit BoardLink(QObject *parent = nullptr);
    ~BoardLink() override;

    // Refused for a number below 1 (unless the device is named outright), and for any port
    // while the port is open.
    void setPort(const PortTarget &port);
    void setPortNumber(int portNumber) { setPort(PortTarget::number(portNumber)); }
    const PortTarget &port() const { return m_target; }
    int portNumber() const { return m_target.portNumber(); }

    // Fails when there is no such port, it is held by another program or by this one, or the
    // user may not use serial devices. A TCP device is connected in a live wait of at most
    // ConnectTimeoutMs (the event loop runs meanwhile); it fails when the connection is refused,
    // the host cannot be found or reached, or no connection was made in time, and throws
    // Aborted when the wait is cut short by cancelOpen(), close() or the application exiting.
    static constexpr int ConnectTimeoutMs = 3000;
    void open();
    // Ends a running connect wait at once; that open() throws Aborted. Nothing otherwise.
    void cancelOpen();
    // Also ends a running connect wait.
    void close();
    // True from the start of a connect until the close.
    bool isOpen() const;

    // Queues the frame and returns without waiting for it to leave the line. Raises the first
    // error the port signalled since the open, if any.
    void write(const QByteArray &bytes);
    // Everything waiting, possibly nothing. Raises the first error signalled since the open.
    QByteArray readAll();

Q_SIGNALS:
    // The device failed (for example, the adapter was pulled). Emitted once; the port is already
    // closed when it is.
    void failed(const QString &text);

private:
    void openTcp();
    void tcpFailed();
    QString tcpLabel() const;

    QSerialPort *const m_port;
    QTcpSocket *const m_socket;
    PortTarget m_target = PortTarget::number(1);
    QString m_pendingError;
    bool m_tcp = false;                  // the open device is m_socket
    QEventLoop *m_connectWait = nullptr; // the running connect's loop, on openTcp()'s stack
    bool m_receivedSinceOpen = false;    // the device server has sent something since the open
};
