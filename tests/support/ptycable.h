#pragma once

// Two pseudo-terminals joined master to master, like a null-modem cable between two serial
// ports: what one program writes to end(0) the other reads from end(1), and back.

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

class PtyCable : public QObject {
public:
    PtyCable() {
        for (int side = 0; side < 2; ++side) {
            char name[256] = {};
            if (::openpty(&m_master[side], &m_slave[side], name, nullptr, nullptr) != 0)
                return;
            m_path[side] = QString::fromLocal8Bit(name);
            termios settings{};
            ::tcgetattr(m_master[side], &settings);
            ::cfmakeraw(&settings);
            ::tcsetattr(m_master[side], TCSANOW, &settings);
        }
        for (int side = 0; side < 2; ++side) {
            auto *const notifier = new QSocketNotifier(m_master[side], QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, side] {
                char bytes[512];
                const ssize_t got = ::read(m_master[side], bytes, sizeof bytes);
                if (got > 0 && ::write(m_master[1 - side], bytes, size_t(got)) != got)
                    qWarning("PtyCable: a short write");
            });
        }
    }
    ~PtyCable() override {
        for (int side = 0; side < 2; ++side) {
            if (m_master[side] >= 0) {
                ::close(m_master[side]);
                ::close(m_slave[side]);
            }
        }
    }
    bool isValid() const { return !m_path[0].isEmpty() && !m_path[1].isEmpty(); }
    QString end(int side) const { return m_path[side]; }

private:
    int m_master[2] = {-1, -1};
    int m_slave[2] = {-1, -1}; // kept open so that neither end hangs up between opens
    QString m_path[2];
};
