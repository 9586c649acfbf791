#include "boardlink.h"

#include "failure.h"
#include "portfailure.h"

#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

QString openFailureText(const PortTarget &port, QSerialPort::SerialPortError error,
                        const QString &platformText) {
    const QString head = QStringLiteral("Cannot open %1: ").arg(port.label());
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return head + QStringLiteral("no such port (%1).").arg(platformText);
    case QSerialPort::OpenError:
        return head + QStringLiteral("the port is already open in this console.");
    case QSerialPort::PermissionError:
        // QSerialPort reports a held lock file (/run/lock/LCK..name) and a busy device as
        // permission errors; to the operator both mean someone else has the port.
        if (platformText.contains(QLatin1String("lock"), Qt::CaseInsensitive) ||
            platformText.contains(QLatin1String("busy"), Qt::CaseInsensitive))
            return head +
                   QStringLiteral("the port is in use by another program (%1).").arg(platformText);
        return head +
               QStringLiteral("permission denied (%1). The user must be allowed to use serial "
                              "devices, for example as a member of the dialout group.")
                   .arg(platformText);
    default:
        return head + platformText + QLatin1Char('.');
    }
}

BoardLink::BoardLink(QObject *parent)
    : QObject(parent)
    , m_port(new QSerialPort(this))
    , m_socket(new QTcpSocket(this))
    , m_connectTimer(new QTimer(this)) {
    m_port->setBaudRate(QSerialPort::Baud9600);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    // No cap on the port's receive buffer: gather() empties it as bytes arrive, keeping what a
    // read returns and dropping the rest. A cap would leave the rest of a long reply in the
    // system for the next exchange to read as its own reply and judge that board by, and would
    // refuse a board that chatters faster than the console reads once the system's buffer is
    // full. QSerialPort has no transmit buffer setting: a write is queued whole.
    m_port->setReadBufferSize(0);
    connect(m_port, &QIODevice::readyRead, this, &BoardLink::gather);

    connect(m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::NoError || !m_port->isOpen())
            return;
        const QString text = QStringLiteral("The connection to %1 failed: %2.")
                                 .arg(m_target.label(), m_port->errorString());
        if (m_pendingError.isEmpty())
            m_pendingError = text;
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
            error == QSerialPort::WriteError) {
            // A vanished device signals these endlessly while the port stays open (about
            // 100,000 times in 200 ms at full CPU on a closed pseudo-terminal): close at once.
            m_port->close();
            reportFailure(m_pendingError);
        }
    });

    // As with the serial port. The socket takes at most what the system holds at each
    // notification, and gather() empties it at once.
    m_socket->setReadBufferSize(0);
    connect(m_socket, &QIODevice::readyRead, this, [this] {
        m_receivedSinceOpen = true;
        gather();
    });
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setTimerType(Qt::PreciseTimer);
    m_connectTimer->setInterval(ConnectTimeoutMs);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        connectFailed(QStringLiteral("no connection within %1 s (the host does not answer, or "
                                     "the device server accepts no more connections).")
                          .arg(ConnectTimeoutMs / 1000));
    });
    connect(m_socket, &QAbstractSocket::connected, this, [this] {
        m_connectTimer->stop();
        // Frames are a few dozen bytes, each followed by a timed window: send each at once
        // rather than holding it back to be merged with the next.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QMetaObject::invokeMethod(
            this,
            [this, opening = m_opening] {
                if (opening == m_opening && isOpen())
                    Q_EMIT opened();
            },
            Qt::QueuedConnection);
    });
    connect(m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                const QString platformText = m_socket->errorString();
                if (!isConnecting()) {
                    if (m_tcp) // a closed link has nothing left to lose
                        tcpFailed();
                    return;
                }
                switch (error) {
                case QAbstractSocket::ConnectionRefusedError:
                    return connectFailed(QStringLiteral(
                        "the connection was refused (nothing listens on that port)."));
                case QAbstractSocket::HostNotFoundError:
                    return connectFailed(QStringLiteral("no such host (%1).").arg(platformText));
                case QAbstractSocket::NetworkError:
                    return connectFailed(
                        QStringLiteral("the host cannot be reached (%1).").arg(platformText));
                default:
                    return connectFailed(platformText + QLatin1Char('.'));
                }
            });
}

BoardLink::~BoardLink() {
    close();
}

void BoardLink::setPort(const PortTarget &port) {
    if (!port.isNamed() && port.portNumber() < 1)
        throw Failure(QStringLiteral("Cannot use COM %1: no port selected. Choose a port from "
                                     "the list.")
                          .arg(port.portNumber()));
    if (isOpen())
        throw Failure(QStringLiteral("Cannot change the port to %1: %2 is already open "
                                     "(another job or the receive monitor holds it).")
                          .arg(port.isNamed() ? port.label()
                                              : QStringLiteral("COM %1").arg(port.portNumber()),
                               m_target.label()));
    m_target = port;
}

void BoardLink::open() {
    if (isOpen())
        throw Failure(openFailureText(m_target, QSerialPort::OpenError, {}));
    ++m_opening;
    const QString &device = m_target.devicePath();
    if (device.isEmpty())
        throw Failure(QStringLiteral("Cannot open %1: %2")
                          .arg(m_target.label(), m_target.problem().isEmpty()
                                                     ? QStringLiteral("no such port.")
                                                     : m_target.problem()));
    m_pendingError.clear();
    m_received = {};
    if (isTcpDevice(device))
        return openTcp();
    m_port->setPortName(device);
    m_port->clearError();
    if (!m_port->open(QIODevice::ReadWrite))
        throw Failure(openFailureText(m_target, m_port->error(), m_port->errorString()));
}

void BoardLink::openTcp() {
    const std::optional<TcpEndpoint> endpoint = tcpEndpoint(m_target.devicePath());
    if (!endpoint)
        throw Failure(QStringLiteral("Cannot open %1: a network device is named "
                                     "tcp://HOST:PORT, with a port from 1 to 65535.")
                          .arg(m_target.label()));
    m_receivedSinceOpen = false;
    m_tcp = true;
    m_connectTimer->start();
    m_socket->connectToHost(endpoint->host, endpoint->port);
}

void BoardLink::connectFailed(const QString &why) {
    const QString text = QStringLiteral("Cannot connect to %1: %2").arg(tcpLabel(), why);
    close();
    reportFailure(text);
}

// Listeners may show a message box or start another job; let them do so from the event loop, not
// from inside the device's own notification or a call of open().
void BoardLink::reportFailure(const QString &text) {
    // A failure of an earlier open is not this one's.
    QMetaObject::invokeMethod(
        this,
        [this, text, opening = m_opening] {
            if (opening == m_opening)
                Q_EMIT failed(text);
        },
        Qt::QueuedConnection);
}

void BoardLink::tcpFailed() {
    QString text;
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError)
        text = m_receivedSinceOpen
                   ? QStringLiteral("The connection to %1 was closed by the device server.")
                         .arg(tcpLabel())
                   // A device server in raw mode serves one client: the usual reason a
                   // connection is closed before the boards said anything.
                   : QStringLiteral("The connection to %1 was closed by the device server before "
                                    "anything came back: it serves one program at a time, and "
                                    "another may be connected to it.")
                         .arg(tcpLabel());
    else
        text = QStringLiteral("The connection to %1 failed: %2.")
                   .arg(tcpLabel(), m_socket->errorString());
    if (m_pendingError.isEmpty())
        m_pendingError = text;
    close();
    reportFailure(m_pendingError);
}

QString BoardLink::tcpLabel() const {
    const std::optional<TcpEndpoint> endpoint = tcpEndpoint(m_target.devicePath());
    const QString where = endpoint ? endpoint->label() : m_target.devicePath();
    return m_target.isNamed()
               ? where
               : QStringLiteral("%1 (COM %2)").arg(where, QString::number(m_target.portNumber()));
}

bool BoardLink::isConnecting() const {
    return m_connectTimer->isActive();
}

void BoardLink::close() {
    m_connectTimer->stop();
    if (m_port->isOpen())
        m_port->close();
    m_tcp = false;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

bool BoardLink::isOpen() const {
    if (m_tcp)
        return isConnecting() || m_socket->state() != QAbstractSocket::UnconnectedState;
    return m_port->isOpen();
}

QIODevice *BoardLink::usableDevice(const QString &action) const {
    if (!m_pendingError.isEmpty())
        throw Failure(m_pendingError);
    if (!isOpen())
        throw Failure(
            QStringLiteral("Cannot %1 %2: the port is not open.").arg(action, m_target.label()));
    return device();
}

QIODevice *BoardLink::device() const {
    return m_tcp ? static_cast<QIODevice *>(m_socket) : m_port;
}

void BoardLink::write(const QByteArray &bytes) {
    QIODevice *const device = usableDevice(QStringLiteral("write to"));
    if (device->write(bytes) != bytes.size())
        throw Failure(
            QStringLiteral("Cannot write to %1: %2.").arg(m_target.label(), device->errorString()));
    // Hand the frame to the system's driver now rather than at the next turn of the event
    // loop, so that the reply window is measured from a frame that is really on its way.
    if (m_tcp)
        m_socket->flush();
    else
        m_port->flush();
    if (!m_pendingError.isEmpty())
        throw Failure(m_pendingError);
}

void BoardLink::gather() {
    QIODevice *const from = device();
    if (const qint64 room = KeptBytes - m_received.bytes.size(); room > 0)
        m_received.bytes += from->read(room);
    // Read and thrown away, rather than left to pile up in the device's buffer.
    if (const qint64 skipped = from->skip(from->bytesAvailable()); skipped > 0)
        m_received.dropped += skipped;
}

ReceivedBytes BoardLink::read() {
    usableDevice(QStringLiteral("read from"));
    gather();
    return std::exchange(m_received, {});
}
