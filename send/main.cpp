// display-send: uploads display.cfg's pages to the boards from the command line, runs the board
// test or the receive monitor. See display-send --help.

#include "bytetext.h"
#include "sendoptions.h"
#include "sendprogram.h"

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
    QObject::connect(&program, &SendProgram::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QTimer::singleShot(0, &program, &SendProgram::start);
    return QCoreApplication::exec();
}
