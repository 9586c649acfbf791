#pragma once

#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

// A program run as a user runs it: what it printed and how it ended.
struct ProgramResult {
    int status = -1; // the exit status; -1 when it did not start or finish in time, -2 when it
                     // crashed
    QString out;
    QString err;
};

// Starts program in folder (this process's own when empty) with environment; false when it
// could not be started.
inline bool
startProgram(QProcess &process, const QString &program, const QStringList &arguments,
             const QString &folder = {},
             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
    process.setWorkingDirectory(folder);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return process.waitForStarted();
}

// Waits for the program while this process's event loop runs, so that fake boards in it answer
// the frames.
inline ProgramResult finish(QProcess &process, int timeoutMs = 60000) {
    if (process.state() != QProcess::NotRunning) {
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, QStringLiteral("the program did not finish in time")};
    }
    const int status = process.exitStatus() == QProcess::CrashExit ? -2 : process.exitCode();
    return {status, QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// Runs program to its end (startProgram, then finish).
inline ProgramResult
runProgram(const QString &program, const QStringList &arguments, const QString &folder = {},
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
           int timeoutMs = 60000) {
    QProcess process;
    if (!startProgram(process, program, arguments, folder, environment))
        return {-1, {}, process.errorString()};
    return finish(process, timeoutMs);
}
