#pragma once

#include "porttarget.h"

#include <QObject>
#include <QString>

class QSerialPort;

// The console's one serial port to the boards, chosen by number. 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control; receive is polled, never event-driven.
//
// Every failing operation throws Failure with a text naming the device and the port number.

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
    // user may not use serial devices.
    void open();
    void close();
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
    QSerialPort *const m_port;
    PortTarget m_target = PortTarget::number(1);
    QString m_pendingError;
};
