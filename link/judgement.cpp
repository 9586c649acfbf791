#include "judgement.h"

#include "pageset.h"

QDebug operator<<(QDebug debug, const Judgement &judgement) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "Judgement(board " << judgement.address << ' '
                    << (judgement.answered ? "answered" : "no answer") << ')';
    return debug;
}

QDebug operator<<(QDebug debug, const Exchanged &exchanged) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "Exchanged(" << exchanged.frame << " -> " << exchanged.reply;
    if (exchanged.judgement)
        debug << ", " << *exchanged.judgement;
    debug << ')';
    return debug;
}

namespace StatusJudge {

std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply) {
    const auto digitValue = [](char c) -> std::optional<int> {
        if (c >= '0' && c <= '9')
            return c - '0';
        return std::nullopt;
    };
    if (frame.isEmpty())
        return std::nullopt;
    const std::optional<int> address = digitValue(frame.front());
    if (!address || *address > BoardAddress::Highest)
        return std::nullopt;
    // A reply that begins with anything but a digit counts as 0, so address 0 accepts it.
    const int replied = reply.isEmpty() ? 0 : digitValue(reply.front()).value_or(0);
    return Judgement{*address, !reply.isEmpty() && replied == *address};
}

} // namespace StatusJudge
