#pragma once

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// A bare pseudo-terminal: something this process can open as a serial port.
class BarePty {
public:
    BarePty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_path = QString::fromLocal8Bit(ptsname(m_master));
    }
    ~BarePty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    QString path() const { return m_path; }
    // Everything the console wrote so far (the far end never answers).
    QByteArray drain() {
        QByteArray bytes;
        char chunk[4096];
        const int flags = fcntl(m_master, F_GETFL);
        fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
        for (ssize_t n; (n = ::read(m_master, chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, n);
        fcntl(m_master, F_SETFL, flags);
        return bytes;
    }
    int portNumber() const { return 100 + m_path.mid(QStringLiteral("/dev/pts/").size()).toInt(); }

private:
    int m_master = -1;
    QString m_path;
};
