// display-board-sim: boards 1 to BoardAddress::Highest (and probe answers for every address) on
// a pseudo-terminal that the console opens as one of its COM ports. Prints the device and its
// port number first, then what the boards hold, redrawn as frames arrive. See SimulatorApp.

#include "simulatorapp.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("display-board-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    const auto parsed = SimulatorApp::parse(QCoreApplication::arguments());
    if (const auto *exit = std::get_if<SimulatorExit>(&parsed))
        return SimulatorApp::report(*exit);
    SimulatorApp simulator(std::get<SimulatorOptions>(parsed));
    return simulator.run();
}
