// display-send-bench: display-send as a scheduler runs it, against simulated boards on a
// pseudo-terminal in this process. Runs whole uploads and dry runs in fresh processes and prints
// medians; the last line is
//   upload_s=<x> cpu_s=<x> first_frame_s=<x> dry_run_s=<x>
// upload_s: the first frame at the boards to the end of the process; cpu_s: the process's own
// CPU time for one upload; first_frame_s: the start of the process to the first frame at the
// boards; dry_run_s: a whole dry run that fills every one of the 96 rows from a values file.
//
//   display-send-bench [uploads] [dry runs]      (default 1 and 9)

#include "boards.h"
#include "configstore.h"
#include "figures.h"
#include "jobrunner.h"
#include "pageset.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace {

QString figure(double seconds) {
    return QString::number(seconds, 'f', 4);
}

// Runs display-send to its end while this process's event loop answers the frames.
bool runToEnd(QProcess &process, const QStringList &arguments, const QString &folder) {
    process.setWorkingDirectory(folder);
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.start(QStringLiteral(DISPLAY_SEND), arguments);
    if (!process.waitForStarted())
        return false;
    QTimer::singleShot(120'000, &loop, &QEventLoop::quit);
    loop.exec();
    return process.state() == QProcess::NotRunning &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    const int uploads = args.size() > 1 ? qMax(1, args.at(1).toInt()) : 1;
    const int dryRuns = args.size() > 2 ? qMax(1, args.at(2).toInt()) : 9;

    QTemporaryDir folder;
    PtyBoards boards;
    if (!folder.isValid() || !boards.isValid()) {
        err << "display-send-bench: no working folder or no pseudo-terminal\n";
        return 2;
    }
    // Every row a template, so the dry run fills all 96.
    PageSet pages;
    QJsonObject values;
    for (int index = 0; index < PageSet::RowCount; ++index) {
        pages.setRow(index, QStringLiteral("Row %1 {v%1:>8.2f} {date:%d.%m}").arg(index));
        values.insert(QStringLiteral("v%1").arg(index), 1000.0 / (index + 1));
    }
    ConfigStore(folder.filePath(QStringLiteral("display.cfg"))).save(1, pages);
    QFile valuesFile(folder.filePath(QStringLiteral("values.json")));
    if (!valuesFile.open(QIODevice::WriteOnly) ||
        valuesFile.write(QJsonDocument(values).toJson()) < 0) {
        err << "display-send-bench: cannot write " << valuesFile.fileName() << '\n';
        return 2;
    }
    valuesFile.close();

    QElapsedTimer clock;
    clock.start();
    qint64 firstFrameNs = -1;
    QObject::connect(&boards, &PtyBoards::frameReceived, &boards, [&] {
        if (firstFrameNs < 0)
            firstFrameNs = clock.nsecsElapsed();
    });

    QList<double> uploadSeconds;
    QList<double> cpuUsed;
    QList<double> firstFrameSeconds;
    for (int run = 0; run < uploads; ++run) {
        boards.clear();
        firstFrameNs = -1;
        QProcess process;
        const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        const qint64 startNs = clock.nsecsElapsed();
        const bool ok =
            runToEnd(process,
                     {QStringLiteral("--device"), boards.devicePath(), QStringLiteral("--values"),
                      QStringLiteral("values.json"), QStringLiteral("--quiet")},
                     folder.path());
        const qint64 endNs = clock.nsecsElapsed();
        if (!ok || boards.received().size() != UploadFrameCount) {
            err << "display-send-bench: the upload failed: "
                << QString::fromUtf8(process.readAllStandardError()) << '\n';
            return 1;
        }
        uploadSeconds << double(endNs - firstFrameNs) / 1e9;
        firstFrameSeconds << double(firstFrameNs - startNs) / 1e9;
        cpuUsed << cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    }

    QList<double> dryRunSeconds;
    for (int run = 0; run < dryRuns; ++run) {
        QProcess process;
        const qint64 startNs = clock.nsecsElapsed();
        if (!runToEnd(process,
                      {QStringLiteral("--dry-run"), QStringLiteral("--values"),
                       QStringLiteral("values.json")},
                      folder.path())) {
            err << "display-send-bench: the dry run failed: "
                << QString::fromUtf8(process.readAllStandardError()) << '\n';
            return 1;
        }
        dryRunSeconds << double(clock.nsecsElapsed() - startNs) / 1e9;
    }

    out << "uploads=" << uploads << " dry_runs=" << dryRuns << " frames=" << UploadFrameCount
        << '\n';
    out << "upload_s=" << figure(median(uploadSeconds))
        << " cpu_s=" << QString::number(median(cpuUsed), 'f', 3)
        << " first_frame_s=" << figure(median(firstFrameSeconds))
        << " dry_run_s=" << figure(median(dryRunSeconds)) << '\n';
    return 0;
}
