#pragma once

#include "pageset.h"
#include "porttarget.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

constexpr int RowPairFrameCount = PageSet::PageCount * PageSet::PairsPerPage;
constexpr int UploadFrameCount = 2 + RowPairFrameCount + 1 + 1;

// The upload's progress: up by one step per row pair, then set to done before the last "*Q".
constexpr int ProgressStep = 2;
constexpr int ProgressDone = 100;
static_assert(ProgressStep * RowPairFrameCount <= ProgressDone,
              "the row pairs' progress steps must fit below done");

// SEND: "*Q" twice, the row pairs page by page, the page delay, "*Q".
struct UploadRequest {
    PortTarget port;
    // Read as each frame is built, so an edit made during the upload travels if its pair has not
    // gone yet.
    std::function<QString(int index)> rowText;
    // Read just before the delay frame.
    std::function<int()> delaySeconds;

    // Frame n of the upload (0 to UploadFrameCount - 1), built from the rows and the delay as
    // they are now. The one order of the frames, for the line and for a dry run alike.
    QByteArray frame(int n) const;
    // The progress once frame n has been exchanged, when that frame moves it.
    static std::optional<int> progressAfter(int n);
};
