// display-console: the operator console. --config names the display.cfg it reads at start and
// writes at close (display.cfg in the working directory without it). --help and --version are
// answered before the window system is opened, so they work without a display.

#include "frmdisplay.h"

#include <QApplication>
#include <QCommandLineParser>

namespace {

QStringList argumentList(int argc, char *argv[]) {
    QStringList arguments;
    for (int index = 0; index < argc; ++index)
        arguments << QString::fromLocal8Bit(argv[index]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("display-console"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DISPLAY_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Operator console for a chain of serial text display boards: edit six pages of sixteen "
        "rows and upload them, with the page delay, to boards 1 to 8 over one serial port."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Read the settings from <file> at start and write them there at close "
                       "(default: display.cfg in the working directory)."),
        QStringLiteral("file"));
    parser.addOption(config);

    // Qt's own options (-platform, -style, ...) are unknown here; they only matter once the
    // window system is open, and QApplication takes them out before the second parse.
    parser.parse(argumentList(argc, argv));
    if (parser.isSet(help) || parser.isSet(version)) {
        QCoreApplication app(argc, argv);
        parser.process(app); // prints the help or the version and exits 0
        return 0;
    }

    QApplication app(argc, argv);
    parser.process(app); // an unknown option or a missing value: message and exit 1
    if (!parser.positionalArguments().isEmpty()) {
        qCritical("display-console: unexpected argument \"%s\"; see display-console --help",
                  qPrintable(parser.positionalArguments().constFirst()));
        return 1;
    }

    ConsoleSetup setup;
    if (parser.isSet(config))
        setup.configPath = parser.value(config);
    frmDisplay window(setup);
    window.show();
    return app.exec();
}
