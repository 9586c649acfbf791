// display-upload-bench: one upload of the default pages, at the console's own pace, to simulated
// boards on a pseudo-terminal in this process. Prints what the boards saw and what it cost; the
// last line is
//   upload_s=<first frame to end of last window> gap_min_s=<x> gap_max_s=<x> cpu_s=<x>
// where a gap is the time between two frames arriving at the boards and cpu_s is this process's
// CPU time (console and boards together) during the upload.

#include "boardlink.h"
#include "boards.h"
#include "consolehost.h"
#include "defaultpages.h"
#include "framebuilder.h"
#include "jobs.h"
#include "pageset.h"
#include "sendrec.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class NoProgress : public ProgressDisplay {
public:
    void show() override {}
    void setMessage(const QString &) override {}
    float value() const override { return m_value; }
    void setValue(float value) override { m_value = value; }
    void close() override {}

private:
    float m_value = 0;
};

// The operator's side: the default pages, the boards' port, delay "5".
class BenchConsole : public ConsoleHost, public StatusDisplay {
public:
    explicit BenchConsole(int portNumber)
        : m_pages(DefaultPages::pages())
        , m_portNumber(qint16(portNumber)) {}

    QString rowText(int index) const override { return m_pages.row(index); }
    int portListPosition() const override { return m_portNumber - 1; }
    int delayListPosition() const override { return 3; }
    qint16 portNumber() const override { return m_portNumber; }
    void setPortNumber(qint16 portNumber) override { m_portNumber = portNumber; }
    void setSendEnabled(bool) override {}
    void setMonitorCaption(const QString &) override {}
    void setReceiveLine(const QByteArray &) override {}
    ProgressDisplay &progress() override { return m_progress; }
    void reportPortError(const QString &text) override { errors.append(text); }
    void setLight(int address, Light colour) override { greens[address] = colour == Light::Green; }

    QStringList errors;
    bool greens[9] = {};

private:
    PageSet m_pages;
    qint16 m_portNumber;
    NoProgress m_progress;
};

QByteArray expectedLine() {
    const PageSet pages = DefaultPages::pages();
    QByteArray line = FrameBuilder::bracketFrame() + FrameBuilder::bracketFrame();
    for (int page = 0; page < PageSet::PageCount; ++page)
        for (int k = 0; k < PageSet::PairsPerPage; ++k)
            line += FrameBuilder::rowPairFrame(page, k, pages);
    return line + FrameBuilder::pageDelayFrame(5) + FrameBuilder::bracketFrame();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    PtyBoards boards;
    if (!boards.isValid() || boards.portNumber() < 0) {
        QTextStream(stderr) << "display-upload-bench: no pseudo-terminal within COM 100..250\n";
        return 2;
    }
    BenchConsole console(boards.portNumber());
    BoardLink link;
    SendRec exchange(&link, &console);

    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivalsNs;
    QList<qint64> windowEndsNs;
    QObject::connect(&boards, &PtyBoards::frameReceived, &boards,
                     [&] { arrivalsNs.append(clock.nsecsElapsed()); });
    QObject::connect(exchange.tmrTout(), &QTimer::timeout, &exchange,
                     [&] { windowEndsNs.append(clock.nsecsElapsed()); });

    double cpuUsed = 0;
    QTimer::singleShot(0, &app, [&] {
        const double cpuBefore = cpuSeconds();
        UploadJob(console, link, exchange).run();
        cpuUsed = cpuSeconds() - cpuBefore;
        app.quit();
    });
    app.exec();

    if (!console.errors.isEmpty() || arrivalsNs.isEmpty() || windowEndsNs.isEmpty()) {
        QTextStream(stderr) << "display-upload-bench: the upload failed: "
                            << console.errors.join(QLatin1String("; ")) << '\n';
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
    for (bool green : console.greens)
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
