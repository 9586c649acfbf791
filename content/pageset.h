#pragma once

#include <QDebug>
#include <QString>
#include <QStringList>

#include <array>

// The six pages of sixteen rows the boards show in turn. Row index = page * 16 + row.
// Rows typed by the operator hold at most MaxTypedLength characters; a longer text placed by the
// program (read from display.cfg) is held, saved and sent whole.
class PageSet {
public:
    static constexpr int PageCount = 6;
    static constexpr int RowsPerPage = 16;
    static constexpr int RowCount = PageCount * RowsPerPage;
    static constexpr int PairsPerPage = RowsPerPage / 2;
    static constexpr int MaxTypedLength = 32;

    static constexpr int indexOf(int page, int row) { return page * RowsPerPage + row; }
    static constexpr int pageOf(int index) { return index / RowsPerPage; }
    static constexpr int rowOnPage(int index) { return index % RowsPerPage; }
    // Where a row stands as the operator's tabs count it, from 1: "page 2, row 5", or with a
    // capital, "Page 2, row 5", to begin a sentence.
    enum class Start { Lower, Capital };
    static QString rowLabel(int index, Start start = Start::Lower);

    // What a row may hold, typed or filled: printable Latin-1 but '"' (display.cfg has no escape
    // for it) and '~' (it separates the two rows of a pair on the line).
    static constexpr bool isRowCharacter(char32_t u) {
        return u != U'"' && u != U'~' && ((u >= 0x20 && u <= 0x7E) || (u >= 0xA0 && u <= 0xFF));
    }
    // Why text holds what a row cannot ("holds '~', which a row cannot carry"), said of its first
    // such character; empty when every character may stand in a row.
    static QString characterProblem(QStringView text);

    const QString &row(int index) const { return m_rows.at(checked(index)); }
    QStringList rows() const { return {m_rows.cbegin(), m_rows.cend()}; }
    const QString &row(int page, int row) const { return this->row(indexOf(page, row)); }
    void setRow(int index, const QString &text) { m_rows.at(checked(index)) = text; }
    void setRow(int page, int row, const QString &text) { setRow(indexOf(page, row), text); }

    // The two texts that travel to board address k + 1 for this page: rows 2k and 2k + 1.
    std::pair<QString, QString> pair(int page, int k) const {
        return {row(page, 2 * k), row(page, 2 * k + 1)};
    }

    friend bool operator==(const PageSet &, const PageSet &) = default;

private:
    static std::size_t checked(int index);

    std::array<QString, RowCount> m_rows;
};

QDebug operator<<(QDebug debug, const PageSet &pages);

// Board addresses are the digits 0 to Highest. Board k + 1 carries row pair k of every page, so
// there are as many boards as pairs on a page; the board test probes every address, and each
// address has its status light.
namespace BoardAddress {
constexpr int Highest = PageSet::PairsPerPage;
constexpr int Count = Highest + 1;
static_assert(Highest <= 9, "an address travels as one decimal digit");
} // namespace BoardAddress
