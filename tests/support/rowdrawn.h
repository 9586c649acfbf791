#pragma once

#include "rowfill.h"

#include <QString>

// A row as the picture draws it, "text|states": one letter a character, L lit, U unavailable,
// E error.
inline QString drawn(const RowSketch &row) {
    QString states;
    for (const CellState state : row.cells)
        states += state == CellState::Lit ? u'L' : state == CellState::Unavailable ? u'U' : u'E';
    return row.text + u'|' + states;
}
