#pragma once

#include <QByteArray>
#include <QString>

// What the receive line shows for the bytes of a reply: Latin-1 text with every control character
// made visible (CR as ␍, LF as ␊, others as their hex value in angle brackets, e.g. ⟨00⟩), so
// that a burst of binary never garbles the window. At most maxBytes bytes are rendered; a longer
// reply ends in "…".
QString renderReceiveLine(const QByteArray &reply, int maxBytes = 256);
