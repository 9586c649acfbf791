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

namespace {

// Board k + 1 holds rows 2k and 2k + 1 of every page; addresses and pages travel as one digit.
static_assert(2 * BoardAddress::Highest == PageSet::RowsPerPage,
              "the boards 1 to Highest hold every row of a page, two each");
static_assert(PageSet::PageCount <= 10, "a page travels as one decimal digit");

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

ParsedFrame invalid(const QString &problem) {
    ParsedFrame parsed;
    parsed.problem = problem;
    return parsed;
}

QString quoted(const QByteArray &bytes) {
    return QLatin1Char('"') + visibleBytes(bytes) + QLatin1Char('"');
}

ParsedFrame parseRowPair(const QByteArray &frame, int address) {
    // address, "ED0", page digit, "TSC", first row, "~", second row
    if (address < 1 || address > BoardAddress::Highest)
        return invalid(QStringLiteral("row-pair frame for address %1: boards 1..%2 hold rows")
                           .arg(address)
                           .arg(BoardAddress::Highest));
    if (frame.mid(1, 3) != "ED0")
        return invalid(
            QStringLiteral("row-pair frame %1 does not go on with \"ED0\" after the address")
                .arg(quoted(frame)));
    if (frame.size() < 5 || !isDigit(frame.at(4)))
        return invalid(
            QStringLiteral("row-pair frame %1 has no page digit after \"ED0\"").arg(quoted(frame)));
    const int page = frame.at(4) - '0';
    if (page >= PageSet::PageCount)
        return invalid(QStringLiteral("row-pair frame for page %1: pages are 0..%2")
                           .arg(page)
                           .arg(PageSet::PageCount - 1));
    if (frame.mid(5, 3) != "TSC")
        return invalid(
            QStringLiteral("row-pair frame %1 does not go on with \"TSC\" after the page digit")
                .arg(quoted(frame)));
    const QByteArray text = frame.mid(8);
    const qsizetype tilde = text.indexOf('~');
    if (tilde < 0)
        return invalid(QStringLiteral("row-pair frame %1 has no \"~\" between its two rows")
                           .arg(quoted(frame)));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::RowPair;
    parsed.address = address;
    parsed.page = page;
    parsed.firstRow = text.left(tilde);
    parsed.secondRow = text.mid(tilde + 1);
    return parsed;
}

ParsedFrame parsePageDelay(const QByteArray &frame, int address) {
    // "1EN06" and the delay as two digits
    if (address != 1)
        return invalid(
            QStringLiteral("page-delay frame for address %1: it always goes to address 1")
                .arg(address));
    const QByteArray digits = frame.mid(5);
    if (!frame.startsWith("1EN06") || digits.size() != 2 || !isDigit(digits.at(0)) ||
        !isDigit(digits.at(1)))
        return invalid(QStringLiteral("page-delay frame %1 is not \"1EN06\" and two digits")
                           .arg(quoted(frame)));
    const int seconds = (digits.at(0) - '0') * 10 + (digits.at(1) - '0');
    if (seconds < 1 || seconds > 20)
        return invalid(QStringLiteral("page delay of %1 seconds: delays are 01..20").arg(seconds));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::PageDelay;
    parsed.address = 1;
    parsed.delaySeconds = seconds;
    return parsed;
}

ParsedFrame parseProbe(const QByteArray &frame, int address) {
    if (address > BoardAddress::Highest)
        return invalid(QStringLiteral("probe of address %1: addresses are 0..%2")
                           .arg(address)
                           .arg(BoardAddress::Highest));
    if (frame.size() != 2)
        return invalid(
            QStringLiteral("probe frame %1 has something after the \"?\"").arg(quoted(frame)));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::Probe;
    parsed.address = address;
    return parsed;
}

} // namespace

QString visibleBytes(const QByteArray &bytes) {
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r')
            text += QLatin1String("<CR>");
        else if (byte == '\n')
            text += QLatin1String("<LF>");
        else if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte < 0xa0))
            text += QStringLiteral("<%1>").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
        else
            text += QChar(byte);
    }
    return text;
}

ParsedFrame parseFrame(const QByteArray &frame) {
    if (frame.isEmpty())
        return invalid(QStringLiteral("empty frame: a carriage return with nothing before it"));
    const char first = frame.at(0);
    if (first == '*') {
        if (frame == "*Q") {
            ParsedFrame parsed;
            parsed.kind = ParsedFrame::Kind::Bracket;
            return parsed;
        }
        return invalid(
            QStringLiteral("bracket frame %1: it must be exactly \"*Q\"").arg(quoted(frame)));
    }
    if (!isDigit(first))
        return invalid(QStringLiteral("frame %1 starts with neither a board address digit nor "
                                      "\"*Q\"")
                           .arg(quoted(frame)));
    const int address = first - '0';
    ParsedFrame parsed;
    if (frame.size() >= 2 && frame.at(1) == '?')
        parsed = parseProbe(frame, address);
    else if (frame.mid(1, 2) == "EN")
        parsed = parsePageDelay(frame, address);
    else if (frame.mid(1, 2) == "ED")
        parsed = parseRowPair(frame, address);
    else
        parsed = invalid(QStringLiteral("frame %1 for address %2 is no row pair (\"ED0\"), page "
                                        "delay (\"EN06\") or probe (\"?\")")
                             .arg(quoted(frame))
                             .arg(address));
    if (parsed.kind == ParsedFrame::Kind::Invalid)
        parsed.address = address;
    return parsed;
}

QDebug operator<<(QDebug debug, const ParsedFrame &frame) {
    QDebugStateSaver saver(debug);
    debug.nospace();
    switch (frame.kind) {
    case ParsedFrame::Kind::Bracket:
        debug << "Bracket";
        break;
    case ParsedFrame::Kind::RowPair:
        debug << "RowPair(address " << frame.address << ", page " << frame.page << ", "
              << frame.firstRow << " ~ " << frame.secondRow << ')';
        break;
    case ParsedFrame::Kind::PageDelay:
        debug << "PageDelay(" << frame.delaySeconds << " s)";
        break;
    case ParsedFrame::Kind::Probe:
        debug << "Probe(address " << frame.address << ')';
        break;
    case ParsedFrame::Kind::Invalid:
        debug << "Invalid(address " << frame.address << ", " << frame.problem << ')';
        break;
    }
    return debug;
}

BoardBank::BoardBank() {
    m_behaviour.fill(BoardBehaviour::Present);
}

void BoardBank::setBehaviour(int address, BoardBehaviour behaviour) {
    m_behaviour.at(static_cast<std::size_t>(address)) = behaviour;
}

BoardBehaviour BoardBank::behaviour(int address) const {
    return m_behaviour.at(static_cast<std::size_t>(address));
}

QByteArray BoardBank::apply(const ParsedFrame &frame) {
    switch (frame.kind) {
    case ParsedFrame::Kind::Bracket:
    case ParsedFrame::Kind::Invalid:
        return {};
    case ParsedFrame::Kind::RowPair: {
        auto &rows = m_rows.at(static_cast<std::size_t>(frame.page));
        const auto even = static_cast<std::size_t>(2 * (frame.address - 1));
        rows.at(even) = frame.firstRow;
        rows.at(even + 1) = frame.secondRow;
        ++m_rowPairs;
        break;
    }
    case ParsedFrame::Kind::PageDelay:
        m_delaySeconds = frame.delaySeconds;
        break;
    case ParsedFrame::Kind::Probe:
        break;
    }

    const int address = frame.address;
    switch (behaviour(address)) {
    case BoardBehaviour::Present:
    case BoardBehaviour::Late:
        return char('0' + address) + m_replyTail;
    case BoardBehaviour::Wrong:
        return char('0' + (address + 1) % 10) + m_replyTail;
    case BoardBehaviour::Silent:
        break;
    }
    return {};
}

QByteArray BoardBank::row(int page, int row) const {
    if (page < 0 || page >= PageSet::PageCount || row < 0 || row >= PageSet::RowsPerPage)
        return {};
    return m_rows.at(static_cast<std::size_t>(page)).at(static_cast<std::size_t>(row));
}

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
    for (const Received &frame : m_received)
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
