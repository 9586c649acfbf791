#pragma once

#include <QList>
#include <QString>

// Whether an upload went out at the console's pace, from when the console wrote each frame and
// when the boards saw it (both in ns on one clock). Empty when it did; otherwise what was wrong.
//
// The console writes each frame at least one whole window after the one before: measured where
// it writes, this holds exactly, however busy the machine. A console waiting on a coarse timer
// (which fired after as little as 475 ms) fails it. The boards' side only proves that each frame
// really went out when it was written, not held back and sent with a later one: a held frame lags
// its write by a whole window or more. A frame is noticed a little after it was written: about
// 0.1 ms, but tens of ms when the machine is busy with a build beside the tests. So the boards'
// times are held to half a window after the write, not to the gaps between them.
inline QString pacingProblem(const QList<qint64> &writtenNs, const QList<qint64> &arrivalsNs,
                             qint64 windowNs) {
    if (writtenNs.size() != arrivalsNs.size())
        return QStringLiteral("%1 frames written, %2 seen by the boards")
            .arg(writtenNs.size())
            .arg(arrivalsNs.size());
    const auto ms = [](qint64 ns) { return QString::number(double(ns) / 1e6, 'f', 3); };
    for (qsizetype i = 1; i < writtenNs.size(); ++i) {
        const qint64 gapNs = writtenNs.at(i) - writtenNs.at(i - 1);
        if (gapNs < windowNs)
            return QStringLiteral("frame %1 was written %2 ms after the one before")
                .arg(i + 1)
                .arg(ms(gapNs));
    }
    for (qsizetype i = 0; i < arrivalsNs.size(); ++i) {
        const qint64 lagNs = arrivalsNs.at(i) - writtenNs.at(i);
        if (lagNs > windowNs / 2)
            return QStringLiteral("frame %1 came %2 ms after it was written")
                .arg(i + 1)
                .arg(ms(lagNs));
    }
    return QString();
}
