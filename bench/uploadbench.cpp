// display-upload-bench: one upload of the default pages, at the console's own pace, to simulated
// boards on a pseudo-terminal in this process. Prints what the boards saw and what it cost; the
// last line is
//   upload_s=<first frame to end of last window> gap_min_s=<x> gap_max_s=<x> cpu_s=<x>
// where a gap is the time between two frames arriving at the boards and cpu_s is this process's
// CPU time (console and boards together) during the upload.

#include "boards.h"
#include "defaultpages.h"
#include "figures.h"
#include "framebuilder.h"
#include "jobrunner.h"
#include "pageset.h"
#include "settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <array>

namespace {

// The operator's side: which boards answered and what failed.
class BenchReport : public JobReport {
public:
    void exchanged(const ExchangeResult &exchange) override {
        if (exchange.judgement)
            answered[exchange.judgement->address] = exchange.judgement->answered;
    }
    void received(const QByteArray &, qint64) override {}
    void failed(const QString &text) override { errors.append(text); }

    QStringList errors;
    std::array<bool, BoardAddress::Count> answered{};
};

QByteArray expectedLine() {
    const PageSet pages = DefaultPages::pages();
    QByteArray line = FrameBuilder::bracketFrame() + FrameBuilder::bracketFrame();
    for (int page = 0; page < PageSet::PageCount; ++page)
        for (int k = 0; k < PageSet::PairsPerPage; ++k)
            line += FrameBuilder::rowPairFrame(page, k, pages);
    return line +
           FrameBuilder::pageDelayFrame(
               Settings::delaySecondsForPosition(Settings::DefaultDelayPosition)) +
           FrameBuilder::bracketFrame();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    PtyBoards boards;
    if (!boards.isValid()) {
        QTextStream(stderr) << "display-upload-bench: no pseudo-terminal\n";
        return 2;
    }
    BenchReport report;
    JobRunner runner;
    const PageSet pages = DefaultPages::pages();
    const UploadRequest request{
        .port = PortTarget::device(boards.devicePath()),
        .rowText = [&pages](int index) { return pages.row(index); },
        .delaySeconds =
            [] { return Settings::delaySecondsForPosition(Settings::DefaultDelayPosition); },
    };
    QTimer *const tmrTout = runner.findChild<QTimer *>(QStringLiteral("tmrTout"));

    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivalsNs;
    QList<qint64> windowEndsNs;
    QObject::connect(&boards, &PtyBoards::frameReceived, &boards,
                     [&] { arrivalsNs.append(clock.nsecsElapsed()); });
    QObject::connect(tmrTout, &QTimer::timeout, tmrTout,
                     [&] { windowEndsNs.append(clock.nsecsElapsed()); });

    double cpuUsed = 0;
    double cpuBefore = 0;
    Job *const job = runner.upload(request, report);
    QObject::connect(job, &Job::finished, &app, [&] {
        cpuUsed = cpuSeconds() - cpuBefore;
        app.quit();
    });
    QTimer::singleShot(0, job, [&] {
        cpuBefore = cpuSeconds();
        job->start();
    });
    app.exec();

    if (!report.errors.isEmpty() || arrivalsNs.isEmpty() || windowEndsNs.isEmpty()) {
        QTextStream(stderr) << "display-upload-bench: the upload failed: "
                            << report.errors.join(QLatin1String("; ")) << '\n';
        return 1;
    }
    const bool bytesRight = boards.allBytes() == expectedLine();

    QList<qint64> gaps;
    for (qsizetype i = 1; i < arrivalsNs.size(); ++i)
        gaps.append(arrivalsNs.at(i) - arrivalsNs.at(i - 1));
    QList<qint64> windows; // as the console kept them: from one window's end to the next
    for (qsizetype i = 1; i < windowEndsNs.size(); ++i)
        windows.append(windowEndsNs.at(i) - windowEndsNs.at(i - 1));
    const auto seconds = [](qint64 ns) { return QString::number(double(ns) / 1e9, 'f', 4); };
    const auto [gapMin, gapMax] = std::minmax_element(gaps.cbegin(), gaps.cend());
    const auto [windowMin, windowMax] = std::minmax_element(windows.cbegin(), windows.cend());

    int greens = 0;
    for (bool green : report.answered)
        greens += green;
    out << "frames=" << arrivalsNs.size() << " bytes=" << boards.allBytes().size()
        << " bytes_as_expected=" << (bytesRight ? "yes" : "no") << " green_lights=" << greens
        << '\n';
    out << "console_spacing_min_s=" << seconds(*windowMin)
        << " console_spacing_max_s=" << seconds(*windowMax) << '\n';
    out << "upload_s=" << seconds(windowEndsNs.last() - arrivalsNs.first())
        << " gap_min_s=" << seconds(*gapMin) << " gap_max_s=" << seconds(*gapMax)
        << " cpu_s=" << QString::number(cpuUsed, 'f', 3) << '\n';
    return bytesRight ? 0 : 1;
}
