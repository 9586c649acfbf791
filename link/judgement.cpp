#include "judgement.h"

#include "pageset.h"

QDebug operator<<(QDebug debug, const Judgement &judgement) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "Judgement(board " << judgement.address << ' '
                    << (judgement.answered ? "answered" : "no answer") << ')';
    return debug;
}

QDebug operator<<(QDebug debug, const ExchangeResult &exchange) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "ExchangeResult(" << exchange.frame << " -> " << exchange.reply;
    if (exchange.judgement)
        debug << ", " << *exchange.judgement;
    debug << ')';
    return debug;
}

namespace StatusJudge {

std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply) {
    const auto digitValue = [](const QByteArray &bytes) { // -1: no leading digit
        const char c = bytes.isEmpty() ? 0 : bytes.front();
        return c >= '0' && c <= '9' ? c - '0' : -1;
    };
    const int address = digitValue(frame);
    if (address < 0 || address > BoardAddress::Highest)
        return std::nullopt;
    // A reply that begins with anything but a digit counts as 0, so address 0 accepts it.
    return Judgement{address, !reply.isEmpty() && qMax(0, digitValue(reply)) == address};
}

} // namespace StatusJudge
