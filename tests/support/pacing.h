#pragma once

#include <QList>
#include <QString>

// Whether an upload went out at the console's pace, from when the console wrote each frame and
// when the boards saw it (both in ns on one clock). Empty when it did; otherwise what was wrong.
//
// The console writes each frame at least one whole window after the one before: measured where
// it writes, this holds exactly, however busy the machine. A console waiting on a coarse timer
// (which fired after as little as 475 ms) fails it. The boards see each frame a little after it
// was written: about 0.1 ms, but several ms when the system had gone idle during the window or
// other tests keep both cores busy, so one frame noticed late makes the gap after it that much
// shorter. Their side only proves that the frames really went out paced, not held back and sent
// together.
inline QString pacingProblem(const QList<qint64> &writtenNs, const QList<qint64> &arrivalsNs,
                             qint64 windowNs) {
    constexpr qint64 noticedLateNs = 25'000'000;
    const auto gaps = [](const QList<qint64> &times, qint64 least, const char *what) {
        for (qsizetype i = 1; i < times.size(); ++i) {
            const qint64 gapNs = times.at(i) - times.at(i - 1);
            if (gapNs < least)
                return QStringLiteral("frame %1 %2 %3 ms after the one before")
                    .arg(i + 1)
                    .arg(QLatin1String(what))
                    .arg(double(gapNs) / 1e6, 0, 'f', 3);
        }
        return QString();
    };
    if (writtenNs.size() != arrivalsNs.size())
        return QStringLiteral("%1 frames written, %2 seen by the boards")
            .arg(writtenNs.size())
            .arg(arrivalsNs.size());
    QString problem = gaps(writtenNs, windowNs, "was written");
    if (problem.isEmpty())
        problem = gaps(arrivalsNs, windowNs - noticedLateNs, "came");
    if (problem.isEmpty() && arrivalsNs.size() > 1 &&
        arrivalsNs.last() - arrivalsNs.first() < (arrivalsNs.size() - 1) * windowNs - noticedLateNs)
        problem = QStringLiteral("the frames came closer together than their windows");
    return problem;
}
