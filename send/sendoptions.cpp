#include "sendoptions.h"

#include "journalconf.h"

#include "pageset.h"
#include "porttarget.h"
#include "settings.h"

#include <QCommandLineParser>

namespace SendCommandLine {

namespace {

// Far beyond what a screen or a script reads at once, yet a bound on what one call pulls from a
// journal of years.
constexpr int MaxHistoryLimit = 1'000'000;
// Ten years and then some: a report of everything a journal is likely to hold.
constexpr int MaxReportDays = 4000;

} // namespace

SendOptions parse(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Uploads the six pages of a display.cfg to the display boards, exactly as the console's "
        "SEND does, and says which boards answered. With live sources (--sources, or sources.conf "
        "beside the config file), --values or --set, every row is a template: {name} or "
        "{name:format} is replaced by that value ({pH:>5.1f}, {date:%d.%m.%Y}, {time:%H:%M}, "
        "{updated:%d.%m.%Y %H:%M}), and {{ and }} stand for braces. Sources are read first, then "
        "--values files, then --set; the later wins. A value its source cannot give fresh "
        "(stale, flagged, missing) shows the --missing text and is named on standard error; the "
        "upload still goes out.\n\n"
        "Every upload and board test is recorded in display-journal.db beside the config file "
        "(or --journal FILE); --history prints the newest records, --report writes an HTML page "
        "of the last days for an inspector. With --alert COMMAND, a "
        "board that stops or starts answering, a port that fails or works again, or values "
        "that become unavailable or come back run COMMAND; --check --expect-every 15m runs it "
        "when the last complete upload is older than 1.5 times that.\n\n"
        "Exit status: 0 every frame went out and every expected board answered; 1 some expected "
        "board did not answer, or --check found the last complete upload too old; 2 the port could "
        "not be opened or failed; 3 bad arguments, configuration, sources file or values (nothing "
        "was sent), or a journal that cannot be read for --history or --report, or a --report file "
        "that is not a new file or an earlier report; 4 every frame went "
        "out and every expected board answered, but some values "
        "were unavailable (2, then 1, take precedence over 4); 128 + the signal number when "
        "SIGINT, SIGTERM or SIGHUP ended it."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("The display.cfg to read (./display.cfg). It is never written."),
        QStringLiteral("file"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Use COM n (1 to %1), as the console's port "
                                                 "list does, through the same ports.conf "
                                                 "(default: the port number in the file).")
                                      .arg(Settings::PortCount),
                                  QStringLiteral("n"));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Use this serial device, or a device "
                                                   "server as tcp://HOST:PORT, instead of a COM "
                                                   "number."),
                                    QStringLiteral("path"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Page delay in seconds, %1 to %2 (%3).")
                                       .arg(QString::number(Settings::DelayMinSeconds),
                                            QString::number(Settings::DelayMaxSeconds),
                                            QString::number(SendOptions().delaySeconds)),
                                   QStringLiteral("seconds"));
    const QCommandLineOption boards(QStringLiteral("boards"),
                                    QStringLiteral("The boards expected to answer, e.g. 1-3,5 "
                                                   "(1-%1).")
                                        .arg(BoardAddress::Highest),
                                    QStringLiteral("list"));
    const QCommandLineOption values(QStringLiteral("values"),
                                    QStringLiteral("A JSON object of names to numbers or "
                                                   "strings to fill the rows with; may be given "
                                                   "more than once, the later file wins."),
                                    QStringLiteral("file"));
    const QCommandLineOption set(QStringLiteral("set"),
                                 QStringLiteral("One value to fill the rows with; wins over "
                                                "the files. A plain decimal number is a number."),
                                 QStringLiteral("name=value"));
    const QCommandLineOption sources(
        QStringLiteral("sources"),
        QStringLiteral("Read live values as this file says (default: sources.conf beside the "
                       "config file, when there is one)."),
        QStringLiteral("file"));
    const QCommandLineOption missing(QStringLiteral("missing"),
                                     QStringLiteral("What an unavailable value's field shows "
                                                    "(%1).")
                                         .arg(SendOptions().missingText),
                                     QStringLiteral("text"));
    const QCommandLineOption showValues(
        QStringLiteral("show-values"),
        QStringLiteral("Read the sources, --values and --set and print one line per name: name, "
                       "value, state (ok, stale, flagged, failed), time and source; open no "
                       "port. Exit status 4 when a value is unavailable."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Read the sources, fill the rows and print the "
                                                   "frames, one a line (CR as \\r); open "
                                                   "nothing."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print nothing but errors."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Log every frame written and every reply read on standard error, with the "
                       "milliseconds since the job started (control characters as \\r, \\n, "
                       "\\xNN)."));
    const QCommandLineOption test(QStringLiteral("test"),
                                  QStringLiteral("Probe board addresses 0 to %1 instead of "
                                                 "uploading.")
                                      .arg(BoardAddress::Highest));
    const QCommandLineOption monitor(QStringLiteral("monitor"),
                                     QStringLiteral("Send nothing; print what arrives on the port "
                                                    "every 500 ms."));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("With --monitor: stop after this many "
                                                    "seconds (default: until interrupted)."),
                                     QStringLiteral("s"));
    const QCommandLineOption journal(
        QStringLiteral("journal"),
        QStringLiteral("Record uploads and board tests in this file (and read --history and "
                       "--report from it) instead of display-journal.db beside the config file."),
        QStringLiteral("file"));
    const QCommandLineOption history(QStringLiteral("history"),
                                     QStringLiteral("Print the journal's newest records, newest "
                                                    "first, one a line; open no port."));
    const QCommandLineOption limit(
        QStringLiteral("limit"),
        QStringLiteral("With --history: how many records (%1).").arg(SendOptions().historyLimit),
        QStringLiteral("n"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("With --history or --show-values: one JSON object a line."));
    const QCommandLineOption init(
        QStringLiteral("init"),
        QStringLiteral("Write a new display.cfg (or the --config file) with the default pages and "
                       "port 1, and exit. Never replaces a file: exit 3 when one is there."));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("With --history: CSV (RFC 4180, UTF-8 with a byte "
                                                "order mark) for a spreadsheet."));
    const QCommandLineOption alert(
        QStringLiteral("alert"),
        QStringLiteral("After an upload or a board test whose outcome differs from the one "
                       "before on the same port, or when --check finds the uploads stopped, run "
                       "this through /bin/sh -c, with DISPLAY_DEVICE, DISPLAY_PORT, DISPLAY_JOB, "
                       "DISPLAY_OUTCOME, DISPLAY_PREVIOUS_OUTCOME, DISPLAY_SILENT_BOARDS, "
                       "DISPLAY_UNAVAILABLE, DISPLAY_ERROR and DISPLAY_JOURNAL set. It is "
                       "stopped after 30 s."),
        QStringLiteral("command"));
    // For the tests, which cannot wait 30 s for a command that hangs.
    const QCommandLineOption alertTimeout = [] {
        QCommandLineOption option(QStringLiteral("alert-timeout-ms"),
                                  QStringLiteral("How long the alert command may run."),
                                  QStringLiteral("ms"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        return option;
    }();
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Run no job: exit 1 (and run the --alert "
                                                  "command) when the last complete upload to the "
                                                  "port is older than 1.5 times --expect-every."));
    const QCommandLineOption expectEvery(QStringLiteral("expect-every"),
                                         QStringLiteral("With --check or --report: how often "
                                                        "uploads run, with its unit: 15m, 90s, 2h "
                                                        "(--report: 15m)."),
                                         QStringLiteral("time"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral(
            "Write the journal's last days as one HTML page (\"-\": standard "
            "output): each device's last complete upload, each board's answers, "
            "uploads per day, the failures and the pages as last sent; open no port. It writes a "
            "new file or over an earlier report, nothing else."),
        QStringLiteral("file"));
    const QCommandLineOption days(QStringLiteral("days"),
                                  QStringLiteral("With --report: how many days up to now (%1).")
                                      .arg(SendOptions().reportDays),
                                  QStringLiteral("n"));
    const QCommandLineOption journalConf(
        QStringLiteral("journal-conf"),
        QStringLiteral("The shared journal's settings from this file instead of journal.conf "
                       "beside the config file."),
        QStringLiteral("file"));
    const QCommandLineOption forward(
        QStringLiteral("forward"),
        QStringLiteral("Send the journal's records not yet in the shared journal (journal.conf) "
                       "there, oldest first; an upload or a board test does so after its job. "
                       "Exit status 2 when the shared journal cannot be reached or refuses."));
    const QCommandLineOption sharedInit(
        QStringLiteral("shared-init"),
        QStringLiteral("Create the shared journal's schema and its fleet's roles (named after "
                       "the database), or bring them up to date; run by an administrator."));
    const QCommandLineOption addSite(
        QStringLiteral("shared-add-site"),
        QStringLiteral("Record the login role LOGIN as site SITE (the word after it) in the "
                       "shared journal, with a site's rights; run by an administrator."),
        QStringLiteral("LOGIN"));
    const QCommandLineOption addReader(
        QStringLiteral("shared-add-reader"),
        QStringLiteral("Let the login role LOGIN read every site's records (an office); run by "
                       "an administrator."),
        QStringLiteral("LOGIN"));
    const QCommandLineOption shared(
        QStringLiteral("shared"),
        QStringLiteral("With --history, --report, --check or --verify: the shared journal "
                       "(journal.conf) "
                       "instead of the local one, every site or --site; no display.cfg is "
                       "needed."));
    const QCommandLineOption site(QStringLiteral("site"),
                                  QStringLiteral("With --shared: only this site."),
                                  QStringLiteral("name"));
    const QCommandLineOption sealInit(
        QStringLiteral("seal-init"),
        QStringLiteral("Begin sealing the journal: make its sealing key beside it (readable by "
                       "its owner only) and print the verification key once, to keep off this "
                       "machine. Every record after is sealed as it begins and as it ends."));
    const QCommandLineOption sealEpoch(
        QStringLiteral("seal-epoch"),
        QStringLiteral("With --seal-init: how long one sealing key lasts before it is replaced "
                       "by the next and destroyed, with its unit: 1d, 12h, 30m (1d)."),
        QStringLiteral("time"));
    const QCommandLineOption sealAdvance(
        QStringLiteral("seal-advance"),
        QStringLiteral("Replace the sealing key by the key of the current epoch, destroying the "
                       "older one, even when no job runs (the hourly timer does this); nothing "
                       "when the folder is not sealed."));
    const QCommandLineOption verify(
        QStringLiteral("verify"),
        QStringLiteral("Check the journal's seals against the verification key held in FILE, one "
                       "line per finding (--json: one object a line); with --report, one line at "
                       "the top of the report; with --shared --site SITE, that site's records in "
                       "the shared journal, with the site's key. Exit 0 when every sealed record "
                       "verifies, 1 when "
                       "anything does not, 3 for a bad key file or an unreadable journal."),
        QStringLiteral("FILE"));
    parser.addOptions({journalConf, forward, sharedInit, addSite, addReader, shared, site});
    parser.addOptions({sealInit, sealEpoch, sealAdvance, verify});
    parser.addOptions({help,         version, config,      port,    device,  delay,
                       boards,       values,  set,         sources, missing, showValues,
                       dryRun,       quiet,   verbose,     test,    monitor, seconds,
                       journal,      history, limit,       json,    csv,     alert,
                       alertTimeout, check,   expectEvery, report,  days,    init});

    if (!parser.parse(arguments))
        throw UsageError{parser.errorText()};
    // --shared-add-site LOGIN SITE: the one option followed by a word of its own.
    const qsizetype words = parser.isSet(addSite) ? 1 : 0;
    if (parser.positionalArguments().size() > words)
        throw UsageError{QStringLiteral("unexpected argument \"%1\"")
                             .arg(parser.positionalArguments().at(words))};
    if (parser.positionalArguments().size() < words)
        throw UsageError{QStringLiteral("--shared-add-site needs LOGIN and SITE")};

    SendOptions options;
    options.helpText = parser.helpText();
    if (parser.isSet(help)) {
        options.mode = SendOptions::Mode::Help;
        return options;
    }
    if (parser.isSet(version)) {
        options.mode = SendOptions::Mode::Version;
        return options;
    }
    // Each option once: a second --port or --delay is more likely a mistake than a wish.
    for (const QCommandLineOption *single :
         {&config, &port,        &device,  &delay,   &boards,       &seconds,     &journal,
          &limit,  &sources,     &missing, &alert,   &alertTimeout, &expectEvery, &report,
          &days,   &journalConf, &site,    &addSite, &addReader,    &sealEpoch,   &verify}) {
        if (parser.values(*single).size() > 1)
            throw UsageError{
                QStringLiteral("--%1 is given more than once").arg(single->names().constLast())};
    }

    const int modes =
        int(parser.isSet(test)) + int(parser.isSet(monitor)) + int(parser.isSet(dryRun)) +
        int(parser.isSet(history)) + int(parser.isSet(showValues)) + int(parser.isSet(init)) +
        int(parser.isSet(check)) + int(parser.isSet(report)) + int(parser.isSet(forward)) +
        int(parser.isSet(sharedInit)) + int(parser.isSet(addSite)) + int(parser.isSet(addReader)) +
        int(parser.isSet(sealInit)) + int(parser.isSet(sealAdvance)) +
        int(parser.isSet(verify) && !parser.isSet(report));
    if (modes > 1)
        throw UsageError{QStringLiteral("choose one of --test, --monitor, --dry-run, "
                                        "--show-values, --history, --check, --report, --init, "
                                        "--forward, --shared-init, --shared-add-site, "
                                        "--shared-add-reader, --seal-init, --seal-advance and "
                                        "--verify")};
    if (parser.isSet(addSite) || parser.isSet(addReader)) {
        options.mode = SendOptions::Mode::SharedAdd;
        options.addSiteLogin = parser.value(addSite);
        options.addReaderLogin = parser.value(addReader);
        if (parser.isSet(addSite))
            options.addSiteName = parser.positionalArguments().constFirst();
        const QString login = parser.isSet(addSite) ? options.addSiteLogin : options.addReaderLogin;
        if (login.isEmpty() || login.size() > 63)
            throw UsageError{QStringLiteral("\"%1\" is not a login role's name").arg(login)};
        if (parser.isSet(addSite) && !JournalConf::isSiteName(options.addSiteName))
            throw UsageError{QStringLiteral("site \"%1\" is not a name of up to 63 letters, "
                                            "digits, \".\", \"_\" and \"-\"")
                                 .arg(options.addSiteName)};
    } else if (parser.isSet(sealInit))
        options.mode = SendOptions::Mode::SealInit;
    else if (parser.isSet(sealAdvance))
        options.mode = SendOptions::Mode::SealAdvance;
    else if (parser.isSet(verify) && !parser.isSet(report))
        options.mode = SendOptions::Mode::Verify;
    else if (parser.isSet(forward))
        options.mode = SendOptions::Mode::Forward;
    else if (parser.isSet(sharedInit))
        options.mode = SendOptions::Mode::SharedInit;
    else if (parser.isSet(report))
        options.mode = SendOptions::Mode::Report;
    else if (parser.isSet(init))
        options.mode = SendOptions::Mode::Init;
    else if (parser.isSet(showValues))
        options.mode = SendOptions::Mode::ShowValues;
    else if (parser.isSet(history))
        options.mode = SendOptions::Mode::History;
    else if (parser.isSet(check))
        options.mode = SendOptions::Mode::Check;
    else if (parser.isSet(test))
        options.mode = SendOptions::Mode::Test;
    else if (parser.isSet(monitor))
        options.mode = SendOptions::Mode::Monitor;
    else if (parser.isSet(dryRun))
        options.mode = SendOptions::Mode::DryRun;
    const bool uploads =
        options.mode == SendOptions::Mode::Upload || options.mode == SendOptions::Mode::DryRun;

    const auto onlyWith = [&](const QCommandLineOption &option, bool allowed, const char *mode) {
        if (parser.isSet(option) && !allowed)
            throw UsageError{QStringLiteral("--%1 goes only with %2")
                                 .arg(option.names().constLast(), QLatin1String(mode))};
    };
    onlyWith(delay, uploads, "an upload");
    const bool readsValues = uploads || options.mode == SendOptions::Mode::ShowValues;
    onlyWith(values, readsValues, "an upload or --show-values");
    onlyWith(set, readsValues, "an upload or --show-values");
    onlyWith(sources, readsValues, "an upload or --show-values");
    onlyWith(missing, uploads, "an upload");
    onlyWith(seconds, options.mode == SendOptions::Mode::Monitor, "--monitor");
    const bool historyMode = options.mode == SendOptions::Mode::History;
    const bool initMode = options.mode == SendOptions::Mode::Init;
    const bool showMode = options.mode == SendOptions::Mode::ShowValues;
    const bool checkMode = options.mode == SendOptions::Mode::Check;
    const bool reportMode = options.mode == SendOptions::Mode::Report;
    const bool forwardMode = options.mode == SendOptions::Mode::Forward;
    const bool sharedInitMode = options.mode == SendOptions::Mode::SharedInit ||
                                options.mode == SendOptions::Mode::SharedAdd;
    const bool sealMode = options.mode == SendOptions::Mode::SealInit ||
                          options.mode == SendOptions::Mode::SealAdvance ||
                          options.mode == SendOptions::Mode::Verify;
    const bool job = !historyMode && !initMode && !showMode && !checkMode && !reportMode &&
                     !forwardMode && !sharedInitMode && !sealMode;
    const bool opensPort = job && options.mode != SendOptions::Mode::DryRun;
    onlyWith(boards, job && options.mode != SendOptions::Mode::Monitor, "an upload or --test");
    const bool alerts = options.mode == SendOptions::Mode::Upload ||
                        options.mode == SendOptions::Mode::Test || checkMode;
    onlyWith(alert, alerts, "an upload, --test or --check");
    onlyWith(alertTimeout, parser.isSet(alert), "--alert");
    onlyWith(expectEvery, checkMode || reportMode, "--check or --report");
    onlyWith(csv, historyMode, "--history");
    if (parser.isSet(json) && parser.isSet(csv))
        throw UsageError{QStringLiteral("give --json or --csv, not both")};
    if (checkMode && !parser.isSet(expectEvery))
        throw UsageError{QStringLiteral("--check needs --expect-every, how often uploads run")};
    const bool localCheck = checkMode && !parser.isSet(shared);
    onlyWith(port, opensPort || localCheck, "a job that opens the port, or --check");
    onlyWith(device, opensPort || localCheck, "a job that opens the port, or --check");
    onlyWith(quiet, job, "a job");
    onlyWith(verbose, opensPort, "a job that opens the port");
    onlyWith(journal, !initMode && !sharedInitMode && !parser.isSet(shared), "a job or --history");
    const bool verifyMode = options.mode == SendOptions::Mode::Verify;
    onlyWith(shared, historyMode || reportMode || checkMode || verifyMode,
             "--history, --report, --check or --verify");
    onlyWith(site, parser.isSet(shared), "--shared");
    onlyWith(journalConf,
             forwardMode || sharedInitMode || parser.isSet(shared) ||
                 options.mode == SendOptions::Mode::Upload ||
                 options.mode == SendOptions::Mode::Test,
             "an upload, --test, --forward, --shared-init, --shared-add-site, "
             "--shared-add-reader or --shared");
    onlyWith(limit, historyMode, "--history");
    onlyWith(json, historyMode || showMode || options.mode == SendOptions::Mode::Verify,
             "--history, --show-values or --verify");
    onlyWith(sealEpoch, options.mode == SendOptions::Mode::SealInit, "--seal-init");
    // The report's line of seals is the local journal's; the office verifies one site at a time.
    onlyWith(verify, !(reportMode && parser.isSet(shared)), "a local journal's --report");
    if (verifyMode && parser.isSet(shared) && parser.value(site).isEmpty())
        throw UsageError{QStringLiteral("--verify --shared needs --site, the site whose records "
                                        "to verify with its key")};
    if (parser.isSet(sealEpoch)) {
        options.sealEpochSeconds =
            parseInterval(QStringLiteral("seal-epoch"), parser.value(sealEpoch));
        if (options.sealEpochSeconds < 60)
            throw UsageError{QStringLiteral("--seal-epoch %1: an epoch lasts a minute or more")
                                 .arg(parser.value(sealEpoch))};
    }
    if (parser.isSet(verify)) {
        options.verifyKeyPath = parser.value(verify);
        if (options.verifyKeyPath.isEmpty())
            throw UsageError{QStringLiteral("--verify names no file")};
    }
    onlyWith(days, reportMode, "--report");

    if (parser.isSet(config)) {
        options.configPath = parser.value(config);
        options.configGiven = true;
    }
    if (parser.isSet(port) && parser.isSet(device))
        throw UsageError{QStringLiteral("give --port or --device, not both")};
    // Only the numbers of the console's port list: any other is a typing mistake, refused before
    // a job (and its journal record) begins.
    if (parser.isSet(port))
        options.portNumber = wholeNumber(QStringLiteral("port"), parser.value(port), 1,
                                         Settings::PortCount, portNumberProblem());
    if (parser.isSet(device)) {
        options.device = parser.value(device);
        if (options.device.isEmpty())
            throw UsageError{QStringLiteral("--device names no device")};
        if (const QString problem = deviceAddressProblem(options.device); !problem.isEmpty())
            throw UsageError{QStringLiteral("--device %1: %2").arg(options.device, problem)};
    }
    if (parser.isSet(delay))
        options.delaySeconds =
            wholeNumber(QStringLiteral("delay"), parser.value(delay), Settings::DelayMinSeconds,
                        Settings::DelayMaxSeconds,
                        QStringLiteral("not a whole number of seconds from %1 to %2")
                            .arg(QString::number(Settings::DelayMinSeconds),
                                 QString::number(Settings::DelayMaxSeconds)));
    // An upload judges boards 1 to the highest address; address 0 is asked only by the test.
    const int lowest = options.mode == SendOptions::Mode::Test ? 0 : 1;
    options.boards =
        parseBoards(parser.isSet(boards) ? parser.value(boards)
                                         : QStringLiteral("1-%1").arg(BoardAddress::Highest),
                    lowest, BoardAddress::Highest);
    options.valueFiles = parser.values(values);
    options.assignments = parser.values(set);
    if (parser.isSet(sources)) {
        options.sourcesPath = parser.value(sources);
        if (options.sourcesPath.isEmpty())
            throw UsageError{QStringLiteral("--sources names no file")};
    }
    if (parser.isSet(missing)) {
        // Checked as a row is, before anything is read: a text no row can carry would otherwise
        // stop the upload only once a value is missing.
        options.missingText = parser.value(missing);
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
    if (parser.isSet(seconds)) {
        bool ok = false;
        const double value = parser.value(seconds).toDouble(&ok);
        if (!ok || !(value > 0) || value > 31'536'000)
            throw UsageError{QStringLiteral("--seconds %1: not a number of seconds above 0")
                                 .arg(parser.value(seconds))};
        options.seconds = value;
    }
    options.quiet = parser.isSet(quiet);
    if (parser.isSet(journal)) {
        options.journalPath = parser.value(journal);
        if (options.journalPath.isEmpty())
            throw UsageError{QStringLiteral("--journal names no file")};
    }
    if (parser.isSet(limit))
        options.historyLimit = wholeNumber(
            QStringLiteral("limit"), parser.value(limit), 1, MaxHistoryLimit,
            QStringLiteral("not a number of records from 1 to %1").arg(MaxHistoryLimit));
    options.shared = parser.isSet(shared);
    options.site = parser.value(site);
    if (parser.isSet(site) && options.site.isEmpty())
        throw UsageError{QStringLiteral("--site names no site")};
    if (parser.isSet(journalConf)) {
        options.journalConfPath = parser.value(journalConf);
        if (options.journalConfPath.isEmpty())
            throw UsageError{QStringLiteral("--journal-conf names no file")};
    }
    options.json = parser.isSet(json);
    options.csv = parser.isSet(csv);
    if (reportMode) {
        options.reportPath = parser.value(report);
        if (options.reportPath.isEmpty())
            throw UsageError{QStringLiteral("--report names no file")};
    }
    if (parser.isSet(days))
        options.reportDays =
            wholeNumber(QStringLiteral("days"), parser.value(days), 1, MaxReportDays,
                        QStringLiteral("not a number of days from 1 to %1").arg(MaxReportDays));
    options.verbose = parser.isSet(verbose);
    if (parser.isSet(alert)) {
        options.alertCommand = parser.value(alert);
        if (options.alertCommand.trimmed().isEmpty())
            throw UsageError{QStringLiteral("--alert names no command")};
    }
    if (parser.isSet(alertTimeout))
        options.alertTimeoutMs =
            wholeNumber(QStringLiteral("alert-timeout-ms"), parser.value(alertTimeout), 1,
                        options.alertTimeoutMs, QStringLiteral("not a number of milliseconds"));
    if (parser.isSet(expectEvery))
        options.expectEverySeconds =
            parseInterval(QStringLiteral("expect-every"), parser.value(expectEvery));
    return options;
}

} // namespace SendCommandLine
