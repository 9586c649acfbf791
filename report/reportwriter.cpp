#include "reportwriter.h"

#include "reportfile.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>

namespace {

using Answer = ReportGatherer::Answer;
using DayTally = ReportGatherer::DayTally;
using FailureRun = ReportGatherer::FailureRun;
using AnswerRun = ReportGatherer::AnswerRun;

QString localTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(
        QStringLiteral("yyyy-MM-dd HH:mm"));
}

// "from 2026-03-04 14:00 to 18:15", the day left out of the end when it is the same.
QString span(qint64 from, qint64 to) {
    const QString first = localTime(from);
    const QString last = localTime(to);
    if (first == last)
        return first;
    return QStringLiteral("%1 to %2")
        .arg(first, last.left(10) == first.left(10) ? last.mid(11) : last);
}

QString duration(qint64 ms) {
    const qint64 minutes = std::max<qint64>(0, ms / 60000);
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    if (minutes < 48 * 60)
        return QStringLiteral("%1 h %2 min")
            .arg(QString::number(minutes / 60), QString::number(minutes % 60));
    return QStringLiteral("%1 d %2 h")
        .arg(QString::number(minutes / (24 * 60)), QString::number(minutes / 60 % 24));
}

QString plural(qint64 count, const char *one, const char *many) {
    return QStringLiteral("%1 %2").arg(QString::number(count),
                                       QLatin1String(count == 1 ? one : many));
}

// "+01:00" for an offset of 3600 s.
QString utcOffset(int seconds) {
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("%1%2:%3").arg(
        QLatin1String(seconds < 0 ? "-" : "+"),
        QString::number(minutes / 60).rightJustified(2, QLatin1Char('0')),
        QString::number(minutes % 60).rightJustified(2, QLatin1Char('0')));
}

const char *answerClass(Answer answer) {
    return answer == Answer::Answered ? "a" : answer == Answer::Silent ? "s" : "n";
}

const char *answerWords(Answer answer) {
    return answer == Answer::Answered ? "answered"
           : answer == Answer::Silent ? "no answer"
                                      : "not asked";
}

constexpr char Style[] = R"(
:root{--a:#2e7d32;--s:#c62828;--n:#b0bec5;font-family:"Liberation Sans",Arial,sans-serif}
body{margin:0 auto;max-width:60rem;padding:.8rem;color:#111;line-height:1.35}
h1{font-size:1.4rem;margin:.2rem 0}h2{font-size:1.2rem;margin:1.2rem 0 .3rem;border-bottom:2px solid #333}
h3{font-size:1rem;margin:.8rem 0 .3rem}p{margin:.3rem 0}
.meta{color:#444;font-size:.9rem}
.ok{color:var(--a)}.warning{background:#fde8e8;border:2px solid var(--s);padding:.4rem;font-weight:bold}
.board{display:grid;grid-template-columns:4.5rem 1fr 4.5rem;gap:.4rem;align-items:center;margin:.15rem 0}
.board .rate{text-align:right;font-variant-numeric:tabular-nums}
.strip{width:100%;height:1.1rem;display:block;background:#fff;border:1px solid #999}
.a{fill:var(--a)}.s{fill:var(--s)}.n{fill:var(--n)}
.times{grid-column:2/4;font-size:.8rem;color:#333;margin:0}
.axis{display:flex;justify-content:space-between;font-size:.8rem;color:#444;margin-left:4.9rem;margin-right:4.9rem}
.legend{font-size:.85rem}.legend span{font-size:1.2em;margin-left:.4em}
.legend .a{color:var(--a)}.legend .s{color:var(--s)}.legend .n{color:var(--n)}
.days{width:100%;height:4rem;display:block}.up{fill:#546e7a}.fail{fill:var(--s)}
table{border-collapse:collapse;font-size:.85rem;width:100%}th,td{border:1px solid #bbb;padding:.2rem .3rem;text-align:left;vertical-align:top}
td.error{overflow-wrap:anywhere}
.pages{display:grid;grid-template-columns:repeat(auto-fill,minmax(calc(33ch + 1rem),1fr));gap:.6rem}
figure{margin:0}figcaption{font-size:.85rem;font-weight:bold}
pre{font-family:"Liberation Mono","Courier New",monospace;font-size:.8rem;background:#111;color:#ffb300;
padding:.3rem;margin:0;width:33ch;max-width:100%;overflow-x:auto;white-space:pre}
@media print{@page{size:A4;margin:12mm}body{max-width:none;padding:0;font-size:10pt}
section{break-before:page}section:first-of-type{break-before:auto}
.board,figure,tr{break-inside:avoid}*{print-color-adjust:exact;-webkit-print-color-adjust:exact}}
)";

// The strips are drawn on a width of this many units for the whole period.
constexpr double StripUnits = 1000.0;
// The narrowest cell drawn, so that one silent job in a month is still seen.
constexpr double NarrowestCell = 1.5;
// The most runs of no answer a board's strip lists as text, and the most failure lines.
constexpr int MostTimesListed = 12;
constexpr int MostFailuresListed = 100;

} // namespace

QString ReportWriter::head(const QString &source, const ReportOptions &options,
                           const QString &readingProblem) {
    const QDateTime now = options.now.toLocalTime();
    QString html;
    html.reserve(64 * 1024);
    // Its generator and title mark the file as one that a later report may replace.
    html += QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                           "%8 %9\">\n<meta name=\"viewport\" content=\"width=device-width, "
                           "initial-scale=1\">\n%1%2</title>\n"
                           "<style>%3</style>\n</head>\n<body>\n<h1>Display boards</h1>\n"
                           "<p class=\"meta\">Jobs of the last %4 to %2 from %5. "
                           "Times are local (UTC%6); uploads are expected every %7.</p>\n")
                .arg(QLatin1String(ReportFile::TitlePrefix),
                     now.toString(QStringLiteral("yyyy-MM-dd HH:mm")), QLatin1String(Style),
                     plural(options.days, "day", "days"), htmlText(source),
                     utcOffset(now.offsetFromUtc()), duration(options.expectEverySeconds * 1000),
                     QLatin1String(ReportFile::GeneratorPrefix),
                     htmlText(QCoreApplication::applicationVersion()));
    // What --verify found of the seals, above everything the page shows from the journal.
    if (!options.sealLine.isEmpty())
        html.replace(QStringLiteral("<h1>Display boards</h1>\n"),
                     QStringLiteral("<h1>Display boards</h1>\n<p class=\"seals\">%1</p>\n")
                         .arg(htmlText(options.sealLine)));
    if (!readingProblem.isEmpty())
        html += QStringLiteral("<p class=\"warning\" role=\"alert\">%1</p>\n")
                    .arg(htmlText(readingProblem));
    return html;
}

QByteArray ReportWriter::page(const QString &journalPath, const ReportOptions &options,
                              const QString &readingProblem, const QMap<QString, Device> &devices) {
    QString html = head(QStringLiteral("the journal %1").arg(journalPath), options, readingProblem);
    if (devices.isEmpty())
        html += QStringLiteral("<p class=\"warning\" role=\"alert\">No job in the last %1.</p>\n")
                    .arg(plural(options.days, "day", "days"));
    ReportWriter writer(options, html);
    for (const Device &device : devices)
        writer.device(device);
    html += QLatin1String("</body>\n</html>\n");
    return html.toUtf8();
}

QByteArray ReportWriter::sharedPage(const QString &source, const ReportOptions &options,
                                    const QString &readingProblem, const QList<Site> &sites,
                                    const QStringList &retired) {
    QString html = head(source, options, readingProblem);
    ReportWriter writer(options, html);
    writer.siteTable(sites);
    if (!retired.isEmpty())
        html += QStringLiteral("<p class=\"meta\">Retired, left out: %1.</p>\n")
                    .arg(htmlText(retired.join(QLatin1String("; "))));
    for (qsizetype index = 0; index < sites.size(); ++index) {
        html += QStringLiteral("<h2 class=\"site\" id=\"site-%1\">Site %2</h2>\n")
                    .arg(QString::number(index), htmlText(sites.at(index).name));
        for (const Device &device : sites.at(index).devices)
            writer.device(device);
    }
    html += QLatin1String("</body>\n</html>\n");
    return html.toUtf8();
}

QByteArray ReportWriter::blindPage(const QString &source, const ReportOptions &options,
                                   const QString &problem) {
    QString html = head(source, options, {});
    html += QStringLiteral("<p class=\"warning\" role=\"alert\">No site can be seen: %1.</p>\n"
                           "</body>\n</html>\n")
                .arg(htmlText(problem));
    return html.toUtf8();
}

void ReportWriter::siteTable(const QList<Site> &sites) {
    if (sites.isEmpty()) {
        m_html += QStringLiteral("<p class=\"warning\" role=\"alert\">No job in the last %1.</p>\n")
                      .arg(plural(m_options.days, "day", "days"));
        return;
    }
    const qint64 expected = m_options.expectEverySeconds * 1000;
    m_html += QLatin1String("<table class=\"sites\">\n<tr><th>Site</th><th>Last complete upload"
                            "</th><th>Age</th><th>Last upload</th><th>Silent boards</th>"
                            "<th>Unavailable figures</th></tr>\n");
    for (qsizetype index = 0; index < sites.size(); ++index) {
        const Site &site = sites.at(index);
        qint64 last = -1;
        QStringList silent;
        QStringList unavailable;
        for (const Device &device : site.devices) {
            if (device.lastComplete)
                last = std::max(last, device.lastComplete->started.toMSecsSinceEpoch());
            QStringList boards;
            for (const int board : darkBoardsOf(device))
                boards << QString::number(board);
            if (!boards.isEmpty())
                silent << QStringLiteral("%1: %2").arg(device.label, boards.join(u", "));
            for (const QString &name : device.newestUnavailable)
                if (!unavailable.contains(name))
                    unavailable << name;
        }
        const bool late = last < 0 || (m_now - last) * 2 > expected * 3;
        m_html +=
            QStringLiteral("<tr><td><a href=\"#site-%1\">%2</a></td><td>%3</td><td%4>%5</td>"
                           "<td%10>%11</td><td%6>%7</td><td%8>%9</td></tr>\n")
                .arg(QString::number(index), htmlText(site.name),
                     last < 0 ? QStringLiteral("none in the last %1")
                                    .arg(plural(m_options.days, "day", "days"))
                              : localTime(last),
                     QLatin1String(late ? " class=\"warning\"" : ""),
                     last < 0 ? QString() : duration(m_now - last),
                     QLatin1String(silent.isEmpty() ? "" : " class=\"warning\""),
                     htmlText(silent.join(QLatin1String("; "))),
                     QLatin1String(unavailable.isEmpty() ? "" : " class=\"warning\""),
                     htmlText(unavailable.join(QLatin1String(", "))),
                     QLatin1String(site.late ? " class=\"warning\"" : ""), htmlText(site.receipt));
    }
    m_html += QLatin1String("</table>\n");
}

void ReportWriter::device(const Device &device) {
    m_html += QStringLiteral("<section>\n<h2>%1</h2>\n").arg(htmlText(device.label));
    lastUpload(device);
    darkBoards(device);
    strips(device);
    uploadsPerDay(device);
    failures(device);
    pages(device);
    m_html += QLatin1String("</section>\n");
}

void ReportWriter::lastUpload(const Device &device) {
    const qint64 expected = m_options.expectEverySeconds * 1000;
    if (!device.lastComplete) {
        m_html += QStringLiteral("<p class=\"warning\" role=\"alert\">No complete upload in "
                                 "the last %1.</p>\n")
                      .arg(plural(m_options.days, "day", "days"));
        return;
    }
    const qint64 at = device.lastComplete->started.toMSecsSinceEpoch();
    const qint64 age = m_now - at;
    if (age * 2 > expected * 3)
        m_html += QStringLiteral("<p class=\"warning\" role=\"alert\">The last complete "
                                 "upload was %1 ago (%2): one is expected every %3.</p>\n")
                      .arg(duration(age), localTime(at), duration(expected));
    else
        m_html += QStringLiteral("<p class=\"ok\">Last complete upload %1, %2 ago.</p>\n")
                      .arg(localTime(at), duration(age));
}

QList<int> ReportWriter::darkBoardsOf(const Device &device) {
    QList<int> dark;
    for (int board = 1; board <= BoardAddress::Highest; ++board) {
        const std::vector<AnswerRun> &runs = device.strips.at(board);
        const auto newest = std::find_if(runs.cbegin(), runs.cend(), [](const AnswerRun &run) {
            return run.answer != Answer::NotAsked;
        });
        if (device.expected.test(board) && newest != runs.cend() &&
            newest->answer == Answer::Silent)
            dark << board;
    }
    return dark;
}

void ReportWriter::darkBoards(const Device &device) {
    for (const int board : darkBoardsOf(device)) {
        const std::vector<AnswerRun> &runs = device.strips.at(board);
        const AnswerRun &newest =
            *std::find_if(runs.cbegin(), runs.cend(),
                          [](const AnswerRun &run) { return run.answer != Answer::NotAsked; });
        m_html += QStringLiteral("<p class=\"warning\" role=\"alert\">Board %1 has not "
                                 "answered since %2 (%3).</p>\n")
                      .arg(QString::number(board), localTime(newest.from),
                           plural(newest.jobs, "job", "jobs"));
    }
}

double ReportWriter::x(qint64 ms) const {
    const double period = double(std::max<qint64>(1, m_now - m_start));
    return std::clamp(double(ms - m_start) / period * StripUnits, 0.0, StripUnits);
}

void ReportWriter::strips(const Device &device) {
    m_html += QLatin1String(
        "<h3>Board answers</h3>\n<p class=\"legend\"><span class=\"a\">&#9632;</span> "
        "answered <span class=\"s\">&#9632;</span> no answer <span "
        "class=\"n\">&#9632;</span> not asked (a port error, a stopped job); blank: no "
        "job</p>\n");
    for (int board = 1; board <= BoardAddress::Highest; ++board) {
        if (device.expected.test(board))
            strip(device, board);
    }
    m_html += QStringLiteral("<div class=\"axis\"><span>%1</span><span>%2</span></div>\n")
                  .arg(localTime(m_start), localTime(m_now));
}

void ReportWriter::strip(const Device &device, int board) {
    const int answered = device.answered.at(board);
    const int asked = answered + device.silent.at(board);
    const QString rate = asked == 0
                             ? QStringLiteral("-")
                             : QStringLiteral("%1 %").arg(100.0 * answered / asked, 0, 'f', 1);
    m_html += QStringLiteral("<div class=\"board\"><span>Board %1</span>"
                             "<svg class=\"strip\" viewBox=\"0 0 %2 10\" "
                             "preserveAspectRatio=\"none\" role=\"img\" aria-label=\"Board "
                             "%1: answered %3 of %4 times asked\">")
                  .arg(QString::number(board), QString::number(StripUnits),
                       QString::number(answered), QString::number(asked));
    const std::vector<AnswerRun> &runs = device.strips.at(board);
    QList<const AnswerRun *> silent;
    for (auto run = runs.crbegin(); run != runs.crend(); ++run) {
        const double from = x(run->from);
        const double width = std::max(NarrowestCell, x(run->to) - from);
        m_html += QStringLiteral("<rect class=\"%1\" x=\"%2\" width=\"%3\" height=\"10\">"
                                 "<title>Board %4: %5, %6 (%7)</title></rect>")
                      .arg(QLatin1String(answerClass(run->answer)), QString::number(from, 'f', 1),
                           QString::number(width, 'f', 1), QString::number(board),
                           QLatin1String(answerWords(run->answer)), span(run->from, run->to),
                           plural(run->jobs, "job", "jobs"));
        if (run->answer == Answer::Silent)
            silent.append(&*run);
    }
    m_html += QStringLiteral("</svg><span class=\"rate\">%1</span>").arg(rate);
    if (!silent.isEmpty()) {
        QStringList times;
        const qsizetype shown = std::min<qsizetype>(silent.size(), MostTimesListed);
        for (qsizetype index = silent.size() - shown; index < silent.size(); ++index)
            times << span(silent.at(index)->from, silent.at(index)->to);
        QString more;
        if (silent.size() > shown)
            more = QStringLiteral(" (and %1 earlier)").arg(silent.size() - shown);
        m_html += QStringLiteral("<p class=\"times\">No answer: %1%2</p>")
                      .arg(times.join(QStringLiteral("; ")), more);
    }
    m_html += QLatin1String("</div>\n");
}

void ReportWriter::uploadsPerDay(const Device &device) {
    const QDate first = QDateTime::fromMSecsSinceEpoch(m_start).toLocalTime().date();
    const QDate last = QDateTime::fromMSecsSinceEpoch(m_now).toLocalTime().date();
    const qint64 dayCount = first.daysTo(last) + 1;
    int most = 1;
    int uploads = 0;
    for (const DayTally &day : device.days) {
        most = std::max(most, day.uploads);
        uploads += day.uploads;
    }
    m_html += QStringLiteral("<h3>Uploads per day</h3>\n<p>%1 in %2, at most %3 a day.</p>\n"
                             "<svg class=\"days\" viewBox=\"0 0 %4 40\" "
                             "preserveAspectRatio=\"none\" role=\"img\" aria-label=\"Uploads "
                             "per day\">")
                  .arg(plural(uploads, "upload", "uploads"), plural(dayCount, "day", "days"),
                       QString::number(most), QString::number(dayCount * 10));
    qint64 index = 0;
    for (QDate date = first; date <= last; date = date.addDays(1), ++index) {
        const DayTally day = device.days.value(date);
        const double height = 40.0 * day.uploads / most;
        const double failed = 40.0 * day.failed / most;
        m_html += QStringLiteral("<g><title>%1: %2, %3 failed</title>"
                                 "<rect class=\"up\" x=\"%4\" y=\"%5\" width=\"8\" "
                                 "height=\"%6\"/><rect class=\"fail\" x=\"%4\" y=\"%5\" "
                                 "width=\"8\" height=\"%7\"/></g>")
                      .arg(date.toString(Qt::ISODate), plural(day.uploads, "upload", "uploads"),
                           QString::number(day.failed), QString::number(index * 10 + 1),
                           QString::number(40.0 - height, 'f', 1), QString::number(height, 'f', 1),
                           QString::number(failed, 'f', 1));
    }
    m_html += QLatin1String("</svg>\n");
}

void ReportWriter::failures(const Device &device) {
    m_html += QLatin1String("<h3>Failures</h3>\n");
    if (device.failures.isEmpty()) {
        m_html += QLatin1String("<p>None.</p>\n");
        return;
    }
    m_html += QLatin1String("<table><thead><tr><th>When</th><th>Times</th><th>Job</th>"
                            "<th>Outcome</th><th>Error</th><th>Values unavailable</th>"
                            "</tr></thead><tbody>\n");
    const qsizetype shown = std::min<qsizetype>(device.failures.size(), MostFailuresListed);
    for (qsizetype index = 0; index < shown; ++index) {
        const FailureRun &failure = device.failures.at(index);
        m_html +=
            QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td>"
                           "<td class=\"error\">%5</td><td>%6</td></tr>\n")
                .arg(span(failure.from, failure.to), QString::number(failure.count),
                     htmlText(failure.job), htmlText(failure.outcome), htmlText(failure.error),
                     htmlText(failure.unavailable.join(QStringLiteral(", "))));
    }
    m_html += QLatin1String("</tbody></table>\n");
    if (device.failures.size() > shown)
        m_html += QStringLiteral("<p>And %1 earlier.</p>\n")
                      .arg(plural(device.failures.size() - shown, "line", "lines"));
}

void ReportWriter::pages(const Device &device) {
    if (device.lastRows.size() != PageSet::RowCount)
        return;
    m_html += QStringLiteral("<h3>The pages as last sent (%1)</h3>\n<div class=\"pages\">")
                  .arg(localTime(device.lastComplete->started.toMSecsSinceEpoch()));
    for (int page = 0; page < PageSet::PageCount; ++page) {
        m_html += QStringLiteral("<figure><figcaption>Page %1</figcaption><pre>").arg(page + 1);
        for (int row = 0; row < PageSet::RowsPerPage; ++row) {
            const QString &text = device.lastRows.at(PageSet::indexOf(page, row));
            m_html += htmlText(text.leftJustified(PageSet::MaxTypedLength));
            if (row + 1 < PageSet::RowsPerPage)
                m_html += QLatin1Char('\n');
        }
        m_html += QLatin1String("</pre></figure>");
    }
    m_html += QLatin1String("</div>\n");
}
