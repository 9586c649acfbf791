#pragma once

#include "report.h"
#include "settings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What display-send was asked to do, as read from its command line.
struct SendOptions {
    enum class Mode {
        Upload,
        DryRun,
        ShowValues,
        Test,
        Monitor,
        History,
        Check,
        Report,
        Init,
        Forward,
        SharedInit,
        SharedAdd,
        SealInit,
        SealAdvance,
        Verify,
        SharedRetire,
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

// display-send's description in --help: what it does, and its exit statuses.
QString programDescription();

// --shared-add-site LOGIN SITE and --shared-add-reader LOGIN: a login role's and a site's names
// as the server takes them; throws UsageError.
void checkLogin(const SendOptions &options);

// "15m", "90s", "2h", "1d" or a bare number of seconds into seconds, within a year; throws
// UsageError.
qint64 parseInterval(const QString &option, const QString &text);

// "1-3,5" into the addresses it names, ascending and each once; throws UsageError.
QList<int> parseBoards(const QString &list, int lowest, int highest);

// What is wrong with a port number the console's list does not offer, given to --port or on
// display.cfg's port line: "not a port number from 1 to 250".
QString portNumberProblem();

// text as a whole number from lowest to highest; throws UsageError "--option text: what".
int wholeNumber(const QString &option, const QString &text, int lowest, int highest,
                const QString &what);

} // namespace SendCommandLine
