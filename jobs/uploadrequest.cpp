#include "uploadrequest.h"

#include "framebuilder.h"

namespace {

// Brackets, the row pairs page by page (each a step of the progress), the delay (then done),
// and the closing bracket.
constexpr int FirstPair = 2;
constexpr int DelayFrame = FirstPair + RowPairFrameCount;
static_assert(DelayFrame + 2 == UploadFrameCount);

} // namespace

QByteArray UploadRequest::frame(int n) const {
    if (n < FirstPair || n > DelayFrame)
        return FrameBuilder::bracketFrame();
    if (n == DelayFrame)
        return FrameBuilder::pageDelayFrame(delaySeconds());
    const int page = (n - FirstPair) / PageSet::PairsPerPage;
    const int pair = (n - FirstPair) % PageSet::PairsPerPage;
    return FrameBuilder::rowPairFrame(page, pair, rowText(PageSet::indexOf(page, 2 * pair)),
                                      rowText(PageSet::indexOf(page, 2 * pair + 1)));
}

std::optional<int> UploadRequest::progressAfter(int n) {
    if (n == DelayFrame)
        return ProgressDone;
    if (n >= FirstPair && n < DelayFrame)
        return ProgressStep * (n - FirstPair + 1);
    return std::nullopt;
}
