#include "alertcommand.h"

#include <QTimer>

#include <csignal>
#include <unistd.h>

AlertCommand::AlertCommand(QString command, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_command(std::move(command))
    , m_timeoutMs(timeoutMs)
    , m_process(new QProcess(this))
    , m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        killGroup();
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(QStringLiteral("the alert command could not be started: %1")
                    .arg(m_process->errorString()));
    });
    connect(m_process, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                if (m_timedOut)
                    end(QStringLiteral("the alert command ran longer than %1 s and was stopped")
                            .arg(QString::number(m_timeoutMs / 1000.0)));
                else if (status == QProcess::CrashExit)
                    end(QStringLiteral("the alert command was ended by a signal"));
                else if (exitCode != 0)
                    end(QStringLiteral("the alert command failed (exit status %1)")
                            .arg(QString::number(exitCode)));
                else
                    end(QString());
            });
}

AlertCommand::~AlertCommand() {
    killGroup();
}

void AlertCommand::start(const QProcessEnvironment &environment) {
    m_process->setProcessEnvironment(environment);
    m_process->setProgram(QStringLiteral("/bin/sh"));
    m_process->setArguments({QStringLiteral("-c"), m_command});
    // Its standard output joins standard error: display-send's own output is its results.
    m_process->setProcessChannelMode(QProcess::ForwardedChannels);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    });
    m_process->start();
    if (m_process->state() == QProcess::NotRunning)
        return; // errorOccurred said why
    m_group = m_process->processId();
    m_timer->start(m_timeoutMs);
}

void AlertCommand::stop() {
    killGroup();
}

void AlertCommand::killGroup() {
    if (m_group > 0 && m_process->state() != QProcess::NotRunning)
        ::kill(pid_t(-m_group), SIGKILL);
}

void AlertCommand::end(const QString &failure) {
    if (m_ended)
        return;
    m_ended = true;
    m_timer->stop();
    m_group = 0;
    Q_EMIT ended(failure);
}
