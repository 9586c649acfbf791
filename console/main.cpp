#include "frmdisplay.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("display-console"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DISPLAY_VERSION));

    // The options are read before the window system is reached, so --help and --version work
    // without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The operator console for the display boards: edit six pages, choose the "
                       "port and the page delay, and press SEND.\n\nA ports.conf beside the "
                       "config file, in ~/.config/display-console/ or in /etc/display-console/ "
                       "maps port numbers to other devices (33=/dev/serial/by-id/..., "
                       "120=tcp://HOST:PORT); the nearest file that names a number wins. "
                       "QT_LOGGING_RULES=display.wire.debug=true logs every frame and reply."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Keep the port number and the pages in this "
                                                   "file instead of ./display.cfg."),
                                    QStringLiteral("file"));
    parser.addOption(config);
    const QCommandLineOption journal(
        QStringLiteral("journal"),
        QStringLiteral("Record uploads and board tests in this file instead of "
                       "display-journal.db beside the config file."),
        QStringLiteral("file"));
    parser.addOption(journal);
    // A first look for --help and --version only; Qt's own options (-platform, ...) are not
    // known here and are taken out by QApplication before the real reading below.
    parser.parse(arguments);
    if (parser.isSet(help)) {
        // Without an application object Qt cannot know the program's name for the usage line.
        std::fputs(qPrintable(parser.helpText().replace(QLatin1String("<executable_name>"),
                                                        QLatin1String("display-console"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("display-console %s\n", DISPLAY_VERSION);
        return 0;
    }

    QApplication app(argc, argv);
    parser.process(app);
    ConsoleSetup setup = ConsoleSetup::forConfig(parser.isSet(config) ? parser.value(config)
                                                                      : ConsoleSetup().configPath);
    if (parser.isSet(journal))
        setup.journalPath = parser.value(journal);
    frmDisplay window(setup);
    window.show();
    return app.exec();
}
