#include "boardbank.h"

BoardBank::BoardBank() {
    m_behaviour.fill(BoardBehaviour::Present);
}

void BoardBank::setBehaviour(int address, BoardBehaviour behaviour) {
    m_behaviour.at(static_cast<std::size_t>(address)) = behaviour;
}

BoardBehaviour BoardBank::behaviour(int address) const {
    return m_behaviour.at(static_cast<std::size_t>(address));
}

QByteArray BoardBank::apply(const ParsedFrame &frame) {
    switch (frame.kind) {
    case ParsedFrame::Kind::Bracket:
    case ParsedFrame::Kind::Invalid:
        return {};
    case ParsedFrame::Kind::RowPair: {
        auto &rows = m_rows.at(static_cast<std::size_t>(frame.page));
        const auto even = static_cast<std::size_t>(2 * (frame.address - 1));
        rows.at(even) = frame.firstRow;
        rows.at(even + 1) = frame.secondRow;
        ++m_rowPairs;
        break;
    }
    case ParsedFrame::Kind::PageDelay:
        m_delaySeconds = frame.delaySeconds;
        break;
    case ParsedFrame::Kind::Probe:
        break;
    }

    const int address = frame.address;
    switch (behaviour(address)) {
    case BoardBehaviour::Present:
    case BoardBehaviour::Late:
        return char('0' + address) + m_replyTail;
    case BoardBehaviour::Wrong:
        return char('0' + (address + 1) % 10) + m_replyTail;
    case BoardBehaviour::Silent:
        break;
    }
    return {};
}

QByteArray BoardBank::row(int page, int row) const {
    if (page < 0 || page >= PageSet::PageCount || row < 0 || row >= PageSet::RowsPerPage)
        return {};
    return m_rows.at(static_cast<std::size_t>(page)).at(static_cast<std::size_t>(row));
}
