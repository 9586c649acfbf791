#pragma once

#include "report.h"
#include "settings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What display-send was asked to do, as read from its command line.
struct SendOptions {
    // In the order a command line that asks for two is told to choose from.
    enum class Mode {
        Upload,
        Test,
        Monitor,
        DryRun,
        ShowValues,
        History,
        Check,
        Report,
        Init,
        Forward,
        SharedInit,
        SharedAdd,
        SharedRetire,
        SealInit,
        SealAdvance,
        Verify,
        Help,
        Version
    };

    Mode mode = Mode::Upload;
    QString configPath = QStringLiteral("display.cfg");
    bool configGiven = false;
    std::optional<int> portNumber; // --port
    QString device;                // --device
    int delaySeconds = Settings::delaySecondsForPosition(Settings::DefaultDelayPosition);
    QList<int> boards;       // expected to answer, ascending
    QStringList valueFiles;  // --values, in order
    QStringList assignments; // --set, in order
    QString sourcesPath;     // --sources; empty: sources.conf beside the config, if any
    QString missingText = QStringLiteral("--"); // --missing
    std::optional<double> seconds;              // --monitor --seconds
    bool quiet = false;
    QString journalPath;   // --journal; empty: display-journal.db beside the config file
    int historyLimit = 20; // --history --limit
    bool json = false;     // --history or --show-values --json
    bool csv = false;      // --history --csv
    QString alertCommand;  // --alert, run through /bin/sh -c; empty: none
    int alertTimeoutMs = 30'000;
    QString reportPath; // --report; "-": standard output
    // --report --days, and --check's or --report's --expect-every
    int reportDays = ReportOptions::DefaultDays;
    qint64 expectEverySeconds = ReportOptions::DefaultExpectEverySeconds;
    bool verbose = false;    // the wire log on standard error
    QString journalConfPath; // --journal-conf; empty: journal.conf beside the config
    bool shared = false;     // --history --shared: the shared journal's records
    QString site;            // --history --shared --site; empty: every site
    QString addSiteLogin;    // --shared-add-site LOGIN SITE
    QString addSiteName;
    QString addReaderLogin;          // --shared-add-reader LOGIN
    QString retireSite;              // --shared-retire SITE (with --device: only that device)
    qint64 sealEpochSeconds = 86400; // --seal-init --seal-epoch
    QString verifyKeyPath;           // --verify: the file holding the verification key
    QString helpText;                // what --help prints
};

// A command line that asks for nothing sensible; the text says what is wrong with it.
struct UsageError {
    QString text;
};

namespace SendCommandLine {

// Reads the arguments (the program name first). Throws UsageError.
SendOptions parse(const QStringList &arguments);

// What is wrong with a port number the console's list does not offer, given to --port or on
// display.cfg's port line: "not a port number from 1 to 250".
QString portNumberProblem();

} // namespace SendCommandLine
