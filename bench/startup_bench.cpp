// Start-up time to the window shown, and peak memory, of the console next to a bare Qt window of
// the same size built alongside. Each figure is measured in fresh child processes, alternating
// the two kinds, and reported as medians with their ratio.
//
//   display-startup-bench [runs]        (default 9 runs of each)
//
// Children run on the offscreen platform unless QT_QPA_PLATFORM says otherwise, each in a new
// working folder as a site keeps it: display.cfg with the first page templated, and beside it a
// sources.conf of 20 values read from a monitoring JSON file.

#include "configstore.h"
#include "displaywindow.h"
#include "layout.h"

#include "figures.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>

namespace {

// Reports once, after the first paint of the window has been processed.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(QWidget *window)
        : QObject(window) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, this, [] {
                rusage usage{};
                getrusage(RUSAGE_SELF, &usage);
                QTextStream(stdout) << "shown peak_kib=" << usage.ru_maxrss << Qt::endl;
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

int runChild(int argc, char *argv[], bool console) {
    QApplication app(argc, argv);
    if (console) {
        DisplayWindow window;
        FirstPaint report(&window);
        window.show();
        return app.exec();
    }
    // The same client area as the console, in the same units.
    const LayoutUnits units = LayoutUnits::forPrimaryScreen();
    QWidget window;
    window.setFixedSize(units.px(Layout::DisplayWidth), units.px(Layout::DisplayHeight));
    FirstPaint report(&window);
    window.show();
    return app.exec();
}

constexpr int FigureCount = 20;

void writeFile(const QString &path, const QByteArray &bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        qFatal("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
}

void writeFolder(const QDir &folder) {
    PageSet pages;
    QByteArray sources;
    QByteArray params;
    const QByteArray time = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    for (int index = 0; index < FigureCount; ++index) {
        const QByteArray name = "v" + QByteArray::number(index);
        if (index < PageSet::RowsPerPage)
            pages.setRow(index, QStringLiteral("%1 {%1:>6.1f} mg/l").arg(QLatin1String(name)));
        sources += "[" + name + "]\njson = latest.json\nparameter = " + name + "\n\n";
        params += (index ? ", " : "") + ("{\"parameter\": \"" + name + "\", \"value\": " +
                                         QByteArray::number(index * 3.7 + 0.25) +
                                         ", \"timestamp\": " + time + ", \"flag\": \"U\"}");
    }
    writeFile(folder.filePath(QStringLiteral("display.cfg")), ConfigStore::serialize(1, pages));
    writeFile(folder.filePath(QStringLiteral("sources.conf")), sources);
    writeFile(folder.filePath(QStringLiteral("latest.json")),
              "[{\"deviceId\": \"stack-1\", \"params\": [" + params + "]}]\n");
}

struct Sample {
    double seconds = 0;
    double peakMiB = 0;
};

Sample measure(const QString &program, const QString &kind) {
    QTemporaryDir dir;
    writeFolder(QDir(dir.path()));
    QProcess child;
    child.setWorkingDirectory(dir.path());
    QElapsedTimer clock;
    clock.start();
    child.start(program, {QStringLiteral("--child"), kind});
    if (!child.waitForFinished(60000) || child.exitCode() != 0) {
        qFatal("the %s child did not start and show its window: %s", qPrintable(kind),
               child.readAllStandardError().constData());
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const QByteArray out = child.readAllStandardOutput();
    const qsizetype at = out.indexOf("peak_kib=");
    if (at < 0)
        qFatal("the %s child reported nothing", qPrintable(kind));
    return {seconds, out.mid(at + 9).trimmed().toDouble() / 1024.0};
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc >= 3 && qstrcmp(argv[1], "--child") == 0) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return runChild(argc, argv, qstrcmp(argv[2], "console") == 0);
    }

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 9;
    const QString self = QCoreApplication::applicationFilePath();
    QList<double> consoleStart, bareStart, consoleMem, bareMem;
    measure(self, QStringLiteral("console")); // warm the file cache for both
    measure(self, QStringLiteral("bare"));
    for (int i = 0; i < runs; ++i) {
        const Sample console = measure(self, QStringLiteral("console"));
        const Sample bare = measure(self, QStringLiteral("bare"));
        consoleStart << console.seconds;
        bareStart << bare.seconds;
        consoleMem << console.peakMiB;
        bareMem << bare.peakMiB;
    }
    QTextStream out(stdout);
    out.setRealNumberNotation(QTextStream::FixedNotation);
    out.setRealNumberPrecision(3);
    out << "runs=" << runs << " (medians, each kind in fresh processes)\n";
    out << "startup_s console=" << median(consoleStart) << " bare=" << median(bareStart)
        << " ratio=" << median(consoleStart) / median(bareStart) << '\n';
    out << "peak_mib console=" << median(consoleMem) << " bare=" << median(bareMem)
        << " ratio=" << median(consoleMem) / median(bareMem) << '\n';
    return 0;
}
