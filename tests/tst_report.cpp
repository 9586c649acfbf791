// The inspector's report from a prepared journal: two days of uploads every 15 minutes on
// COM 33, board 5 silent for five hours, a port error, a gap in the feed, board 7 silent at the
// end, and rows and texts that would be markup if they were not escaped.

#include "journalfiles.h"
#include "programrun.h"
#include "report.h"
#include "reportfile.h"
#include "reportwriter.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDateTime Now(QDate(2026, 3, 31), QTime(12, 0), Qt::UTC);
const QDateTime First = Now.addSecs(-48 * 3600); // 2026-03-29 12:00
constexpr int Uploads = 192;
const QString HostileRow = QStringLiteral("<script>alert(1)</script> & µg/m³ °C é");
const QString PortError = QStringLiteral("Cannot open COM 33 (/dev/ttyUSB0): <b>busy</b> & gone");

QString lightsOf(int n) {
    QString lights = QStringLiteral("cgggggggg");
    if (n >= 40 && n < 60)
        lights[5] = QLatin1Char('r');
    if (n >= 188)
        lights[7] = QLatin1Char('r');
    return n == 100 ? QStringLiteral("ccccccccc") : lights;
}

void fillJournal(const QString &path) {
    Journal journal(path);
    QStringList rows(96, QStringLiteral("SO2 12 UG/M3"));
    rows[0] = HostileRow;
    journal.startBatch();
    for (int n = 0; n < Uploads; ++n) {
        if (n >= 150 && n < 160) // the feed stopped for two and a half hours
            continue;
        const QDateTime at = First.addSecs(n * 15 * 60);
        const qint64 id = journal.begin({QStringLiteral("send"),
                                         QStringLiteral("upload"),
                                         33,
                                         QStringLiteral("/dev/ttyUSB0"),
                                         5,
                                         rows,
                                         at,
                                         {},
                                         {},
                                         {}});
        const bool failed = n == 100;
        journal.finish(id, {failed ? QStringLiteral("port-error") : QStringLiteral("complete"),
                            failed ? PortError : QString(),
                            failed ? 0 : 52,
                            lightsOf(n),
                            at.addSecs(26),
                            {},
                            {},
                            {}});
    }
    journal.endBatch();
}

// The part of the page about one board: its strip, its rate and its times.
QString boardPart(const QString &html, int board) {
    const QRegularExpression part(
        QStringLiteral("<div class=\"board\"><span>Board %1</span>.*?</div>").arg(board));
    return part.match(html).captured();
}

// Whether the office's table of sites marks the age of a site whose one device's last complete
// upload started at last.
bool siteMarkedLate(const ReportOptions &options, const QDateTime &last) {
    ReportWriter::Device device;
    device.label = QStringLiteral("COM 33 (/dev/ttyUSB0)");
    device.lastComplete.emplace().started = last;
    const QByteArray page =
        ReportWriter::sharedPage(QStringLiteral("the shared journal"), options, {},
                                 {{QStringLiteral("north"), {{device.label, device}}}});
    return page.contains("<td class=\"warning\">");
}

} // namespace

class ReportTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        qputenv("TZ", "UTC");
        ::tzset();
        QVERIFY(m_dir.isValid());
        fillJournal(m_journal);
        ReportOptions options;
        options.now = Now;
        options.days = 3;
        const ReportPage page = writeReport(m_journal, options);
        QCOMPARE(page.reading.read, Uploads - 10);
        m_html = QString::fromUtf8(page.html);
    }

    void strips_data() {
        QTest::addColumn<int>("board");
        QTest::addColumn<int>("cells");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("said");
        QTest::newRow("board 1: the port error and the gap split it") << 1 << 4 << "100.0 %"
                                                                      << "";
        QTest::newRow("board 5: five hours silent")
            << 5 << 6 << "89.0 %"
            << "<title>Board 5: no answer, 2026-03-29 22:00 to 2026-03-30 03:00 (20 jobs)</title>";
        QTest::newRow("board 5: the silence as text for print")
            << 5 << 6 << "89.0 %"
            << "No answer: 2026-03-29 22:00 to 2026-03-30 03:00</p>";
        QTest::newRow("board 7: silent at the end") << 7 << 5 << "97.8 %"
                                                    << "No answer: 2026-03-31 11:00 to 12:00</p>";
    }
    void strips() {
        QFETCH(int, board);
        QFETCH(int, cells);
        const QString part = boardPart(m_html, board);
        QCOMPARE(part.count(QStringLiteral("<rect ")), cells);
        QFETCH(QString, rate);
        QVERIFY2(part.contains(QStringLiteral("<span class=\"rate\">%1</span>").arg(rate)),
                 qPrintable(part.left(300)));
        QFETCH(QString, said);
        QVERIFY2(part.contains(said), qPrintable(part.right(300)));
    }

    void alerts_data() {
        QTest::addColumn<QString>("said");
        QTest::newRow("the board that went dark")
            << "Board 7 has not answered since 2026-03-31 11:00 (4 jobs).";
        QTest::newRow("the port error, escaped")
            << "<td class=\"error\">Cannot open COM 33 (/dev/ttyUSB0): &lt;b&gt;busy&lt;/b&gt; "
               "&amp; gone</td>";
        QTest::newRow("the row, escaped, 32 columns")
            << "<pre>&lt;script&gt;alert(1)&lt;/script&gt; &amp; µg/m³ °C é\nSO2 12 UG/M3      ";
    }
    void alerts() {
        QFETCH(QString, said);
        QVERIFY2(m_html.contains(said), qPrintable(said));
    }

    void wellFormedAndEscaped() {
        QVERIFY(!m_html.contains(QStringLiteral("<script")));
        QVERIFY(!m_html.contains(QStringLiteral("<b>")));
        static const QRegularExpression bareAmpersand(
            QStringLiteral("&(?!(amp|lt|gt|quot|#[0-9]+);)"));
        QVERIFY(!bareAmpersand.match(m_html).hasMatch());
        QProcess tidy;
        tidy.start(QStringLiteral("tidy"), {QStringLiteral("-errors"), QStringLiteral("-q")});
        tidy.write(m_html.toUtf8());
        tidy.closeWriteChannel();
        QVERIFY(tidy.waitForFinished());
        QCOMPARE(QString::fromUtf8(tidy.readAllStandardError()), QString());
        QCOMPARE(tidy.exitCode(), 0);
    }

    void lastUploadAge_data() {
        QTest::addColumn<int>("minutesAfter");
        QTest::addColumn<bool>("warned");
        QTest::newRow("within one and a half intervals") << 22 << false;
        QTest::newRow("beyond one and a half intervals") << 23 << true;
    }
    void lastUploadAge() {
        QFETCH(int, minutesAfter);
        QFETCH(bool, warned);
        ReportOptions options;
        const QDateTime last = First.addSecs((Uploads - 1) * 15 * 60);
        options.now = last.addSecs(minutesAfter * 60);
        const QString html = QString::fromUtf8(writeReport(m_journal, options).html);
        QCOMPARE(html.contains(
                     QStringLiteral("The last complete upload was %1 min ago").arg(minutesAfter)),
                 warned);
        QCOMPARE(siteMarkedLate(options, last), warned);
    }

    void boardLists_data() {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("boards");
        QTest::newRow("empty: all eight") << ""
                                          << "111111110";
        QTest::newRow("a range") << "1-5"
                                 << "000111110";
        QTest::newRow("single boards") << "2, 7"
                                       << "010000100";
        QTest::newRow("beyond the addresses: clipped") << "0-12"
                                                       << "111111110";
        QTest::newRow("a bad part: left out") << "x,3"
                                              << "000001000";
    }
    void boardLists() {
        QFETCH(QString, list);
        QFETCH(QString, boards);
        QCOMPARE(QString::fromStdString(boardsFrom(list).to_string()), boards);
    }

    void sendReport_data() {
        QTest::addColumn<QString>("journal");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("written");
        QTest::newRow("to a file") << "prepared" << QStringList() << 0 << true;
        QTest::newRow("no journal") << "missing" << QStringList() << 3 << false;
        QTest::newRow("another program's database") << "foreign" << QStringList() << 3 << false;
        QTest::newRow("read-only folder") << "prepared" << QStringList() << 3 << false;
        QTest::newRow("expected every 0 minutes")
            << "prepared" << QStringList{QStringLiteral("--expect-every"), QStringLiteral("0m")}
            << 3 << false;
        QTest::newRow("expected every 15, no unit")
            << "prepared" << QStringList{QStringLiteral("--expect-every"), QStringLiteral("15")}
            << 3 << false;
        QTest::newRow("--days beyond ten years")
            << "prepared" << QStringList{QStringLiteral("--days"), QStringLiteral("4001")} << 3
            << false;
    }
    void sendReport() {
        QFETCH(QString, journal);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(bool, written);
        QTemporaryDir dir;
        QString path = m_journal;
        if (journal == QLatin1String("missing")) {
            path = dir.filePath(QStringLiteral("none.db"));
        } else if (journal == QLatin1String("foreign")) {
            path = dir.filePath(QStringLiteral("other.db"));
            scalar(path, QStringLiteral("CREATE TABLE notes (text)"));
        }
        QString folder = dir.path();
        if (QByteArray(QTest::currentDataTag()) == "read-only folder") {
            if (::geteuid() == 0)
                QSKIP("file modes do not bind root: tst_report_unprivileged runs this as nobody");
            folder = dir.filePath(QStringLiteral("shut"));
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        const QString output = QDir(folder).filePath(QStringLiteral("report.html"));
        const ProgramResult run = runProgram(
            QStringLiteral(DISPLAY_SEND),
            QStringList{QStringLiteral("--report"), output, QStringLiteral("--journal"), path} +
                arguments);
        QVERIFY2(run.status == status, qPrintable(run.err));
        QCOMPARE(QFile::exists(output), written);
        QCOMPARE(run.err.isEmpty(), status == 0);
    }

    // What --report finds at its path: only an earlier report is replaced.
    void replacesOnlyAReport_data() {
        QTest::addColumn<QString>("existing");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("a new file") << "" << true;
        QTest::newRow("a report that names no generator") << "old report" << true;
        QTest::newRow("a report display-send wrote") << "report" << true;
        QTest::newRow("the journal in use") << "journal" << false;
        QTest::newRow("display.cfg") << "config" << false;
        QTest::newRow("a link to a report") << "link" << false;
        QTest::newRow("a FIFO") << "fifo" << false;
        QTest::newRow("a folder") << "folder" << false;
        QTest::newRow("an unrelated HTML page") << "html" << false;
    }
    void replacesOnlyAReport() {
        QFETCH(QString, existing);
        QFETCH(bool, replaced);
        QTemporaryDir dir;
        const QString journal = dir.filePath(QStringLiteral("display-journal.db"));
        QVERIFY(QFile::copy(m_journal, journal));
        QString output = dir.filePath(QStringLiteral("report.html"));
        if (existing == QLatin1String("journal")) {
            output = journal;
        } else if (existing == QLatin1String("config")) {
            output = dir.filePath(QStringLiteral("display.cfg"));
            QVERIFY(writeBytes(output, "1\r\n" + QByteArray("\"row\"\r\n").repeated(96)));
        } else if (existing == QLatin1String("link")) {
            QVERIFY(writeBytes(dir.filePath(QStringLiteral("earlier.html")), m_html.toUtf8()));
            QVERIFY(QFile::link(QStringLiteral("earlier.html"), output));
        } else if (existing == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(output).constData(), 0600), 0);
        } else if (existing == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(output));
        } else if (existing == QLatin1String("html")) {
            QVERIFY(writeBytes(
                output, "<!DOCTYPE html>\n<html><head><title>Display boards: minutes</title>"));
        } else if (existing == QLatin1String("report")) {
            QVERIFY(writeBytes(output, m_html.toUtf8()));
        } else if (existing == QLatin1String("old report")) {
            static const QRegularExpression generator(
                QStringLiteral("<meta name=\"generator\"[^>]*>"));
            QVERIFY(generator.match(m_html).hasMatch());
            QVERIFY(writeBytes(output, QString(m_html).remove(generator).toUtf8()));
        }
        // What is at the path, a link and a FIFO as such; a FIFO is never opened.
        const auto entry = [&] {
            const QFileInfo info(output);
            QFile file(info.canonicalFilePath());
            const QByteArray kind = info.isSymLink() ? "link: " : info.isDir() ? "folder" : "";
            if (!info.isFile() || !file.open(QIODevice::ReadOnly))
                return kind + (info.exists() ? "not a regular file" : "");
            return kind + file.readAll();
        };
        const QByteArray before = entry();
        const auto names = [&] {
            return QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        };
        const QStringList namesBefore = names();

        const ProgramResult run =
            runProgram(QStringLiteral(DISPLAY_SEND),
                       {QStringLiteral("--report"), output, QStringLiteral("--journal"), journal});
        const QByteArray after = entry();
        if (replaced) {
            QVERIFY2(run.status == 0, qPrintable(run.err));
            QVERIFY(after != before && after.startsWith("<!DOCTYPE html>"));
            QVERIFY(after.contains(ReportFile::GeneratorPrefix));
        } else {
            QVERIFY2(run.status == 3, qPrintable(run.err));
            QVERIFY2(run.err.contains(QStringLiteral("Cannot write %1: ").arg(output)),
                     qPrintable(run.err));
            QCOMPARE(after, before);
            QCOMPARE(names(), namesBefore); // no temporary file left behind
        }
    }

private:
    QTemporaryDir m_dir;
    const QString m_journal = m_dir.filePath(QStringLiteral("display-journal.db"));
    QString m_html;
};

QTEST_GUILESS_MAIN(ReportTest)
#include "tst_report.moc"
