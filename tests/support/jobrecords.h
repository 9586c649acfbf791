#pragma once

#include "journal.h"

// Jobs as the programs record them, for filling journals (the tests and the journal bench).

// An upload of rows on COM 33 (/dev/ttyUSB0) with the default 5 s page delay, started at.
inline JournalStart uploadStarted(const QStringList &rows, const QDateTime &at,
                                  const QString &program = QStringLiteral("console")) {
    JournalStart start;
    start.program = program;
    start.job = QStringLiteral("upload");
    start.port = 33;
    start.device = QStringLiteral("/dev/ttyUSB0");
    start.delaySeconds = 5;
    start.rows = rows;
    start.started = at;
    return start;
}

// Its end: complete after 50 frames, every board answered, finished at.
inline JournalEnd uploadCompleted(const QDateTime &at) {
    JournalEnd end;
    end.outcome = QStringLiteral("complete");
    end.frames = 50;
    end.lights = QStringLiteral("cgggggggg");
    end.finished = at;
    return end;
}
