// Forwards a backlog of local records to a throwaway PostgreSQL cluster with `display-send
// --forward`, as a site does after being cut off from the shared journal for a long while:
//   forward_s=<median s of forwarding the whole backlog> records=<n> runs=<n>
// Each run forwards a fresh journal of the same records into a fresh database.
// Usage: display-forward-bench [records] [runs]

#include "jobrecords.h"
#include "pgcluster.h"

#include "figures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10'000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    PgCluster cluster;
    if (!cluster.ok()) {
        std::fprintf(stderr, "display-forward-bench: %s\n", qPrintable(cluster.problem()));
        return 1;
    }
    QTemporaryDir folder;
    QStringList rows;
    for (int i = 0; i < 96; ++i)
        rows << QStringLiteral("COD %1 mg/l").arg(i % 7);
    QList<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const QString database = QStringLiteral("boards%1").arg(run);
        const QString site = QDir(folder.path()).filePath(database);
        QDir().mkpath(site);
        QFile conf(site + QStringLiteral("/journal.conf"));
        if (!cluster.psql(QStringLiteral("CREATE DATABASE %1").arg(database)) ||
            !conf.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "display-forward-bench: %s\n", qPrintable(cluster.problem()));
            return 1;
        }
        conf.write(QStringLiteral("[shared]\nconnection = %1\nsite = bench\n")
                       .arg(cluster.connection(QStringLiteral("postgres"), database))
                       .toUtf8());
        conf.close();
        // The superuser sets it up and forwards: the rights are not what is measured.
        QProcess init;
        init.setWorkingDirectory(site);
        init.start(QStringLiteral(DISPLAY_SEND), {QStringLiteral("--shared-init")});
        init.waitForFinished(60000);
        init.start(QStringLiteral(DISPLAY_SEND),
                   {QStringLiteral("--shared-add-site"), QStringLiteral("postgres"),
                    QStringLiteral("bench")});
        init.waitForFinished(60000);
        {
            // A few distinct row sets, as a timer's uploads over weeks hold.
            Journal journal(site + QStringLiteral("/display-journal.db"));
            const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-200);
            journal.startBatch();
            for (int i = 0; i < records; ++i) {
                QStringList sent = rows;
                sent[0] = QStringLiteral("set %1").arg(i / 500);
                const QDateTime at = start.addSecs(qint64(i) * 900);
                journal.finish(journal.begin(uploadStarted(sent, at, QStringLiteral("send"))),
                               uploadCompleted(at.addSecs(30)));
            }
            journal.endBatch();
        }
        QProcess forward;
        forward.setWorkingDirectory(site);
        QElapsedTimer timer;
        timer.start();
        forward.start(QStringLiteral(DISPLAY_SEND), {QStringLiteral("--forward")});
        if (!forward.waitForFinished(120000) || forward.exitCode() != 0) {
            std::fprintf(stderr, "display-forward-bench: display-send --forward failed: %s\n",
                         forward.readAllStandardError().constData());
            return 1;
        }
        seconds << double(timer.nsecsElapsed()) / 1e9;
        std::fprintf(stderr, "run %d: %.2f s, %s", run + 1, seconds.last(),
                     forward.readAllStandardOutput().constData());
    }
    std::printf("forward_s=%.2f records=%d runs=%d\n", median(seconds), records, runs);
    return 0;
}
