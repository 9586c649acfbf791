#include "reading.h"

QString stateName(Reading::State state) {
    switch (state) {
    case Reading::State::Ok:
        return QStringLiteral("ok");
    case Reading::State::Stale:
        return QStringLiteral("stale");
    case Reading::State::Flagged:
        return QStringLiteral("flagged");
    case Reading::State::Failed:
        break;
    }
    return QStringLiteral("failed");
}
