#include "simulatorapp.h"

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
constexpr int RedrawIntervalMs = 40;

// Not a second definition of the shape: the help text spells the page count out.
static_assert(PageSet::PageCount == 6, "the help text says \"the six pages\": reword it");

const QString SilentOption = QStringLiteral("silent");
const QString WrongOption = QStringLiteral("wrong");
const QString LateOption = QStringLiteral("late");
const QString ReplyDelayOption = QStringLiteral("reply-delay");
const QString LateDelayOption = QStringLiteral("late-delay");
const QString ReplyTailOption = QStringLiteral("reply-tail");
const QString CycleOption = QStringLiteral("cycle");
const QString OnceOption = QStringLiteral("once");
const QString PlainOption = QStringLiteral("plain");
const QString ConfigOption = QStringLiteral("config");
const QString TcpOption = QStringLiteral("tcp");

// A value on the command line the boards cannot take: what is wrong with it.
struct BadValue {
    QString text;
};

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

// The error after the program's name, as Qt's parser shows its own; returns the exit status.
int fail(const QString &text, int status = 2) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(text));
    return status;
}

winsize terminalSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_col = 80;
        size.ws_row = 0;
    }
    return size;
}

// The options as --help lists them. Their defaults are those of SimulatorOptions.
void describeOptions(QCommandLineParser &parser) {
    const SimulatorOptions defaults;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulated display boards on a pseudo-terminal. Prints the device and the console's "
            "port number that reaches it (\"/dev/pts/3 COM 103\"), then shows the six pages as "
            "the boards hold them. With --tcp the boards are a device server on a TCP port "
            "instead, serving one client at a time, and the first line is the device that "
            "reaches them (\"tcp://127.0.0.1:4001\"). Boards 1 to %1 take row pairs; addresses 0 "
            "to %1 answer "
            "probes. Every frame is checked and anything malformed is reported and not "
            "answered.\n\n"
            "Exit status with --once: 0 when every frame was well formed, 1 when a frame was "
            "rejected; 2 for a bad option, no pseudo-terminal or a port it cannot listen on.")
            .arg(BoardAddress::Highest));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {SilentOption, QStringLiteral("These addresses never answer (e.g. 3,5)."),
         QStringLiteral("addresses")},
        {WrongOption, QStringLiteral("These addresses answer with another board's digit first."),
         QStringLiteral("addresses")},
        {LateOption,
         QStringLiteral("These addresses answer after the console's %1 ms reply window.")
             .arg(BoardSimulator::ReplyWindowMs),
         QStringLiteral("addresses")},
        {ReplyDelayOption,
         QStringLiteral("Milliseconds before a reply (%1).").arg(defaults.replyDelayMs),
         QStringLiteral("ms"), QString::number(defaults.replyDelayMs)},
        {LateDelayOption,
         QStringLiteral("Milliseconds before a late reply (%1).").arg(defaults.lateDelayMs),
         QStringLiteral("ms"), QString::number(defaults.lateDelayMs)},
        {ReplyTailOption,
         QStringLiteral("What a board sends after its digit (\"%1\").")
             .arg(QString::fromLatin1(defaults.replyTail)),
         QStringLiteral("text"), QString::fromLatin1(defaults.replyTail)},
        {CycleOption,
         QStringLiteral("Show the pages in turn at the page delay, as the boards do.")},
        {OnceOption,
         QStringLiteral("Exit after one whole upload (the closing *Q after the page delay) once "
                        "the console has closed the port, printing the final state.")},
        {PlainOption, QStringLiteral("Plain text, no colours or redrawing (the default when not "
                                     "on a terminal).")},
        {ConfigOption,
         QStringLiteral("Write the port number that reaches these boards into this display.cfg, "
                        "keeping its rows (the default pages when it has none), so that the "
                        "console started in that folder uploads here."),
         QStringLiteral("file")},
        {TcpOption,
         QStringLiteral("Listen on this TCP port instead of a pseudo-terminal (0: any free "
                        "port). HOST is 127.0.0.1 unless given: other machines reach the boards "
                        "only through an address asked for here, such as 0.0.0.0 for every "
                        "interface."),
         QStringLiteral("[host:]port")},
    });
}

// "3,5" or repeated options: the addresses, each 0 to BoardAddress::Highest.
QList<int> addresses(const QCommandLineParser &parser, const QString &option) {
    QList<int> result;
    for (const QString &value : parser.values(option)) {
        for (const QString &part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const int address = part.trimmed().toInt(&ok);
            if (!ok || address < 0 || address > BoardAddress::Highest)
                throw BadValue{
                    QStringLiteral("--%1: \"%2\" is no board address (0 to %3)")
                        .arg(option, part.trimmed(), QString::number(BoardAddress::Highest))};
            result << address;
        }
    }
    return result;
}

int milliseconds(const QCommandLineParser &parser, const QString &option, int max) {
    bool ok = false;
    const int ms = parser.value(option).toInt(&ok);
    if (!ok || ms < 0 || ms > max)
        // One pass: a value such as "%3" must not be taken for a place of the message.
        throw BadValue{QStringLiteral("--%1: \"%2\" is not a number of milliseconds from 0 to %3")
                           .arg(option, parser.value(option), QString::number(max))};
    return ms;
}

// "4001", "127.0.0.1:4001", "0.0.0.0:4001", "[::1]:4001", "localhost:4001".
TcpListen listenOn(const QString &value) {
    TcpListen listen;
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    QString portText = value;
    if (colon >= 0) {
        QString host = value.left(colon);
        portText = value.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (host == QLatin1String("localhost"))
            host = QStringLiteral("127.0.0.1");
        if (!listen.host.setAddress(host))
            throw BadValue{QStringLiteral("--%1: \"%2\" is no IP address to listen on")
                               .arg(TcpOption, value.left(colon))};
    }
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        throw BadValue{
            QStringLiteral("--%1: \"%2\" is no TCP port (0 to 65535)").arg(TcpOption, portText)};
    listen.port = quint16(port);
    return listen;
}

// The options of a command line that parsed; BadValue for a value the boards cannot take.
SimulatorOptions optionsOf(const QCommandLineParser &parser) {
    SimulatorOptions options;
    // The option that set each address, so that no address gets two behaviours.
    std::array<QString, BoardAddress::Count> given;
    const std::pair<QString, BoardBehaviour> behaviours[] = {
        {SilentOption, BoardBehaviour::Silent},
        {WrongOption, BoardBehaviour::Wrong},
        {LateOption, BoardBehaviour::Late},
    };
    for (const auto &[name, behaviour] : behaviours) {
        for (const int address : addresses(parser, name)) {
            QString &earlier = given.at(std::size_t(address));
            if (!earlier.isEmpty() && earlier != name)
                throw BadValue{QStringLiteral("address %1 is both --%2 and --%3")
                                   .arg(address)
                                   .arg(earlier, name)};
            earlier = name;
            options.behaviour.at(std::size_t(address)) = behaviour;
        }
    }
    options.replyDelayMs = milliseconds(parser, ReplyDelayOption, SimulatorOptions::MaxDelayMs);
    options.lateDelayMs = milliseconds(parser, LateDelayOption, SimulatorOptions::MaxDelayMs);
    options.replyTail = parser.value(ReplyTailOption).toLatin1();
    options.cycle = parser.isSet(CycleOption);
    options.once = parser.isSet(OnceOption);
    options.plain = parser.isSet(PlainOption);
    if (parser.isSet(ConfigOption))
        options.config = parser.value(ConfigOption);
    if (parser.isSet(TcpOption))
        options.tcp = listenOn(parser.value(TcpOption));
    if (options.tcp && options.config)
        throw BadValue{QStringLiteral("--%1 writes a COM number, and no COM number reaches a TCP "
                                      "port: map one to it in the console's ports.conf instead")
                           .arg(ConfigOption)};
    return options;
}

// Points the console's display.cfg at these boards: the port number is replaced, the rows stay
// as the file holds them (the default pages where it has none, as the console itself reads it).
} // namespace

std::variant<SimulatorOptions, SimulatorExit> SimulatorApp::parse(const QStringList &arguments) {
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments))
        return SimulatorExit{SimulatorExit::Kind::Error, parser.errorText(), 1};
    if (parser.isSet(QStringLiteral("version")) || parser.isSet(QStringLiteral("help")) ||
        parser.isSet(QStringLiteral("help-all")))
        return SimulatorExit{SimulatorExit::Kind::Builtin, QString(), 0};
    if (!parser.positionalArguments().isEmpty())
        return SimulatorExit{
            SimulatorExit::Kind::Error,
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()),
            2};
    try {
        return optionsOf(parser);
    } catch (const BadValue &bad) {
        return SimulatorExit{SimulatorExit::Kind::Error, bad.text, 2};
    }
}

QString SimulatorApp::pointConfigAt(const QString &path, int portNumber) {
    const ConfigStore store(path);
    PageSet pages;
    DefaultPages::install(pages);
    qint16 previousPort = 1;
    if (!QFile::exists(path)) {
        store.save(qint16(portNumber), pages);
        return QStringLiteral("%1 now selects COM %2 (a new file with the default pages)\n")
            .arg(path, QString::number(portNumber));
    }
    try {
        store.load(previousPort, pages);
    } catch (const Failure &failure) {
        // The rows read before the damage stay; the old file is kept beside the new one.
        const QString kept = store.replaceUnreadable(qint16(portNumber), pages);
        const QString keptText =
            kept.isEmpty() ? QString() : QStringLiteral("; the old file is kept as %1").arg(kept);
        return QStringLiteral("%1 now selects COM %2 (the rows it could not read are the default "
                              "pages; %3%4)\n")
            .arg(path, QString::number(portNumber), failure.text(), keptText);
    }
    store.save(qint16(portNumber), pages);
    return QStringLiteral("%1 now selects COM %2 (its rows kept)\n")
        .arg(path, QString::number(portNumber));
}

int SimulatorApp::report(const SimulatorExit &exit) {
    if (exit.kind == SimulatorExit::Kind::Builtin) {
        // Qt's parser prints the version or the help (with Qt's own options for --help-all) and
        // ends the program.
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(QCoreApplication::arguments());
        return exit.status;
    }
    return fail(exit.text, exit.status);
}

SimulatorApp::SimulatorApp(const SimulatorOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_sim(options.tcp
                ? new BoardSimulator(new TcpBoards(options.tcp->host, options.tcp->port), this)
                : new BoardSimulator(this))
    , m_redraw(new QTimer(this))
    , m_nextPage(new QTimer(this))
    , m_giveUp(new QTimer(this)) {}

SimulatorApp::~SimulatorApp() {
    if (!m_signals)
        return;
    delete m_signals;
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        std::signal(number, SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

int SimulatorApp::run() {
    if (const QString problem = lineProblem(); !problem.isEmpty())
        return fail(problem);
    applyOptions();
    m_onTerminal = ::isatty(STDOUT_FILENO) && !m_options.plain;

    // First line, always: the line and the port number that reaches it. On a terminal the
    // screen is cleared first, and the lines above the view stay while the view is redrawn.
    if (m_onTerminal)
        print(QStringLiteral("\x1b[H\x1b[2J"));
    print(lineDescription() + QLatin1Char('\n'));
    if (m_options.config) {
        if (const QString problem = writeConfig(); !problem.isEmpty())
            return fail(problem);
    }

    startView();
    if (m_options.cycle)
        startCycling();
    if (m_options.once)
        stopAfterOneUpload();
    handleSignals();

    QCoreApplication::exec();
    return m_status;
}

QString SimulatorApp::lineProblem() const {
    if (m_sim->boards().isValid())
        return {};
    if (const auto *tcp = qobject_cast<const TcpBoards *>(&m_sim->boards()))
        return QStringLiteral("cannot listen on %1:%2: %3")
            .arg(m_options.tcp->host.toString())
            .arg(m_options.tcp->port)
            .arg(tcp->listenProblem());
    return QStringLiteral("cannot open a pseudo-terminal");
}

QString SimulatorApp::lineDescription() const {
    const LineBoards &boards = m_sim->boards();
    if (m_options.tcp)
        return boards.devicePath();
    const int port = boards.portNumber();
    return port > 0 ? QStringLiteral("%1 COM %2").arg(boards.devicePath()).arg(port)
                    : QStringLiteral("%1 (no COM port reaches it: the console's ports end at "
                                     "/dev/pts/150)")
                          .arg(boards.devicePath());
}

int SimulatorApp::consolePort() const {
    return m_sim->boards().portNumber();
}

QString SimulatorApp::noConsolePort() const {
    return QStringLiteral("no COM port reaches %1: close some terminals and try again")
        .arg(m_sim->boards().devicePath());
}

void SimulatorApp::watchLineClosed() {
    connect(&m_sim->boards(), &LineBoards::lineClosed, this, &SimulatorApp::finishOnce);
}

void SimulatorApp::releaseLine() {
    m_sim->boards().releaseLine();
}

void SimulatorApp::applyOptions() {
    LineBoards &boards = m_sim->boards();
    for (int address = 0; address < BoardAddress::Count; ++address)
        boards.bank().setBehaviour(address, m_options.behaviour.at(std::size_t(address)));
    boards.setReplyDelayMs(m_options.replyDelayMs);
    boards.setLateDelayMs(m_options.lateDelayMs);
    boards.setReplyTail(m_options.replyTail);
}

QString SimulatorApp::writeConfig() {
    const int port = consolePort();
    if (port < 0)
        return noConsolePort();
    try {
        print(pointConfigAt(*m_options.config, port));
        ++m_linesAboveView;
    } catch (const Failure &failure) {
        return failure.text();
    }
    return {};
}

ViewStyle SimulatorApp::viewStyle(bool colour, int page) const {
    ViewStyle view;
    view.colour = colour;
    const winsize size = terminalSize();
    view.width = colour ? size.ws_col : ViewStyle().width;
    view.height = colour ? size.ws_row - m_linesAboveView : 0;
    view.shownPage = page;
    view.messages = colour; // in plain text every frame has been logged already
    return view;
}

void SimulatorApp::startView() {
    // On a terminal: redraw the whole view, at most every RedrawIntervalMs.
    m_redraw->setSingleShot(true);
    m_redraw->setInterval(RedrawIntervalMs);
    connect(m_redraw, &QTimer::timeout, this, &SimulatorApp::redrawNow);
    if (m_onTerminal) {
        connect(m_sim, &BoardSimulator::changed, m_redraw, [this] {
            if (!m_redraw->isActive())
                m_redraw->start();
        });
        m_redraw->start();
    } else {
        connect(m_sim, &BoardSimulator::logLine, this,
                [](const QString &line) { print(line + QLatin1Char('\n')); });
        connect(m_sim, &BoardSimulator::uploadCompleted, this, [this] {
            if (!m_options.once)
                print(renderView(*m_sim, viewStyle(false, -1)));
        });
    }
}

void SimulatorApp::redrawNow() {
    print(QStringLiteral("\x1b[%1;1H\x1b[J").arg(m_linesAboveView + 1) +
          renderView(*m_sim, viewStyle(true, m_options.cycle ? m_shownPage : -1)));
}

void SimulatorApp::startCycling() {
    connect(m_nextPage, &QTimer::timeout, this, &SimulatorApp::showNextPage);
    scheduleNextPage();
}

void SimulatorApp::scheduleNextPage() {
    const int delay = m_sim->bank().pageDelaySeconds();
    m_nextPage->start((delay > 0 ? delay : DefaultPageDelaySeconds) * 1000);
}

void SimulatorApp::showNextPage() {
    m_shownPage = (m_shownPage + 1) % PageSet::PageCount;
    if (m_onTerminal)
        m_redraw->start();
    else
        print(QStringLiteral("showing Page %1\n").arg(m_shownPage + 1) +
              renderPage(*m_sim, m_shownPage));
    scheduleNextPage();
}

void SimulatorApp::stopAfterOneUpload() {
    // The console still reads for one reply window after the closing *Q and then closes the
    // port: keep the line up until it has, so it sees no failure.
    m_giveUp->setSingleShot(true);
    connect(m_sim, &BoardSimulator::uploadCompleted, this, [this] {
        releaseLine();
        m_giveUp->start(LineReleaseTimeoutMs);
    });
    watchLineClosed();
    connect(m_giveUp, &QTimer::timeout, this, &SimulatorApp::finishOnce);
}

void SimulatorApp::finishOnce() {
    if (m_finished)
        return;
    m_finished = true;
    m_giveUp->stop();
    m_redraw->stop();
    print(
        (m_onTerminal ? QStringLiteral("\x1b[%1;1H\x1b[J").arg(m_linesAboveView + 1) : QString()) +
        renderView(*m_sim, viewStyle(m_onTerminal, -1)));
    m_status = m_sim->framesRejected() > 0 ? 1 : 0;
    QCoreApplication::quit();
}

void SimulatorApp::handleSignals() {
    // Ctrl-C, kill and a resized terminal arrive through a pipe into the event loop.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_signals = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signals, &QSocketNotifier::activated, this, [this] {
        char number = 0;
        while (::read(signalPipe[0], &number, 1) == 1) {
            if (number == SIGWINCH) {
                if (m_onTerminal)
                    m_redraw->start();
            } else {
                m_status = 128 + number;
                QCoreApplication::quit();
            }
        }
    });
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        std::signal(number, onSignal);
}
