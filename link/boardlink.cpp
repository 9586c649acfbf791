#include "boardlink.h"

#include "failure.h"
#include "portfailure.h"

#include <QSerialPort>

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
    , m_port(new QSerialPort(this)) {
    m_port->setBaudRate(QSerialPort::Baud9600);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    // No cap on the receive buffer: a read takes everything that has arrived. With a cap, the
    // rest of a long reply stayed in the system and the next exchange read it as its own reply
    // and judged that board by it; a board chattering faster than the console read also had its
    // replies refused once the system's buffer was full. QSerialPort has no transmit buffer
    // setting: a write is queued whole.
    m_port->setReadBufferSize(0);

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
            // Listeners may show a message box; let them do so from the event loop, not from
            // inside the port's own notification.
            QMetaObject::invokeMethod(
                this, [this, reported = m_pendingError] { Q_EMIT failed(reported); },
                Qt::QueuedConnection);
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
    const QString &device = m_target.devicePath();
    if (device.isEmpty())
        throw Failure(QStringLiteral("Cannot open %1: %2")
                          .arg(m_target.label(), m_target.problem().isEmpty()
                                                     ? QStringLiteral("no such port.")
                                                     : m_target.problem()));
    m_pendingError.clear();
    m_port->setPortName(device);
    m_port->clearError();
    if (!m_port->open(QIODevice::ReadWrite))
        throw Failure(openFailureText(m_target, m_port->error(), m_port->errorString()));
}

void BoardLink::close() {
    if (m_port->isOpen())
        m_port->close();
}

bool BoardLink::isOpen() const {
    return m_port->isOpen();
}

void BoardLink::write(const QByteArray &bytes) {
    if (!m_pendingError.isEmpty())
        throw Failure(m_pendingError);
    if (!isOpen())
        throw Failure(
            QStringLiteral("Cannot write to %1: the port is not open.").arg(m_target.label()));
    if (m_port->write(bytes) != bytes.size())
        throw Failure(
            QStringLiteral("Cannot write to %1: %2.").arg(m_target.label(), m_port->errorString()));
    // Hand the frame to the system's driver now rather than at the next turn of the event
    // loop, so that the reply window is measured from a frame that is really on its way.
    m_port->flush();
    if (!m_pendingError.isEmpty())
        throw Failure(m_pendingError);
}

QByteArray BoardLink::readAll() {
    if (!m_pendingError.isEmpty())
        throw Failure(m_pendingError);
    if (!isOpen())
        throw Failure(
            QStringLiteral("Cannot read from %1: the port is not open.").arg(m_target.label()));
    return m_port->readAll();
}
