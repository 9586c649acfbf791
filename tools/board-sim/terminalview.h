#pragma once

#include <QString>

class BoardSimulator;

struct ViewStyle {
    bool colour = false;  // ANSI colours and highlights; plain text otherwise
    int width = 114;      // terminal columns: decides how many pages sit side by side
    int shownPage = -1;   // a page index: only that page (cycling, as the boards show it); -1: all
    int height = 0;       // terminal lines, 0 when unbounded: what does not fit is left out
    bool messages = true; // the latest frames below the pages
};

// What the boards hold, as text: port, page delay, counts, the console's lights, then each page
// as PageSet::RowsPerPage rows of PageSet::MaxTypedLength columns framed, with the board that
// holds each row pair at its left. Row pairs not received yet show as dots; a longer row ends in
// '>' at the frame.
QString renderView(const BoardSimulator &simulator, const ViewStyle &style);

// One page block without colour: its caption, frame and rows (for tests and cycling logs).
QString renderPage(const BoardSimulator &simulator, int page);
