#include "framebuilder.h"

#include "pageset.h"
#include "settings.h"

#include <stdexcept>

namespace {

char digit(int value, int min, int max, const char *what) {
    if (value < min || value > max)
        throw std::out_of_range(what);
    return char('0' + value);
}

} // namespace

namespace FrameBuilder {

QByteArray bracketFrame() {
    return QByteArray("*Q") + FrameEnd;
}

static_assert(PageSet::PageCount <= 10, "a page travels as one decimal digit");

QByteArray rowPairFrame(int page, int k, const QString &evenRow, const QString &oddRow) {
    const char address = digit(k + 1, 1, PageSet::PairsPerPage, "row pair out of range");
    // Characters outside Latin-1 have no byte on the line and travel as '?'.
    return address + QByteArray("ED0") +
           digit(page, 0, PageSet::PageCount - 1, "page out of range") + "TSC" +
           evenRow.toLatin1() + '~' + oddRow.toLatin1() + FrameEnd;
}

QByteArray rowPairFrame(int page, int k, const PageSet &pages) {
    const auto [even, odd] = pages.pair(page, k);
    return rowPairFrame(page, k, even, odd);
}

QByteArray pageDelayFrame(int seconds) {
    // With no delay selected the list position is -1, and the upload sends one second.
    constexpr int fewest = Settings::delaySecondsForPosition(-1);
    static_assert(Settings::DelayMaxSeconds <= 99, "the delay travels as two digits");
    if (seconds < fewest || seconds > Settings::DelayMaxSeconds)
        throw std::out_of_range("page delay out of range");
    return QByteArray("1EN06") + char('0' + seconds / 10) + char('0' + seconds % 10) + FrameEnd;
}

QByteArray probeFrame(int address) {
    return QByteArray(1, digit(address, 0, BoardAddress::Highest, "board address out of range")) +
           '?' + FrameEnd;
}

} // namespace FrameBuilder
