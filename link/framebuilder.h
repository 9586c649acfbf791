#pragma once

#include <QByteArray>
#include <QString>

class PageSet;

// The command frames the boards understand. Each is plain text ended by one carriage return,
// with no padding, escaping or checksum; one Latin-1 byte per character.
namespace FrameBuilder {

constexpr char FrameEnd = '\r';

// "*Q": brackets an upload; addresses no single board.
QByteArray bracketFrame();

// Address k + 1, "ED0", page digit, "TSC", row 2k, "~", row 2k + 1 of that page.
QByteArray rowPairFrame(int page, int k, const QString &evenRow, const QString &oddRow);
QByteArray rowPairFrame(int page, int k, const PageSet &pages);

// "1EN06" and the delay as exactly two digits (1 second with no delay selected, up to the
// longest delay the list offers).
QByteArray pageDelayFrame(int seconds);

// Address digit (0..BoardAddress::Highest) and "?".
QByteArray probeFrame(int address);

} // namespace FrameBuilder
