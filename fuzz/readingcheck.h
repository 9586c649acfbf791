#pragma once

// What holds for any reading a file source gives, whatever the file held: a figure is a finite
// number measured no later than the clock allows, and a reading that is not shown says why.

#include "filesources.h"
#include "reading.h"

#include <cmath>
#include <cstdlib>

inline void checkReading(const Reading &reading, const QDateTime &now) {
    const bool hasFigure = reading.state != Reading::State::Failed;
    if (hasFigure != reading.value.has_value())
        std::abort();
    if (reading.value && !std::isfinite(*reading.value))
        std::abort();
    if (reading.problem.isEmpty() != (reading.state == Reading::State::Ok))
        std::abort();
    if (hasFigure && (!reading.time.isValid() || now.secsTo(reading.time) > FutureSlackSeconds))
        std::abort();
    for (const QString &note : reading.notes) {
        if (note.isEmpty())
            std::abort();
    }
}
