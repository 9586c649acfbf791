#include "sendoptionrow.h"

#include "journalconf.h"
#include "pageset.h"
#include "porttarget.h"
#include "settings.h"

#include <QRegularExpression>

#include <set>

QString SendCommandLine::portNumberProblem() {
    return QStringLiteral("not a port number from 1 to %1").arg(Settings::PortCount);
}

namespace {

using M = SendOptions::Mode;
using Reader = SendOptionRow::Reader;

// Far beyond what a screen or a script reads at once, yet a bound on what one call pulls from a
// journal of years.
constexpr int MaxHistoryLimit = 1'000'000;
// Ten years and then some: a report of everything a journal is likely to hold.
constexpr int MaxReportDays = 4000;

// text as a whole number from lowest to highest; throws UsageError "--option text: what".
int wholeNumber(const QString &option, const QString &text, int lowest, int highest,
                const QString &what) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < lowest || value > highest)
        throw UsageError{QStringLiteral("--%1 %2: %3").arg(option, text, what)};
    return value;
}

qint64 parseInterval(const QString &option, const QString &text) {
    // A unit is needed: a bare 15 is as likely meant as minutes as seconds.
    static const QRegularExpression form(QStringLiteral(R"(^\s*(\d{1,9})\s*([smhd])\s*$)"));
    const QRegularExpressionMatch match = form.match(text);
    constexpr qint64 Year = 366LL * 24 * 3600;
    constexpr qint64 UnitSeconds[] = {1, 60, 3600, 24 * 3600}; // s, m, h, d
    const qint64 seconds = match.hasMatch()
                               ? match.captured(1).toLongLong() *
                                     UnitSeconds[QStringLiteral("smhd").indexOf(match.captured(2))]
                               : 0;
    if (seconds <= 0 || seconds > Year)
        throw UsageError{QStringLiteral("--%1 %2: not a time like 15m, 90s, 2h or 1d, above 0 and "
                                        "within a year")
                             .arg(option, text)};
    return seconds;
}

QList<int> parseBoards(const QString &list, int lowest, int highest) {
    static const QRegularExpression item(QStringLiteral(R"(^\s*(\d+)\s*(?:-\s*(\d+)\s*)?$)"));
    const auto bad = [&](const QString &why) {
        return UsageError{QStringLiteral("--boards %1: %2").arg(list, why)};
    };
    std::set<int> boards;
    const QStringList parts = list.split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QRegularExpressionMatch match = item.match(part);
        if (!match.hasMatch())
            throw bad(QStringLiteral("\"%1\" is neither an address nor a range like 1-3")
                          .arg(part.trimmed()));
        // Digits beyond int (99999999999) are no address either, not the 0 toInt gives them.
        bool firstOk = false;
        bool lastOk = true;
        const int first = match.captured(1).toInt(&firstOk);
        const int last = match.captured(2).isEmpty() ? first : match.captured(2).toInt(&lastOk);
        if (firstOk && lastOk && first > last)
            throw bad(QStringLiteral("the range %1 runs backwards").arg(part.trimmed()));
        if (!firstOk || !lastOk || first < lowest || last > highest)
            throw bad(QStringLiteral("boards are addressed %1 to %2")
                          .arg(QString::number(lowest), QString::number(highest)));
        for (int address = first; address <= last; ++address)
            boards.insert(address);
    }
    return {boards.begin(), boards.end()};
}

const OptionScope AnUpload{"an upload", {M::Upload, M::DryRun}};
const OptionScope ReadsValues{"an upload or --show-values", {M::Upload, M::DryRun, M::ShowValues}};
const OptionScope OpensPort{"a job that opens the port, or --check",
                            {M::Upload, M::Test, M::Monitor, M::Check},
                            nullptr,
                            "shared"};
const OptionScope HistoryOnly{"--history", {M::History}};

Reader flag(bool SendOptions::*member) {
    return [member](SendOptions &options, const GivenOption &) { options.*member = true; };
}

// A file or a name: any text but an empty one.
Reader text(QString SendOptions::*member, const char *what) {
    return [member, what](SendOptions &options, const GivenOption &given) {
        if (given.value().isEmpty())
            throw UsageError{
                QStringLiteral("--%1 names no %2").arg(given.name, QLatin1String(what))};
        options.*member = given.value();
    };
}

template <typename Number>
Reader whole(Number SendOptions::*member, int lowest, int highest, const QString &what) {
    return [=](SendOptions &options, const GivenOption &given) {
        options.*member = wholeNumber(given.name, given.value(), lowest, highest, what);
    };
}

QString login(const GivenOption &given) {
    if (given.value().isEmpty() || given.value().size() > 63)
        throw UsageError{QStringLiteral("\"%1\" is not a login role's name").arg(given.value())};
    return given.value();
}

// Checked as a row is, before anything is read: a text no row can carry would otherwise stop the
// upload only once a value is missing.
void readMissing(SendOptions &options, const GivenOption &given) {
    options.missingText = given.value();
    QString problem = PageSet::characterProblem(options.missingText);
    if (problem.isEmpty() && options.missingText.size() > PageSet::MaxTypedLength)
        problem = QStringLiteral("has %1 characters; a row holds %2")
                      .arg(QString::number(options.missingText.size()),
                           QString::number(PageSet::MaxTypedLength));
    if (!problem.isEmpty())
        throw UsageError{QStringLiteral("--missing \"%1\" %2")
                             .arg(options.missingText.size() > 40
                                      ? options.missingText.left(40) + QChar(0x2026)
                                      : options.missingText,
                                  problem)};
}

void readDevice(SendOptions &options, const GivenOption &given) {
    options.device = given.value();
    if (options.device.isEmpty())
        throw UsageError{QStringLiteral("--device names no device")};
    // --shared-retire: a device as the records name it, whatever it was.
    if (const QString problem = options.mode == SendOptions::Mode::SharedRetire
                                    ? QString()
                                    : deviceAddressProblem(options.device);
        !problem.isEmpty())
        throw UsageError{QStringLiteral("--device %1: %2").arg(options.device, problem)};
}

void readSeconds(SendOptions &options, const GivenOption &given) {
    bool ok = false;
    const double value = given.value().toDouble(&ok);
    if (!ok || !(value > 0) || value > 31'536'000)
        throw UsageError{
            QStringLiteral("--seconds %1: not a number of seconds above 0").arg(given.value())};
    options.seconds = value;
}

// A row's form in parts: 1 the short name, 2 the long one, 3 the value's name, 4 "..." when it
// may be given more than once, 5 a word of its own.
QRegularExpressionMatch formParts(const char *form) {
    static const QRegularExpression parts(
        QStringLiteral(R"(^(?:-(\w), )?--([\w-]+)(?: <([^>]+)>(\.\.\.)?)?(?: (\w+))?$)"));
    return parts.match(QLatin1String(form));
}

} // namespace

QString SendOptionRow::name() const {
    return formParts(form).captured(2);
}

QString SendOptionRow::word() const {
    return formParts(form).captured(5);
}

bool SendOptionRow::repeats() const {
    return formParts(form).hasCaptured(4);
}

QCommandLineOption SendOptionRow::option() const {
    const QRegularExpressionMatch parts = formParts(form);
    QCommandLineOption option(parts.hasCaptured(1) ? QStringList{parts.captured(1), name()}
                                                   : QStringList{name()},
                              help, parts.captured(3));
    if (help.isEmpty())
        option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

namespace {

const SendOptions Defaults;

// Adding an option: its member in SendOptions and its row here, where --help is to list it (see
// docs/DEVELOPING.md); a mode also its SendOptions::Mode and its case in SendProgram::run().
const SendOptionRow Rows[] = {
    {"--journal-conf <file>",
     OptionScope{"an upload, --test, --forward, --shared-init, --shared-add-site, "
                 "--shared-add-reader, --shared-retire or --shared",
                 {M::Upload, M::Test, M::Forward, M::SharedInit, M::SharedAdd, M::SharedRetire},
                 "shared"},
     QStringLiteral("The shared journal's settings from this file instead of journal.conf "
                    "beside the config file."),
     text(&SendOptions::journalConfPath, "file")},
    {"--forward", M::Forward,
     QStringLiteral("Send the journal's records not yet in the shared journal (journal.conf) "
                    "there, oldest first; an upload or a board test does so after its job. "
                    "Exit status 2 when the shared journal cannot be reached or refuses.")},
    {"--shared-init", M::SharedInit,
     QStringLiteral("Create the shared journal's schema and its fleet's roles (named after "
                    "the database), or bring them up to date; run by an administrator.")},
    {"--shared-add-site <LOGIN> SITE", M::SharedAdd,
     QStringLiteral("Record the login role LOGIN as site SITE (the word after it) in the "
                    "shared journal, with a site's rights; run by an administrator."),
     [](SendOptions &options, const GivenOption &given) {
         options.addSiteLogin = login(given);
         if (!JournalConf::isSiteName(given.word))
             throw UsageError{QStringLiteral("site \"%1\" is not a name of up to 63 letters, "
                                             "digits, \".\", \"_\" and \"-\"")
                                  .arg(given.word)};
         options.addSiteName = given.word;
     }},
    {"--shared-add-reader <LOGIN>", M::SharedAdd,
     QStringLiteral("Let the login role LOGIN read every site's records (an office); run by "
                    "an administrator."),
     [](SendOptions &options, const GivenOption &given) { options.addReaderLogin = login(given); }},
    {"--shared-retire <SITE>", M::SharedRetire,
     QStringLiteral("Retire site SITE, or only its --device, from now on: --check --shared and "
                    "--report --shared leave it out until a record of it is received again; "
                    "its records stay. Run by an administrator."),
     text(&SendOptions::retireSite, "site")},
    {"--shared",
     OptionScope{"--history, --report, --check or --verify",
                 {M::History, M::Report, M::Check, M::Verify}},
     QStringLiteral("With --history, --report, --check or --verify: the shared journal "
                    "(journal.conf) instead of the local one, every site or --site; no "
                    "display.cfg is needed."),
     flag(&SendOptions::shared)},
    {"--site <name>", OptionScope{"--shared", {}, "shared"},
     QStringLiteral("With --shared: only this site."), text(&SendOptions::site, "site")},
    {"--seal-init", M::SealInit,
     QStringLiteral("Begin sealing the journal: make its sealing key beside it (readable by "
                    "its owner only) and print the verification key once, to keep off this "
                    "machine. Every record after is sealed as it begins and as it ends.")},
    {"--seal-epoch <time>", OptionScope{"--seal-init", {M::SealInit}},
     QStringLiteral("With --seal-init: how long one sealing key lasts before it is replaced "
                    "by the next and destroyed, with its unit: 1d, 12h, 30m (1d)."),
     [](SendOptions &options, const GivenOption &given) {
         options.sealEpochSeconds = parseInterval(given.name, given.value());
         if (options.sealEpochSeconds < 60)
             throw UsageError{QStringLiteral("--seal-epoch %1: an epoch lasts a minute or more")
                                  .arg(given.value())};
     }},
    {"--seal-advance", M::SealAdvance,
     QStringLiteral("Replace the sealing key by the key of the current epoch, destroying the "
                    "older one, even when no job runs (the hourly timer does this); nothing "
                    "when the folder is not sealed.")},
    {"--verify <FILE>", M::Verify,
     QStringLiteral("Check the journal's seals against the verification key held in FILE, one "
                    "line per finding (--json: one object a line); with --report, one line at "
                    "the top of the report; with --shared --site SITE, that site's records in "
                    "the shared journal, with the site's key. Exit 0 when every sealed record "
                    "verifies, 1 when anything does not, 3 for a bad key file or an unreadable "
                    "journal."),
     text(&SendOptions::verifyKeyPath, "file")},
    {"-h, --help", M::Help, QStringLiteral("Show this help and exit.")},
    {"-v, --version", M::Version, QStringLiteral("Show the version and exit.")},
    {"--config <file>", OptionScope{},
     QStringLiteral("The display.cfg to read (./display.cfg). It is never written."),
     [](SendOptions &options, const GivenOption &given) {
         options.configPath = given.value();
         options.configGiven = true;
     }},
    // Only the numbers of the console's port list: any other is a typing mistake, refused
    // before a job (and its journal record) begins.
    {"--port <n>", OpensPort,
     QStringLiteral("Use COM n (1 to %1), as the console's port list does, through the same "
                    "ports.conf (default: the port number in the file).")
         .arg(Settings::PortCount),
     whole(&SendOptions::portNumber, 1, Settings::PortCount, SendCommandLine::portNumberProblem())},
    {"--device <path>",
     OptionScope{"a job that opens the port, --check or --shared-retire",
                 {M::Upload, M::Test, M::Monitor, M::Check, M::SharedRetire},
                 nullptr,
                 "shared"},
     QStringLiteral("Use this serial device, or a device server as tcp://HOST:PORT, instead "
                    "of a COM number. With --shared-retire: the device to retire, as its "
                    "records name it."),
     readDevice},
    {"--delay <seconds>", AnUpload,
     QStringLiteral("Page delay in seconds, %1 to %2 (%3).")
         .arg(QString::number(Settings::DelayMinSeconds),
              QString::number(Settings::DelayMaxSeconds), QString::number(Defaults.delaySeconds)),
     whole(&SendOptions::delaySeconds, Settings::DelayMinSeconds, Settings::DelayMaxSeconds,
           QStringLiteral("not a whole number of seconds from %1 to %2")
               .arg(QString::number(Settings::DelayMinSeconds),
                    QString::number(Settings::DelayMaxSeconds)))},
    {"--boards <list>", OptionScope{"an upload or --test", {M::Upload, M::DryRun, M::Test}},
     QStringLiteral("The boards expected to answer, e.g. 1-3,5 (1-%1).").arg(BoardAddress::Highest),
     [](SendOptions &options, const GivenOption &given) {
         // Address 0 is asked only by the test.
         options.boards =
             parseBoards(given.value(), options.mode == M::Test ? 0 : 1, BoardAddress::Highest);
     }},
    {"--values <file>...", ReadsValues,
     QStringLiteral("A JSON object of names to numbers or strings to fill the rows with; may "
                    "be given more than once, the later file wins."),
     [](SendOptions &options, const GivenOption &given) { options.valueFiles = given.values; }},
    {"--set <name=value>...", ReadsValues,
     QStringLiteral("One value to fill the rows with; wins over the files. A plain decimal "
                    "number is a number."),
     [](SendOptions &options, const GivenOption &given) { options.assignments = given.values; }},
    {"--sources <file>", ReadsValues,
     QStringLiteral("Read live values as this file says (default: sources.conf beside the "
                    "config file, when there is one)."),
     text(&SendOptions::sourcesPath, "file")},
    {"--missing <text>", AnUpload,
     QStringLiteral("What an unavailable value's field shows (%1).").arg(Defaults.missingText),
     readMissing},
    {"--show-values", M::ShowValues,
     QStringLiteral("Read the sources, --values and --set and print one line per name: name, "
                    "value, state (ok, stale, flagged, failed), time and source; open no "
                    "port. Exit status 4 when a value is unavailable.")},
    {"--dry-run", M::DryRun,
     QStringLiteral("Read the sources, fill the rows and print the frames, one a line (CR as "
                    "\\r); open nothing.")},
    {"--quiet", OptionScope{"a job", {M::Upload, M::DryRun, M::Test, M::Monitor}},
     QStringLiteral("Print nothing but errors."), flag(&SendOptions::quiet)},
    {"--verbose", OptionScope{"a job that opens the port", {M::Upload, M::Test, M::Monitor}},
     QStringLiteral("Log every frame written and every reply read on standard error, with the "
                    "milliseconds since the job started (control characters as \\r, \\n, "
                    "\\xNN)."),
     flag(&SendOptions::verbose)},
    {"--test", M::Test,
     QStringLiteral("Probe board addresses 0 to %1 instead of uploading.")
         .arg(BoardAddress::Highest)},
    {"--monitor", M::Monitor,
     QStringLiteral("Send nothing; print what arrives on the port every 500 ms.")},
    {"--seconds <s>", OptionScope{"--monitor", {M::Monitor}},
     QStringLiteral("With --monitor: stop after this many seconds (default: until "
                    "interrupted)."),
     readSeconds},
    {"--journal <file>",
     OptionScope{"a job or --history",
                 {M::Upload, M::Test, M::Monitor, M::DryRun, M::ShowValues, M::History, M::Check,
                  M::Report, M::Forward, M::SealInit, M::SealAdvance, M::Verify},
                 nullptr,
                 "shared"},
     QStringLiteral("Record uploads and board tests in this file (and read --history and "
                    "--report from it) instead of display-journal.db beside the config file."),
     text(&SendOptions::journalPath, "file")},
    {"--history", M::History,
     QStringLiteral("Print the journal's newest records, newest first, one a line; open no "
                    "port.")},
    {"--limit <n>", HistoryOnly,
     QStringLiteral("With --history: how many records (%1).").arg(Defaults.historyLimit),
     whole(&SendOptions::historyLimit, 1, MaxHistoryLimit,
           QStringLiteral("not a number of records from 1 to %1").arg(MaxHistoryLimit))},
    {"--json",
     OptionScope{"--history, --show-values or --verify", {M::History, M::ShowValues, M::Verify}},
     QStringLiteral("With --history or --show-values: one JSON object a line."),
     flag(&SendOptions::json)},
    {"--csv", HistoryOnly,
     QStringLiteral("With --history: CSV (RFC 4180, UTF-8 with a byte order mark) for a "
                    "spreadsheet."),
     flag(&SendOptions::csv)},
    {"--alert <command>",
     OptionScope{"an upload, --test or --check", {M::Upload, M::Test, M::Check}},
     QStringLiteral("After an upload or a board test whose outcome differs from the one before "
                    "on the same port, or when --check finds the uploads stopped, run this "
                    "through /bin/sh -c, with DISPLAY_DEVICE, DISPLAY_PORT, DISPLAY_JOB, "
                    "DISPLAY_OUTCOME, DISPLAY_PREVIOUS_OUTCOME, DISPLAY_SILENT_BOARDS, "
                    "DISPLAY_UNAVAILABLE, DISPLAY_ERROR and DISPLAY_JOURNAL set. It is "
                    "stopped after 30 s."),
     [](SendOptions &options, const GivenOption &given) {
         if (given.value().trimmed().isEmpty())
             throw UsageError{QStringLiteral("--alert names no command")};
         options.alertCommand = given.value();
     }},
    // How long the alert command may run, for the tests, which cannot wait 30 s for a command
    // that hangs.
    {"--alert-timeout-ms <ms>", OptionScope{"--alert", {}, "alert"}, QString(),
     whole(&SendOptions::alertTimeoutMs, 1, Defaults.alertTimeoutMs,
           QStringLiteral("not a number of milliseconds"))},
    {"--check", M::Check,
     QStringLiteral("Run no job: exit 1 (and run the --alert command) when the last complete "
                    "upload to the port is older than 1.5 times --expect-every.")},
    {"--expect-every <time>", OptionScope{"--check or --report", {M::Check, M::Report}},
     QStringLiteral("With --check or --report: how often uploads run, with its unit: 15m, "
                    "90s, 2h (--report: 15m)."),
     [](SendOptions &options, const GivenOption &given) {
         options.expectEverySeconds = parseInterval(given.name, given.value());
     }},
    {"--report <file>", M::Report,
     QStringLiteral("Write the journal's last days as one HTML page (\"-\": standard output): "
                    "each device's last complete upload, each board's answers, uploads per "
                    "day, the failures and the pages as last sent; open no port. It writes a "
                    "new file or over an earlier report, nothing else."),
     text(&SendOptions::reportPath, "file")},
    {"--days <n>", OptionScope{"--report", {M::Report}},
     QStringLiteral("With --report: how many days up to now (%1).").arg(Defaults.reportDays),
     whole(&SendOptions::reportDays, 1, MaxReportDays,
           QStringLiteral("not a number of days from 1 to %1").arg(MaxReportDays))},
    {"--init", M::Init,
     QStringLiteral("Write a new display.cfg (or the --config file) with the default pages "
                    "and port 1, and exit. Never replaces a file: exit 3 when one is there.")},
};

} // namespace

std::span<const SendOptionRow> sendOptionRows() {
    return Rows;
}
