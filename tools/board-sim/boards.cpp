#include "boards.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

LineBoards::LineBoards(QObject *parent)
    : QObject(parent) {
    m_clock.start();
}

LineBoards::~LineBoards() {
    detachLine(true);
}

void LineBoards::attachLine(int fd, bool isSocket) {
    m_line = fd;
    m_lineIsSocket = isSocket;
    m_partial.clear();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LineBoards::readLine);
}

void LineBoards::detachLine(bool close) {
    if (m_notifier) {
        // May run inside the notifier's own signal: disable now, delete later.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (close && m_line >= 0)
        ::close(m_line);
    m_line = -1;
}

QByteArray LineBoards::allBytes() const {
    QByteArray all;
    for (const ReceivedFrame &frame : m_received)
        all += frame.bytes;
    return all;
}

void LineBoards::clear() {
    m_received.clear();
    m_replies.clear();
    m_partial.clear();
}

void LineBoards::readLine() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_line, buffer, sizeof buffer);
        if (n > 0) {
            m_partial.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break; // all read
        // A pseudo-terminal says EIO once no one holds the device (only possible after
        // releaseLine()); a socket reads 0 or a reset once the client has gone.
        m_notifier->setEnabled(false);
        takeFrames();
        lineEnded();
        return;
    }
    takeFrames();
}

void LineBoards::takeFrames() {
    for (qsizetype end = m_partial.indexOf('\r'); end >= 0; end = m_partial.indexOf('\r')) {
        const QByteArray frame = m_partial.left(end + 1);
        m_partial.remove(0, end + 1);
        takeFrame(frame);
    }
}

void LineBoards::takeFrame(const QByteArray &frame) {
    m_received.append({frame, m_clock.elapsed()});
    const QByteArray body = frame.chopped(1);
    const ParsedFrame parsed = parseFrame(body);
    const QByteArray reply = m_bank.apply(parsed);
    // Listeners see the boards as this frame left them.
    Q_EMIT frameReceived(frame, parsed);
    if (parsed.kind == ParsedFrame::Kind::Invalid)
        Q_EMIT invalidFrame(frame, parsed.problem);

    if (reply.isEmpty() || m_line < 0)
        return;
    const int address = parsed.address;
    const bool late = m_bank.behaviour(address) == BoardBehaviour::Late;
    QTimer::singleShot(late ? m_lateDelayMs : m_replyDelayMs, this,
                       [this, address, reply] { sendReply(address, reply); });
}

void LineBoards::sendReply(int address, const QByteArray &reply) {
    if (!writeToLine(reply))
        return;
    m_replies.append({address, reply, m_clock.elapsed()});
    Q_EMIT replySent(address, reply);
}

void LineBoards::sendUnasked(const QByteArray &bytes) {
    writeToLine(bytes);
}

bool LineBoards::writeToLine(const QByteArray &bytes) {
    if (m_line < 0)
        return false; // vanished meanwhile
    qsizetype written = 0;
    while (written < bytes.size()) {
        const auto size = static_cast<size_t>(bytes.size() - written);
        // A client that has gone must not end this process with SIGPIPE.
        const ssize_t n = m_lineIsSocket
                              ? ::send(m_line, bytes.constData() + written, size, MSG_NOSIGNAL)
                              : ::write(m_line, bytes.constData() + written, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qWarning("Cannot write to %s: %s", qPrintable(devicePath()), std::strerror(errno));
            return false;
        }
        written += n;
    }
    return true;
}

PtyBoards::PtyBoards(QObject *parent)
    : LineBoards(parent) {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        qWarning("Cannot open a pseudo-terminal: %s", std::strerror(errno));
        m_master = m_slave = -1;
        return;
    }
    m_devicePath = QString::fromLocal8Bit(name);

    // Raw both ways: no echo, no line editing, no CR/LF translation on either end.
    termios settings{};
    for (const int fd : {m_slave, m_master}) {
        if (::tcgetattr(fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(fd, TCSANOW, &settings);
        }
    }
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    attachLine(m_master, false);
}

PtyBoards::~PtyBoards() {
    vanish();
}

QString PtyBoards::devicePath() const {
    return m_devicePath;
}

int PtyBoards::portNumber() const {
    static const QString prefix = QStringLiteral("/dev/pts/");
    if (!m_devicePath.startsWith(prefix))
        return -1;
    bool ok = false;
    const int index = m_devicePath.mid(prefix.size()).toInt(&ok);
    if (!ok || index < 0 || index > 150)
        return -1;
    return 100 + index;
}

void PtyBoards::vanish() {
    detachLine(true);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

void PtyBoards::releaseLine() {
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

void PtyBoards::lineEnded() {
    // The master stays open (and unread) until the boards vanish.
    Q_EMIT lineClosed();
}

// Hands each accepted connection over as a bare descriptor: the boards read and write it
// themselves, as they do the pseudo-terminal.
class TcpListener : public QTcpServer {
public:
    std::function<void(int)> take;

protected:
    void incomingConnection(qintptr fd) override { take(int(fd)); }
};

namespace {

// "127.0.0.1:4001", "[::1]:4001", as the console names a device server.
QString hostPort(const QHostAddress &host, quint16 port) {
    const QString text = host.toString();
    return (host.protocol() == QAbstractSocket::IPv6Protocol
                ? QLatin1Char('[') + text + QLatin1Char(']')
                : text) +
           QLatin1Char(':') + QString::number(port);
}

QString peerOf(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return QStringLiteral("?");
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    const quint16 port = ntohs(address.ss_family == AF_INET6
                                   ? reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port
                                   : reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    return hostPort(host, port);
}

} // namespace

TcpBoards::TcpBoards(const QHostAddress &host, quint16 port, QObject *parent)
    : LineBoards(parent)
    , m_listener(new TcpListener) {
    m_listener->setParent(this);
    m_listener->take = [this](int fd) { takeConnection(fd); };
    m_listener->listen(host, port);
}

TcpBoards::~TcpBoards() {
    vanish();
}

bool TcpBoards::isValid() const {
    return m_listener->isListening();
}

QString TcpBoards::listenProblem() const {
    return isValid() ? QString() : m_listener->errorString();
}

QString TcpBoards::devicePath() const {
    return QStringLiteral("tcp://") + hostPort(m_listener->serverAddress(), tcpPort());
}

quint16 TcpBoards::tcpPort() const {
    return m_listener->serverPort();
}

void TcpBoards::vanish() {
    m_listener->close();
    dropClient();
}

void TcpBoards::dropClient() {
    if (!hasClient())
        return;
    detachLine(true);
    Q_EMIT clientLeft(std::exchange(m_peer, QString()));
}

void TcpBoards::takeConnection(int fd) {
    const QString peer = peerOf(fd);
    if (hasClient()) {
        ::close(fd);
        Q_EMIT clientRefused(peer);
        return;
    }
    // Replies are a few bytes each and timed: send each at once.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_peer = peer;
    attachLine(fd, true);
    Q_EMIT clientConnected(peer);
}

void TcpBoards::lineEnded() {
    dropClient();
    if (m_released)
        Q_EMIT lineClosed();
}
