#include "simulatorapp.h"

#include "analyser.h"
#include "configstore.h"
#include "defaultpages.h"
#include "failure.h"
#include "signalwatcher.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int DefaultPageDelaySeconds = 5; // what the console sends unless the operator changes it
constexpr int LineReleaseTimeoutMs = 3000;
constexpr int RedrawIntervalMs = 40;

void print(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

winsize terminalSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_col = 80;
        size.ws_row = 0;
    }
    return size;
}

} // namespace

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

SimulatorApp::SimulatorApp(const SimulatorOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_sim(options.tcp
                ? new BoardSimulator(new TcpBoards(options.tcp->host, options.tcp->port), this)
                : new BoardSimulator(this))
    , m_analyser(options.modbusTcp
                     ? new SimulatedAnalyser(options.modbusTcp->host, options.modbusTcp->port, this)
                     : nullptr)
    , m_redraw(new QTimer(this))
    , m_nextPage(new QTimer(this))
    , m_giveUp(new QTimer(this)) {}

SimulatorApp::~SimulatorApp() = default;

int SimulatorApp::run() {
    if (const QString problem = lineProblem(); !problem.isEmpty())
        return report(SimulatorExit{SimulatorExit::Kind::Error, problem, 2});
    applyOptions();
    m_onTerminal = ::isatty(STDOUT_FILENO) && !m_options.plain;

    // First line, always: the line and the port number that reaches it. On a terminal the
    // screen is cleared first, and the lines above the view stay while the view is redrawn.
    if (m_onTerminal)
        print(QStringLiteral("\x1b[H\x1b[2J"));
    print(lineDescription() + QLatin1Char('\n'));
    if (m_analyser) {
        if (!m_analyser->isListening())
            return report(SimulatorExit{SimulatorExit::Kind::Error,
                                        QStringLiteral("cannot listen for Modbus on %1:%2: %3")
                                            .arg(m_options.modbusTcp->host.toString(),
                                                 QString::number(m_options.modbusTcp->port),
                                                 m_analyser->listenProblem()),
                                        2});
        // The line a sources file reads the analyser with.
        print(QStringLiteral("modbus-tcp = %1\n").arg(m_analyser->address()));
        ++m_linesAboveView;
    }
    if (m_options.config) {
        if (const QString problem = writeConfig(); !problem.isEmpty())
            return report(SimulatorExit{SimulatorExit::Kind::Error, problem, 2});
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
            .arg(m_options.tcp->host.toString(), QString::number(m_options.tcp->port),
                 tcp->listenProblem());
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
    // Ctrl-C, kill and a resized terminal arrive as a signal of the watcher.
    auto *const watcher = new SignalWatcher({SIGINT, SIGTERM, SIGHUP, SIGWINCH}, this);
    connect(watcher, &SignalWatcher::signalled, this, [this](int number) {
        if (number == SIGWINCH) {
            if (m_onTerminal)
                m_redraw->start();
        } else {
            m_status = 128 + number;
            QCoreApplication::quit();
        }
    });
}
