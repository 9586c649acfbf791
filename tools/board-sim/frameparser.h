#pragma once

// The frames as the boards understand them: what a frame asks of which board, or what is wrong
// with it.

#include "pageset.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

// One frame as the boards understand it (without its carriage return).
struct ParsedFrame {
    enum class Kind { Bracket, RowPair, PageDelay, Probe, Invalid };

    Kind kind = Kind::Invalid;
    int address = -1;      // the leading digit, when there is one
    int page = -1;         // row pair: 0 to PageSet::PageCount - 1
    QByteArray firstRow;   // row pair: text before the first "~"
    QByteArray secondRow;  // row pair: text after it
    int delaySeconds = -1; // page delay: the two digits
    QString problem;       // Invalid: what is wrong, in plain words

    friend bool operator==(const ParsedFrame &, const ParsedFrame &) = default;
};
QDebug operator<<(QDebug debug, const ParsedFrame &frame);

// A frame or a row as the simulator's messages quote it: in double quotes, shown as quoted().
QString quotedFrame(const QByteArray &bytes);

// frame: the bytes before the carriage return.
ParsedFrame parseFrame(const QByteArray &frame);
