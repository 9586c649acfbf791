#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

// The operator's alert command, run once through /bin/sh -c in a process group of its own, so
// that whatever it starts ends with it when its time is up. Its output goes to standard error,
// never among display-send's results. It runs beside the event loop: started here, ended on
// QProcess's signals or the timer's, never waited for.
class AlertCommand : public QObject {
    Q_OBJECT

public:
    AlertCommand(QString command, int timeoutMs, QObject *parent = nullptr);
    ~AlertCommand() override;

    void start(const QProcessEnvironment &environment);
    // Ends it at once (display-send was signalled); ended() follows.
    void stop();

Q_SIGNALS:
    // Once; failure is empty when the command ran and exited with status 0.
    void ended(const QString &failure);

private:
    void end(const QString &failure);
    void killGroup();

    const QString m_command;
    const int m_timeoutMs;
    QProcess *const m_process;
    QTimer *const m_timer;
    qint64 m_group = 0; // the process group, while it may still run
    bool m_timedOut = false;
    bool m_ended = false;
};
