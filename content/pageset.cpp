#include "pageset.h"

#include <stdexcept>

std::size_t PageSet::checked(int index) {
    if (index < 0 || index >= RowCount)
        throw std::out_of_range("row index out of range");
    return static_cast<std::size_t>(index);
}

QDebug operator<<(QDebug debug, const PageSet &pages) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "PageSet(";
    for (int i = 0; i < PageSet::RowCount; ++i) {
        if (!pages.row(i).isEmpty())
            debug << "\n  " << i << ": " << pages.row(i);
    }
    debug << ')';
    return debug;
}
