#pragma once

// Loopback ports that fail in the ways a device server on the network can: one nothing listens
// on, and one whose connect never completes. 127.0.0.1 only.

#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

inline sockaddr_in loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline quint16 portOf(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    return ntohs(address.sin_port);
}

// A loopback port nothing listens on: bound for a moment to learn a free number, then let go.
inline quint16 refusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const quint16 port = portOf(fd);
    ::close(fd);
    return port;
}

// A listener that never accepts, with its accept queue already full: the kernel drops every
// further SYN, so a connect to it neither succeeds nor fails until the client gives up.
class HangingListener {
public:
    HangingListener() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(0);
        ::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::listen(m_listener, 0);
        port = portOf(m_listener);
        // A backlog of 0 still queues one connection; two make sure the queue is full.
        for (int i = 0; i < 2; ++i)
            m_fillers.push_back(connectWithoutWaiting());
    }
    ~HangingListener() {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }

    // Whether a further connect really hangs on this kernel (for 300 ms).
    bool hangs() const {
        const int fd = connectWithoutWaiting();
        pollfd wait{fd, POLLOUT, 0};
        const int ready = ::poll(&wait, 1, 300);
        ::close(fd);
        return ready == 0;
    }

    QString device() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port); }

    quint16 port = 0;

private:
    int connectWithoutWaiting() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in address = loopback(port);
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        return fd;
    }

    int m_listener = -1;
    std::vector<int> m_fillers;
};
