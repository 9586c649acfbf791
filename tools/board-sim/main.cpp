// display-board-sim: boards 1..8 (and probe answers for 0..8) on a pseudo-terminal that the
// console opens as one of its COM ports. Prints the device and its port number first, then
// what the boards hold, redrawn as frames arrive.

#include "boardview.h"
#include "configstore.h"
#include "defaultpages.h"
#include "failure.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int DefaultPageDelaySeconds = 5; // what the console sends unless the operator changes it
constexpr int LineReleaseTimeoutMs = 3000;

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void print(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &text) {
    std::fprintf(stderr, "display-board-sim: %s\n", qPrintable(text));
    std::exit(2);
}

winsize terminalSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_col = 80;
        size.ws_row = 0;
    }
    return size;
}

// "3,5" or repeated options: the addresses, each 0..8.
QList<int> addresses(const QCommandLineParser &parser, const QString &option) {
    QList<int> result;
    for (const QString &value : parser.values(option)) {
        for (const QString &part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const int address = part.trimmed().toInt(&ok);
            if (!ok || address < 0 || address > 8)
                fail(QStringLiteral("--%1: \"%2\" is no board address (0 to 8)")
                         .arg(option, part.trimmed()));
            result << address;
        }
    }
    return result;
}

int milliseconds(const QCommandLineParser &parser, const QString &option, int max) {
    bool ok = false;
    const int ms = parser.value(option).toInt(&ok);
    if (!ok || ms < 0 || ms > max)
        fail(QStringLiteral("--%1: \"%2\" is not a number of milliseconds from 0 to %3")
                 .arg(option, parser.value(option))
                 .arg(max));
    return ms;
}

// Points the console's display.cfg at these boards: the port number is replaced, the rows stay
// as the file holds them (the default pages where it has none, as the console itself reads it).
QString pointConfigAt(const QString &path, int portNumber) {
    const ConfigStore store(path);
    PageSet pages;
    DefaultPages::install(pages);
    qint16 previousPort = 1;
    QString kept = QStringLiteral("its rows kept");
    if (!QFile::exists(path)) {
        kept = QStringLiteral("a new file with the default pages");
    } else {
        try {
            store.load(previousPort, pages);
        } catch (const Failure &) {
            kept = QStringLiteral("the rows it could not read are the default pages");
        }
    }
    store.save(qint16(portNumber), pages);
    return QStringLiteral("%1 now selects COM %2 (%3)\n").arg(path).arg(portNumber).arg(kept);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("display-board-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated display boards on a pseudo-terminal. Prints the device and the console's port "
        "number that reaches it (\"/dev/pts/3 COM 103\"), then shows the six pages as the boards "
        "hold them. Boards 1 to 8 take row pairs; addresses 0 to 8 answer probes. Every frame is "
        "checked and anything malformed is reported and not answered.\n\n"
        "Exit status with --once: 0 when every frame was well formed, 1 when a frame was "
        "rejected; 2 for a bad option or no pseudo-terminal."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption silent(QStringLiteral("silent"),
                                    QStringLiteral("These addresses never answer (e.g. 3,5)."),
                                    QStringLiteral("addresses"));
    const QCommandLineOption wrong(
        QStringLiteral("wrong"),
        QStringLiteral("These addresses answer with another board's digit first."),
        QStringLiteral("addresses"));
    const QCommandLineOption late(
        QStringLiteral("late"),
        QStringLiteral("These addresses answer after the console's 500 ms reply window."),
        QStringLiteral("addresses"));
    const QCommandLineOption replyDelay(QStringLiteral("reply-delay"),
                                        QStringLiteral("Milliseconds before a reply (20)."),
                                        QStringLiteral("ms"), QStringLiteral("20"));
    const QCommandLineOption lateDelay(QStringLiteral("late-delay"),
                                       QStringLiteral("Milliseconds before a late reply (700)."),
                                       QStringLiteral("ms"), QStringLiteral("700"));
    const QCommandLineOption replyTail(
        QStringLiteral("reply-tail"),
        QStringLiteral("What a board sends after its digit (\" OK\")."), QStringLiteral("text"),
        QStringLiteral(" OK"));
    const QCommandLineOption cycle(
        QStringLiteral("cycle"),
        QStringLiteral("Show the pages in turn at the page delay, as the boards do."));
    const QCommandLineOption once(
        QStringLiteral("once"),
        QStringLiteral("Exit after one whole upload (the closing *Q after the page delay) once "
                       "the console has closed the port, printing the final state."));
    const QCommandLineOption plain(
        QStringLiteral("plain"),
        QStringLiteral("Plain text, no colours or redrawing (the default when not on a "
                       "terminal)."));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Write the port number that reaches these boards into this display.cfg, "
                       "keeping its rows (the default pages when it has none), so that the "
                       "console started in that folder uploads here."),
        QStringLiteral("file"));
    parser.addOptions(
        {silent, wrong, late, replyDelay, lateDelay, replyTail, cycle, once, plain, config});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        fail(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    BoardSimulator sim;
    PtyBoards &boards = sim.boards();
    if (!boards.isValid())
        fail(QStringLiteral("cannot open a pseudo-terminal"));

    std::array<QString, BoardBank::AddressCount> given;
    const auto assign = [&](const QCommandLineOption &option, BoardBehaviour behaviour) {
        const QString name = option.names().first();
        for (const int address : addresses(parser, name)) {
            if (!given.at(std::size_t(address)).isEmpty() && given.at(std::size_t(address)) != name)
                fail(QStringLiteral("address %1 is both --%2 and --%3")
                         .arg(address)
                         .arg(given.at(std::size_t(address)), name));
            given.at(std::size_t(address)) = name;
            boards.bank().setBehaviour(address, behaviour);
        }
    };
    assign(silent, BoardBehaviour::Silent);
    assign(wrong, BoardBehaviour::Wrong);
    assign(late, BoardBehaviour::Late);
    boards.setReplyDelayMs(milliseconds(parser, replyDelay.names().first(), 60000));
    boards.setLateDelayMs(milliseconds(parser, lateDelay.names().first(), 60000));
    boards.setReplyTail(parser.value(replyTail).toLatin1());

    const bool onTerminal = ::isatty(STDOUT_FILENO) && !parser.isSet(plain);
    const bool cycling = parser.isSet(cycle);
    int shownPage = 0;

    // First line, always: the device and the port number that reaches it. On a terminal the
    // screen is cleared first, and the lines above the view stay while the view is redrawn.
    if (onTerminal)
        print(QStringLiteral("\x1b[H\x1b[2J"));
    int linesAboveView = 1;
    const int port = boards.portNumber();
    print(port > 0 ? QStringLiteral("%1 COM %2\n").arg(boards.devicePath()).arg(port)
                   : QStringLiteral("%1 (no COM port reaches it: the console's ports end at "
                                    "/dev/pts/150)\n")
                         .arg(boards.devicePath()));

    if (parser.isSet(config)) {
        if (port < 0)
            fail(QStringLiteral("no COM port reaches %1: close some terminals and try again")
                     .arg(boards.devicePath()));
        try {
            print(pointConfigAt(parser.value(config), port));
            ++linesAboveView;
        } catch (const Failure &failure) {
            fail(failure.text());
        }
    }

    const auto style = [&](bool colour, int page) {
        ViewStyle view;
        view.colour = colour;
        const winsize size = terminalSize();
        view.width = colour ? size.ws_col : 114;
        view.height = colour ? size.ws_row - linesAboveView : 0;
        view.shownPage = page;
        view.messages = colour; // in plain text every frame has been logged already
        return view;
    };

    // On a terminal: redraw the whole view, at most every 40 ms.
    QTimer redraw;
    redraw.setSingleShot(true);
    redraw.setInterval(40);
    QObject::connect(&redraw, &QTimer::timeout, &app, [&] {
        print(QStringLiteral("\x1b[%1;1H\x1b[J").arg(linesAboveView + 1) +
              renderView(sim, style(true, cycling ? shownPage : -1)));
    });
    if (onTerminal) {
        QObject::connect(&sim, &BoardSimulator::changed, &redraw, [&redraw] {
            if (!redraw.isActive())
                redraw.start();
        });
        redraw.start();
    } else {
        QObject::connect(&sim, &BoardSimulator::logLine, &app,
                         [](const QString &line) { print(line + QLatin1Char('\n')); });
        QObject::connect(&sim, &BoardSimulator::uploadCompleted, &app, [&] {
            if (!parser.isSet(once))
                print(renderView(sim, style(false, -1)));
        });
    }

    QTimer pageTimer;
    if (cycling) {
        const auto next = [&] {
            const int delay = sim.bank().pageDelaySeconds();
            pageTimer.start((delay > 0 ? delay : DefaultPageDelaySeconds) * 1000);
        };
        QObject::connect(&pageTimer, &QTimer::timeout, &app, [&, next] {
            shownPage = (shownPage + 1) % 6;
            if (onTerminal)
                redraw.start();
            else
                print(QStringLiteral("showing Page %1\n").arg(shownPage + 1) +
                      renderPage(sim, shownPage));
            next();
        });
        next();
    }

    int status = 0;
    bool finished = false;
    if (parser.isSet(once)) {
        // The console still reads for one reply window after the closing *Q and then closes
        // the port: keep the line up until it has, so it sees no failure.
        QTimer *const giveUp = new QTimer(&app);
        giveUp->setSingleShot(true);
        const auto finish = [&, giveUp] {
            if (finished)
                return;
            finished = true;
            giveUp->stop();
            redraw.stop();
            print((onTerminal ? QStringLiteral("\x1b[%1;1H\x1b[J").arg(linesAboveView + 1)
                              : QString()) +
                  renderView(sim, style(onTerminal, -1)));
            status = sim.framesRejected() > 0 ? 1 : 0;
            app.quit();
        };
        QObject::connect(&sim, &BoardSimulator::uploadCompleted, &app, [&boards, giveUp] {
            boards.releaseLine();
            giveUp->start(LineReleaseTimeoutMs);
        });
        QObject::connect(&boards, &PtyBoards::lineClosed, &app, finish);
        QObject::connect(giveUp, &QTimer::timeout, &app, finish);
    }

    // Ctrl-C, kill and a resized terminal arrive through a pipe into the event loop.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto *const signalNotifier =
            new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(signalNotifier, &QSocketNotifier::activated, &app, [&] {
            char number = 0;
            while (::read(signalPipe[0], &number, 1) == 1) {
                if (number == SIGWINCH) {
                    if (onTerminal)
                        redraw.start();
                } else {
                    status = 128 + number;
                    app.quit();
                }
            }
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
        std::signal(SIGWINCH, onSignal);
    }

    app.exec();
    return status;
}
