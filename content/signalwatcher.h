#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Unix signals delivered into the event loop: the handler only writes the signal's number to a
// pipe, and signalled() is emitted from the loop. The handlers there before are put back when the
// watcher goes. One watcher at a time in a process; a second one watches nothing.
class SignalWatcher : public QObject {
    Q_OBJECT

public:
    SignalWatcher(std::initializer_list<int> numbers, QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool isWatching() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void signalled(int number);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    std::vector<std::pair<int, struct sigaction>> m_previous;
};
