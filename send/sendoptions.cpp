#include "sendoptions.h"

#include "pageset.h"
#include "sendoptionrow.h"

#include <QCommandLineParser>

#include <algorithm>

namespace SendCommandLine {

namespace {

using M = SendOptions::Mode;

// The mode a row asks for, if it asks for one.
const M *modeOf(const SendOptionRow &row) {
    return std::get_if<M>(&row.place);
}

bool answersAtOnce(const SendOptionRow &row) {
    return modeOf(row) && (*modeOf(row) == M::Help || *modeOf(row) == M::Version);
}

bool isSet(const QCommandLineParser &parser, const char *name) {
    return name && parser.isSet(QString::fromLatin1(name));
}

// "choose one of --test, --monitor, ... and --shared-add-reader": the modes in their order.
QString modeChoice(std::span<const SendOptionRow> rows) {
    QList<const SendOptionRow *> modes;
    for (const SendOptionRow &row : rows) {
        if (modeOf(row) && !answersAtOnce(row))
            modes << &row;
    }
    std::ranges::stable_sort(modes, {}, [](const SendOptionRow *row) { return *modeOf(*row); });
    QStringList names;
    for (const SendOptionRow *row : std::as_const(modes))
        names << QStringLiteral("--") + row->name();
    const QString last = names.takeLast();
    return QStringLiteral("choose one of %1 and %2").arg(names.join(QStringLiteral(", ")), last);
}

// Refuses an option given outside its modes.
void checkScope(const SendOptionRow &row, M mode, const QCommandLineParser &parser) {
    const OptionScope *scope = std::get_if<OptionScope>(&row.place);
    if (scope && scope->words && !(scope->modes.contains(mode) && !isSet(parser, scope->notWith)) &&
        !isSet(parser, scope->orWith))
        throw UsageError{
            QStringLiteral("--%1 goes only with %2").arg(row.name(), QLatin1String(scope->words))};
}

} // namespace

SendOptions parse(const QStringList &arguments) {
    const std::span<const SendOptionRow> rows = sendOptionRows();
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
    for (const SendOptionRow &row : rows)
        parser.addOption(row.option());
    if (!parser.parse(arguments))
        throw UsageError{parser.errorText()};

    QList<const SendOptionRow *> given; // in the table's order
    for (const SendOptionRow &row : rows) {
        if (parser.isSet(row.name()))
            given << &row;
    }
    // --shared-add-site LOGIN SITE: the one kind of option followed by a word of its own.
    const auto worded = std::ranges::find_if(
        given, [](const SendOptionRow *row) { return !row->word().isEmpty(); });
    const QStringList words = parser.positionalArguments();
    const qsizetype wanted = worded == given.cend() ? 0 : 1;
    if (words.size() > wanted)
        throw UsageError{QStringLiteral("unexpected argument \"%1\"").arg(words.at(wanted))};
    if (words.size() < wanted)
        throw UsageError{
            QStringLiteral("--%1 needs %2 and %3")
                .arg((*worded)->name(), (*worded)->option().valueName(), (*worded)->word())};

    SendOptions options;
    options.helpText = parser.helpText();
    for (const SendOptionRow *row : std::as_const(given)) {
        if (answersAtOnce(*row)) {
            options.mode = *modeOf(*row);
            return options;
        }
    }
    // Each option once: a second --port or --delay is more likely a mistake than a wish.
    for (const SendOptionRow *row : std::as_const(given)) {
        if (!row->repeats() && parser.values(row->name()).size() > 1)
            throw UsageError{QStringLiteral("--%1 is given more than once").arg(row->name())};
    }
    // --verify with --report puts one line at the top of the report instead of running alone.
    const bool reportVerified = parser.isSet(QStringLiteral("report"));
    const auto asksMode = [&](const SendOptionRow &row) {
        return modeOf(row) && !(*modeOf(row) == M::Verify && reportVerified);
    };
    const SendOptionRow *modeRow = nullptr;
    for (const SendOptionRow *row : std::as_const(given)) {
        if (asksMode(*row) && modeRow)
            throw UsageError{modeChoice(rows)};
        if (asksMode(*row))
            modeRow = row;
    }
    options.mode = modeRow ? *modeOf(*modeRow) : M::Upload;
    for (const SendOptionRow *row : std::as_const(given))
        checkScope(*row, options.mode, parser);
    // What no mode allows.
    if (parser.isSet(QStringLiteral("json")) && parser.isSet(QStringLiteral("csv")))
        throw UsageError{QStringLiteral("give --json or --csv, not both")};
    if (options.mode == M::Check && !parser.isSet(QStringLiteral("expect-every")))
        throw UsageError{QStringLiteral("--check needs --expect-every, how often uploads run")};
    if (parser.isSet(QStringLiteral("port")) && parser.isSet(QStringLiteral("device")))
        throw UsageError{QStringLiteral("give --port or --device, not both")};
    // The report's line of seals is the local journal's; the office verifies one site at a time.
    if (parser.isSet(QStringLiteral("verify")) && parser.isSet(QStringLiteral("shared"))) {
        if (options.mode == M::Report)
            throw UsageError{QStringLiteral("--verify goes only with a local journal's --report")};
        if (parser.value(QStringLiteral("site")).isEmpty())
            throw UsageError{QStringLiteral("--verify --shared needs --site, the site whose "
                                            "records to verify with its key")};
    }
    for (const SendOptionRow *row : std::as_const(given)) {
        if (row->read)
            row->read(options,
                      {row->name(), parser.values(row->name()),
                       worded != given.cend() && row == *worded ? words.constFirst() : QString()});
    }
    // Every board is expected to answer unless --boards says which.
    if (options.boards.isEmpty()) {
        for (int address = 1; address <= BoardAddress::Highest; ++address)
            options.boards << address;
    }
    return options;
}

} // namespace SendCommandLine
