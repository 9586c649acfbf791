// display-send: uploads display.cfg's pages to the boards from the command line, runs the board
// test or the receive monitor. See display-send --help.

#include "bytetext.h"
#include "sendoptions.h"
#include "sendprogram.h"
#include "sharedrun.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("display-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DISPLAY_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);

    SendOptions options;
    try {
        options = SendCommandLine::parse(QCoreApplication::arguments());
    } catch (const UsageError &usage) {
        err << "display-send: " << terminalText(usage.text) << "\nTry display-send --help.\n";
        return BadInput;
    }
    // Qt's message handler writes to standard error; QT_LOGGING_RULES still has the last word.
    if (options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("display.wire.debug=true"));
    SendProgram program(options, out, err);
#ifdef DISPLAY_SEND_REPLY_WINDOW_MS
    // The tests' quick build of this program, for fake boards that answer at once: each reply
    // window lasts this long instead of 500 ms. The installed program is never built so.
    for (QTimer *window : program.findChildren<QTimer *>(QStringLiteral("tmrTout")))
        window->setInterval(DISPLAY_SEND_REPLY_WINDOW_MS);
#endif
    // An upload or a board test forwards the journal's records to the shared journal once its
    // own is written, when the folder names one: the job's frames, timing and exit status are
    // the same whether the shared journal answers or not.
    SharedRun shared(options, out, [&err](const QString &text) {
        err << "display-send: " << terminalText(text) << '\n';
        err.flush();
    });
#ifdef DISPLAY_SEND_CUT_OFF_SECONDS
    // The tests' quick build again: a shared journal that never answers is cut off sooner.
    for (SharedRun *run : program.findChildren<SharedRun *>())
        run->setCutOffSeconds(DISPLAY_SEND_CUT_OFF_SECONDS);
    shared.setCutOffSeconds(DISPLAY_SEND_CUT_OFF_SECONDS);
#endif
    const bool forwardsAfter =
        (options.mode == SendOptions::Mode::Upload || options.mode == SendOptions::Mode::Test) &&
        shared.forwards();
    QObject::connect(
        &program, &SendProgram::finished, &app,
        [&](int status) {
            if (forwardsAfter && status < SignalBase)
                shared.forward(program.journalPath(), status);
            else
                QCoreApplication::exit(status);
        },
        Qt::QueuedConnection);
    QObject::connect(&shared, &SharedRun::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    // The forward may wait on a server inside a call nothing interrupts: a signal ends the
    // process around it, with the signal's status.
    QObject::connect(&program, &SendProgram::interrupted, &shared, &SharedRun::abandon);
    QTimer::singleShot(0, &program, &SendProgram::start);
    return QCoreApplication::exec();
}
