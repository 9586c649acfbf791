#pragma once

#include "pageset.h"

// The built-in pages installed at every start before display.cfg is read.
namespace DefaultPages {

QString text(int page, int row);

// Overwrites all 96 rows, empty ones included.
void install(PageSet &pages);

PageSet pages();

} // namespace DefaultPages
