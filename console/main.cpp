#include "displaywindow.h"

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
    const QCommandLineOption sources(
        QStringLiteral("sources"),
        QStringLiteral("Read the live values SEND fills rows with as this file says, instead of "
                       "sources.conf beside the config file."),
        QStringLiteral("file"));
    parser.addOption(sources);
    const QCommandLineOption values(
        QStringLiteral("values"),
        QStringLiteral("Fill rows with the values of this JSON file instead of values.json "
                       "beside the config file; repeat for more files, the later winning."),
        QStringLiteral("file"));
    parser.addOption(values);
    // Qt's own options are taken out of the arguments by QApplication, which needs a display
    // first. They are known here too, hidden from the help, so that every argument is checked
    // before anything reaches for a display: an unexpected one ends the program with a message.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto qtOption = [&](const char *name, bool takesValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString());
        if (takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char *name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
          "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "style",
          "stylesheet", "qmljsdebugger", "display", "name", "visual"})
        qtOption(name, true);
    for (const char *name :
         {"reverse", "widgetcount", "testability", "dograb", "nograb", "qdevel", "qdebug"})
        qtOption(name, false);
    const auto refuse = [](const QString &why) {
        std::fputs(qPrintable(QStringLiteral("display-console: %1\nTry 'display-console --help' "
                                             "for more information.\n")
                                  .arg(why)),
                   stderr);
        return 1;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
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
    if (!parser.positionalArguments().isEmpty()) {
        return refuse(QStringLiteral("unexpected argument \"%1\" (a config file is named with "
                                     "--config FILE)")
                          .arg(parser.positionalArguments().constFirst()));
    }

    QApplication app(argc, argv);
    ConsoleSetup setup = ConsoleSetup::forConfig(parser.isSet(config) ? parser.value(config)
                                                                      : ConsoleSetup().configPath);
    if (parser.isSet(journal)) {
        setup.journalPath = parser.value(journal);
        // A file named here may be anyone's: never moved aside, even when damaged.
        setup.journal.moveAsideDamaged = false;
    }
    setup.sourcesPath = parser.value(sources);
    setup.valueFiles = parser.values(values);
    DisplayWindow window(setup);
    window.show();
    return app.exec();
}
