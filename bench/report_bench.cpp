// Times the HTML report and measures its size:
//   report_s=<median s of the report of a journal of 350,000 uploads, every one in its period>
//   report_cpu_s=<the same in CPU seconds, which other programs on the machine do not stretch>
//   report_bytes=<size of the report of 30 days of uploads every 15 minutes, with a board
//   silent for hours every few days, another now and then, and a port error a day>
// Usage: display-report-bench [records] [timed reports]

#include "figures.h"
#include "jobrecords.h"
#include "report.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr qint64 Every = 15 * 60;

// A journal of records uploads every 15 minutes up to now; end(n) ends the nth.
bool fill(const QString &path, int records, const QDateTime &now,
          const std::function<JournalEnd(int n, const QDateTime &finished)> &end) {
    Journal journal(path);
    QList<QStringList> rowSets;
    for (int variant = 0; variant < 5; ++variant)
        rowSets << rowSet(variant);
    QDateTime when = now.addSecs(-qint64(records) * Every);
    constexpr int PerTransaction = 10000;
    for (int done = 0; done < records; done += PerTransaction) {
        if (!journal.startBatch())
            return false;
        for (int n = done; n < std::min(records, done + PerTransaction); ++n) {
            const qint64 id = journal.begin(uploadStarted(rowSets.at((n / 96) % 5), when));
            journal.finish(id, end(n, when.addMSecs(26000)));
            when = when.addSecs(Every);
        }
        if (!journal.endBatch())
            return false;
    }
    return journal.takeProblem().isEmpty();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, atoi(argv[1])) : 350000;
    const int timed = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("big.db"));
    const QString month = dir.filePath(QStringLiteral("month.db"));
    const QDateTime now = QDateTime::currentDateTimeUtc();

    const auto allAnswered = [](int, const QDateTime &at) { return uploadCompleted(at); };
    constexpr int MonthUploads = 30 * 24 * 4;
    const auto aMonth = [](int n, const QDateTime &at) {
        JournalEnd end = uploadCompleted(at);
        if (n % 96 == 50) {
            end.outcome = QStringLiteral("port-error");
            end.error = QStringLiteral("Cannot open COM 33 (/dev/ttyUSB0): No such file");
            end.lights = QStringLiteral("ccccccccc");
        }
        if (n % 288 < 24) // six hours every three days
            end.lights[5] = QLatin1Char('r');
        if (n % 53 == 0)
            end.lights[7] = QLatin1Char('r');
        return end;
    };
    if (!dir.isValid() || !fill(big, records, now, allAnswered) ||
        !fill(month, MonthUploads, now, aMonth)) {
        std::fprintf(stderr, "display-report-bench: the journals could not be filled\n");
        return 1;
    }

    ReportOptions everything;
    everything.now = now;
    everything.days = int(qint64(records) * Every / 86400) + 2;
    std::vector<double> seconds;
    std::vector<double> cpu;
    QElapsedTimer timer;
    for (int n = 0; n < timed; ++n) {
        timer.start();
        const double cpuBefore = cpuSeconds();
        const ReportPage page = writeReport(big, everything);
        seconds.push_back(timer.nsecsElapsed() / 1e9);
        cpu.push_back(cpuSeconds() - cpuBefore);
        if (page.html.isEmpty() || page.reading.read != records) {
            std::fprintf(stderr, "display-report-bench: the report read %lld of %d records\n",
                         page.reading.read, records);
            return 1;
        }
    }
    ReportOptions thirtyDays;
    thirtyDays.now = now;
    const ReportPage page = writeReport(month, thirtyDays);
    std::printf("report_s=%.2f report_cpu_s=%.2f report_bytes=%lld\n", median(seconds), median(cpu),
                qint64(page.html.size()));
    return page.html.isEmpty() ? 1 : 0;
}
