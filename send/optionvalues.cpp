#include "sendoptions.h"

#include "journalconf.h"
#include "settings.h"

#include <QRegularExpression>

#include <set>

namespace SendCommandLine {

int wholeNumber(const QString &option, const QString &text, int lowest, int highest,
                const QString &what) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < lowest || value > highest)
        throw UsageError{QStringLiteral("--%1 %2: %3").arg(option, text, what)};
    return value;
}

QString portNumberProblem() {
    return QStringLiteral("not a port number from 1 to %1").arg(Settings::PortCount);
}

qint64 parseInterval(const QString &option, const QString &text) {
    // A unit is needed: a bare 15 is as likely meant as minutes as seconds.
    static const QRegularExpression form(QStringLiteral(R"(^\s*(\d{1,9})\s*([smhd])\s*$)"));
    const QRegularExpressionMatch match = form.match(text);
    constexpr qint64 Year = 366LL * 24 * 3600;
    const qint64 count = match.hasMatch() ? match.captured(1).toLongLong() : 0;
    const QString unit = match.captured(2);
    const qint64 seconds = unit == QLatin1String("d")   ? count * 24 * 3600
                           : unit == QLatin1String("h") ? count * 3600
                           : unit == QLatin1String("m") ? count * 60
                           : unit == QLatin1String("s") ? count
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
        const auto outOfRange = [&] {
            return bad(QStringLiteral("boards are addressed %1 to %2")
                           .arg(QString::number(lowest), QString::number(highest)));
        };
        // Digits beyond int (99999999999) are no address either, not the 0 toInt gives them.
        bool firstOk = false;
        bool lastOk = true;
        const int first = match.captured(1).toInt(&firstOk);
        const int last = match.captured(2).isEmpty() ? first : match.captured(2).toInt(&lastOk);
        if (!firstOk || !lastOk)
            throw outOfRange();
        if (first > last)
            throw bad(QStringLiteral("the range %1 runs backwards").arg(part.trimmed()));
        if (first < lowest || last > highest)
            throw outOfRange();
        for (int address = first; address <= last; ++address)
            boards.insert(address);
    }
    return {boards.begin(), boards.end()};
}

QString programDescription() {
    return QStringLiteral(
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
        "SIGINT, SIGTERM or SIGHUP ended it.");
}

void checkLogin(const SendOptions &options) {
    const bool site = !options.addSiteLogin.isEmpty() || !options.addSiteName.isEmpty();
    const QString login = site ? options.addSiteLogin : options.addReaderLogin;
    if (login.isEmpty() || login.size() > 63)
        throw UsageError{QStringLiteral("\"%1\" is not a login role's name").arg(login)};
    if (site && !JournalConf::isSiteName(options.addSiteName))
        throw UsageError{QStringLiteral("site \"%1\" is not a name of up to 63 letters, "
                                        "digits, \".\", \"_\" and \"-\"")
                             .arg(options.addSiteName)};
}

} // namespace SendCommandLine
