#pragma once

// display-board-sim as a class. Two steps: parse() turns the command line into SimulatorOptions
// (or says why there is nothing to run), and run() shows the simulated boards with those options
// until one upload (--once) or a signal ends it.

#include "simulatoroptions.h"
#include "terminalview.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <variant>

class BoardSimulator;
class SimulatedAnalyser;
class QTimer;

class SimulatorApp : public QObject {
    Q_OBJECT

public:
    // arguments: as QCoreApplication::arguments(), the program first. Needs no pseudo-terminal.
    // (simulatoroptions.cpp, with report())
    static std::variant<SimulatorOptions, SimulatorExit> parse(const QStringList &arguments);
    // Prints what the exit says (the help or version text as Qt's parser does it, or the error)
    // and returns the exit status. Within the running QCoreApplication whose command line it is.
    static int report(const SimulatorExit &exit);
    // Writes portNumber into the console's config file at path, keeping the rows it holds (a
    // file that cannot be read is kept beside first). Returns the line to print; throws Failure.
    static QString pointConfigAt(const QString &path, int portNumber);

    // Opens the line at once: a pseudo-terminal, or with --tcp a listening TCP port.
    explicit SimulatorApp(const SimulatorOptions &options, QObject *parent = nullptr);
    ~SimulatorApp() override;

    // Prints the line's device and port first, then shows the boards, redrawn as frames arrive,
    // in the running QCoreApplication's event loop. Returns the exit status: 0, or with --once 1
    // when a frame was rejected; 2 when the line cannot be opened or --config cannot be written;
    // 128 + the signal that ended it.
    int run();

private:
    // The line the console reaches the boards by, a pseudo-terminal or a TCP port: only these
    // functions (and the LineBoards that BoardSimulator owns) know which.
    QString lineProblem() const;     // why the line could not be opened, empty when it is open
    QString lineDescription() const; // the first line printed: "/dev/pts/3 COM 103"
    int consolePort() const;         // the console's port number that reaches the line, or -1
    QString noConsolePort() const;   // why consolePort() is -1, for --config
    void watchLineClosed();          // finishOnce() when the line is down
    void releaseLine();              // the line goes down once the console has closed it too

    void applyOptions();
    QString writeConfig(); // --config: what went wrong, empty when the file now selects the line
    ViewStyle viewStyle(bool colour, int page) const;
    void startView();
    void redrawNow();
    void startCycling();
    void scheduleNextPage();
    void showNextPage();
    void stopAfterOneUpload();
    void finishOnce();
    void handleSignals();

    const SimulatorOptions m_options;
    BoardSimulator *const m_sim;
    // --modbus-tcp, else null
    SimulatedAnalyser *const m_analyser;
    QTimer *const m_redraw;   // on a terminal: at most one redraw every RedrawIntervalMs
    QTimer *const m_nextPage; // --cycle
    QTimer *const m_giveUp;   // --once: the console has not closed the line in time
    bool m_onTerminal = false;
    int m_linesAboveView = 1;
    int m_shownPage = 0;
    bool m_finished = false;
    int m_status = 0;
};
