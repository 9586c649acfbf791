#pragma once

#include "frameparser.h"

#include <QByteArray>

#include <array>

enum class BoardBehaviour {
    Present, // answers at once (after the reply delay) with its digit and some text
    Silent,  // never answers
    Wrong,   // answers with another first character
    Late,    // answers with its digit, but only after the console's 500 ms reply window
};

// What boards 1 to BoardAddress::Highest hold (their row pair of each page) and the page delay,
// and how each address 0 to BoardAddress::Highest answers.
class BoardBank {
public:
    static constexpr int AddressCount = BoardAddress::Count;

    BoardBank();

    void setBehaviour(int address, BoardBehaviour behaviour);
    BoardBehaviour behaviour(int address) const;

    // Applies the frame to what the boards hold and returns the reply the addressed board sends,
    // empty when nothing answers. Invalid and bracket frames get no reply. The behaviour decides
    // only the reply: a silent, wrong or late board still takes its rows.
    QByteArray apply(const ParsedFrame &frame);

    // What a board sends after its digit (default " OK").
    void setReplyTail(const QByteArray &tail) { m_replyTail = tail; }
    const QByteArray &replyTail() const { return m_replyTail; }

    // Row text of the page as the boards now show it (row 2k and 2k + 1 come from board k + 1).
    QByteArray row(int page, int row) const;
    int pageDelaySeconds() const { return m_delaySeconds; } // -1 until a delay frame arrived
    int rowPairFramesReceived() const { return m_rowPairs; }

private:
    std::array<BoardBehaviour, AddressCount> m_behaviour;
    std::array<std::array<QByteArray, PageSet::RowsPerPage>, PageSet::PageCount> m_rows;
    int m_delaySeconds = -1;
    int m_rowPairs = 0;
    QByteArray m_replyTail = " OK";
};
