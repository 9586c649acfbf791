#include "journal.h"
#include "pageset.h"

namespace {

QList<int> expectedBoards(const JournalRecord &record) {
    return boardsFromText(record.boards.value_or(QString()));
}

} // namespace

QList<int> silentBoards(const JournalRecord &record) {
    QList<int> silent;
    if (record.outcome != QLatin1String("complete"))
        return silent;
    for (const int board : expectedBoards(record)) {
        if (board >= record.lights.size() || record.lights.at(board) != QLatin1Char('g'))
            silent << board;
    }
    return silent;
}

QStringList outcomeChanges(const std::optional<JournalRecord> &previous,
                           const JournalRecord &current) {
    const auto tells = [](const JournalRecord &record) {
        return record.outcome == QLatin1String("complete") ||
               record.outcome == QLatin1String("port-error");
    };
    QStringList changes;
    if (!tells(current))
        return changes;
    JournalRecord before;
    if (previous && tells(*previous)) {
        before = *previous;
    } else {
        before = current; // a first job is measured against one that went well
        before.outcome = QStringLiteral("complete");
        before.lights.fill(QLatin1Char('g'), BoardAddress::Count);
        before.unavailable.reset();
    }
    const bool failedBefore = before.outcome != QLatin1String("complete");
    const bool failedNow = current.outcome != QLatin1String("complete");
    if (failedNow != failedBefore)
        changes << (failedNow ? QStringLiteral("the port failed")
                              : QStringLiteral("the port works again"));
    if (!failedNow && !failedBefore) {
        const QList<int> expectedBefore = expectedBoards(before);
        const QList<int> silentBefore = silentBoards(before);
        const QList<int> silentNow = silentBoards(current);
        for (const int board : expectedBoards(current)) {
            if (!expectedBefore.contains(board))
                continue;
            if (silentNow.contains(board) != silentBefore.contains(board))
                changes << (silentNow.contains(board)
                                ? QStringLiteral("board %1 stopped answering").arg(board)
                                : QStringLiteral("board %1 answers again").arg(board));
        }
    }
    const QStringList unavailableBefore = before.unavailable.value_or(QStringList());
    const QStringList unavailableNow = current.unavailable.value_or(QStringList());
    for (const QString &name : unavailableNow) {
        if (!unavailableBefore.contains(name))
            changes << QStringLiteral("%1 became unavailable").arg(name);
    }
    for (const QString &name : unavailableBefore) {
        if (!unavailableNow.contains(name))
            changes << QStringLiteral("%1 is available again").arg(name);
    }
    return changes;
}
