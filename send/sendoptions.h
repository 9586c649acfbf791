#pragma once

#include "settings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What display-send was asked to do, as read from its command line.
struct SendOptions {
    enum class Mode { Upload, DryRun, Test, Monitor, History, Report, Help, Version };

    Mode mode = Mode::Upload;
    QString configPath = QStringLiteral("display.cfg");
    bool configGiven = false;
    std::optional<int> portNumber; // --port
    QString device;                // --device
    int delaySeconds = Settings::delaySecondsForPosition(Settings::DefaultDelayPosition);
    QList<int> boards;             // expected to answer, ascending
    QStringList valueFiles;        // --values, in order
    QStringList assignments;       // --set, in order
    std::optional<double> seconds; // --monitor --seconds
    bool quiet = false;
    QString journalPath;   // --journal; empty: display-journal.db beside the config file
    int historyLimit = 20; // --history --limit
    bool json = false;     // --history --json
    QString reportPath;    // --report; "-": standard output
    int reportDays = 30;   // --report --days
    qint64 expectEverySeconds = 15 * 60; // --report --expect-every
    bool verbose = false;                // the wire log on standard error
    QString helpText;                    // what --help prints

    bool fillsRows() const { return !valueFiles.isEmpty() || !assignments.isEmpty(); }
};

// A command line that asks for nothing sensible; the text says what is wrong with it.
struct UsageError {
    QString text;
};

namespace SendCommandLine {

// Reads the arguments (the program name first). Throws UsageError.
SendOptions parse(const QStringList &arguments);

// "1-3,5" into the addresses it names, ascending and each once; throws UsageError.
QList<int> parseBoards(const QString &list, int lowest, int highest);

// "15m", "900s", "1h" or "1d" in seconds; throws UsageError.
qint64 parseDuration(const QString &option, const QString &text);

} // namespace SendCommandLine
