// Fills a fresh journal with ten years of uploads every 15 minutes (350,000 records, a few
// distinct row sets), then times single records and history reads on the full file:
//   insert_ms=<median ms of one begin + finish, each its own transaction>
//   history_ms=<median ms of history(20)> size_mb=<file size, MB>
//   history_all_s=<s> history_all_mb=<peak resident MB>: `display-send --history --json` of
//   every record, run as a process with its output thrown away
// and the same records again in a sealed journal (daily epochs):
//   seal_ms=<median ms a record's two seals add to its begin + finish>
//   verify_350k_s=<s to verify every seal of it>
// Usage: display-journal-bench [records] [timed calls]

#include "jobrecords.h"

#include "figures.h"
#include "sealverifier.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

// Runs display-send over the whole journal; false when it failed or printed too little.
bool historyOfAll(const QString &path, int records, double &seconds, double &peakMb) {
    QProcess send;
    send.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    send.start(QStringLiteral(DISPLAY_SEND),
               {QStringLiteral("--history"), QStringLiteral("--json"), QStringLiteral("--limit"),
                QString::number(records + 1000), QStringLiteral("--journal"), path});
    if (!send.waitForFinished(600000) || send.exitStatus() != QProcess::NormalExit ||
        send.exitCode() != 0) {
        std::fprintf(stderr, "display-journal-bench: display-send --history failed: %s\n",
                     send.readAllStandardError().constData());
        return false;
    }
    seconds = timer.nsecsElapsed() / 1e9;
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage); // the largest child so far: this is the only one
    peakMb = usage.ru_maxrss / 1024.0;
    return true;
}

// Fills a journal at path with records uploads every 15 minutes from first, in transactions
// of 10,000; false when the journal refused.
bool fill(Journal &journal, int records, QDateTime &when, const QList<QStringList> &rowSets) {
    constexpr int PerTransaction = 10000;
    for (int done = 0; done < records; done += PerTransaction) {
        if (!journal.startBatch()) {
            std::fprintf(stderr, "display-journal-bench: %s\n", qPrintable(journal.takeProblem()));
            return false;
        }
        for (int n = done; n < std::min(records, done + PerTransaction); ++n) {
            const qint64 id =
                journal.begin(uploadStarted(rowSets.at((n / 96) % rowSets.size()), when));
            journal.finish(id, uploadCompleted(when.addMSecs(26000)));
            when = when.addSecs(15 * 60);
        }
        if (!journal.endBatch()) {
            std::fprintf(stderr, "display-journal-bench: %s\n", qPrintable(journal.takeProblem()));
            return false;
        }
    }
    return true;
}

// The median ms of one begin + finish, each its own transaction, timed times.
double medianInsert(Journal &journal, int timed, QDateTime &when,
                    const QList<QStringList> &rowSets) {
    std::vector<double> inserts;
    QElapsedTimer timer;
    for (int n = 0; n < timed; ++n) {
        timer.start();
        const qint64 id = journal.begin(uploadStarted(rowSets.at(n % rowSets.size()), when));
        journal.finish(id, uploadCompleted(when.addMSecs(26000)));
        inserts.push_back(timer.nsecsElapsed() / 1e6);
        when = when.addSecs(15 * 60);
    }
    return median(inserts);
}

// seal_ms and verify_350k_s, in a sealed journal of records (and timed more) in the folder.
bool sealFigures(const QString &folder, int records, int timed, const QList<QStringList> &rowSets,
                 double unsealedMs, double &sealMs, double &verifySeconds) {
    const QString path = QDir(folder).filePath(QStringLiteral("sealed.db"));
    Journal journal(path);
    QDateTime when = QDateTime::currentDateTimeUtc().addSecs(-qint64(records + timed) * 15 * 60);
    QString problem;
    const std::optional<QString> verificationKey =
        journal.startSealing(86400, problem, when.addSecs(-60));
    if (!verificationKey) {
        std::fprintf(stderr, "display-journal-bench: %s\n", qPrintable(problem));
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    if (!fill(journal, records, when, rowSets))
        return false;
    std::fprintf(stderr, "filled %d sealed records in %.1f s\n", records, timer.elapsed() / 1000.0);
    sealMs = medianInsert(journal, timed, when, rowSets) - unsealedMs;
    timer.start();
    const SealVerification verification =
        verifySeals(path, *SealKey::fromVerificationText(*verificationKey));
    verifySeconds = timer.nsecsElapsed() / 1e9;
    if (verification.status != SealVerification::Verified ||
        verification.sealedRecords != records + timed) {
        std::fprintf(stderr, "display-journal-bench: the sealed journal does not verify: %s\n",
                     qPrintable(verification.summary()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, atoi(argv[1])) : 350000;
    const int timed = argc > 2 ? std::max(1, atoi(argv[2])) : 300;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "display-journal-bench: no temporary folder\n");
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("display-journal.db"));
    Journal journal(path);

    constexpr int RowSets = 5;
    QList<QStringList> rowSets;
    for (int variant = 0; variant < RowSets; ++variant)
        rowSets << rowSet(variant);

    // The bulk, through the same code and schema, in transactions of 10,000 records.
    QElapsedTimer filling;
    filling.start();
    QDateTime when = QDateTime::currentDateTimeUtc().addSecs(-qint64(records) * 15 * 60);
    if (!fill(journal, records, when, rowSets))
        return 1;
    std::fprintf(stderr, "filled %d records in %.1f s\n", records, filling.elapsed() / 1000.0);

    std::vector<double> inserts;
    std::vector<double> histories;
    QElapsedTimer timer;
    for (int n = 0; n < timed; ++n) {
        timer.start();
        const qint64 id = journal.begin(uploadStarted(rowSets.at(n % RowSets), when));
        journal.finish(id, uploadCompleted(when.addMSecs(26000)));
        inserts.push_back(timer.nsecsElapsed() / 1e6);
        if (id < 0) {
            std::fprintf(stderr, "display-journal-bench: %s\n", qPrintable(journal.takeProblem()));
            return 1;
        }
        when = when.addSecs(15 * 60);

        timer.start();
        const QList<JournalRecord> last = journal.history(20);
        histories.push_back(timer.nsecsElapsed() / 1e6);
        if (last.size() != 20 || last.first().id != id) {
            std::fprintf(stderr, "display-journal-bench: history(20) did not read back\n");
            return 1;
        }
    }

    // The size the file settles at: what the write-ahead log holds is checkpointed into it.
    const double sizeMb =
        (QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size()) /
        (1024.0 * 1024.0);
    double allSeconds = 0;
    double allMb = 0;
    if (!historyOfAll(path, records + timed, allSeconds, allMb))
        return 1;
    double sealMs = 0;
    double verifySeconds = 0;
    if (!sealFigures(dir.path(), records, timed, rowSets, median(inserts), sealMs, verifySeconds))
        return 1;
    std::printf("insert_ms=%.3f history_ms=%.3f size_mb=%.1f history_all_s=%.2f "
                "history_all_mb=%.0f seal_ms=%.3f verify_350k_s=%.2f\n",
                median(inserts), median(histories), sizeMb, allSeconds, allMb, sealMs,
                verifySeconds);
    return 0;
}
