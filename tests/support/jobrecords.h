#pragma once

#include "journal.h"

// Jobs as the programs record them, for filling journals (the tests and the journal bench).

// An upload of rows on COM 33 (/dev/ttyUSB0) with the default 5 s page delay, started at by
// the operator at the gate's computer, all eight boards expected.
inline JournalStart uploadStarted(const QStringList &rows, const QDateTime &at,
                                  const QString &program = QStringLiteral("console")) {
    return {program,
            QStringLiteral("upload"),
            33,
            QStringLiteral("/dev/ttyUSB0"),
            5,
            rows,
            at,
            QStringLiteral("operator"),
            QStringLiteral("gate-pc"),
            {1, 2, 3, 4, 5, 6, 7, 8}};
}

// Its end: complete after 50 frames, every board answered, finished at.
inline JournalEnd uploadCompleted(const QDateTime &at) {
    return {QStringLiteral("complete"), QString(), 50, QStringLiteral("cgggggggg"), at, {}, {}, {}};
}
