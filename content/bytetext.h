#pragma once

#include <QByteArrayView>
#include <QString>

// How bytes from the line are shown. Latin-1 letters stay as they are; CR, LF and the other
// control bytes (C0, DEL, C1) are made visible, so that a burst of binary garbles no window,
// terminal or log line.
enum class ByteStyle {
    Symbols,  // for a person, in a window: CR as ␍, LF as ␊, others as ⟨1B⟩
    Brackets, // for a person, on a terminal without those glyphs: <CR>, <LF>, <1B>
    Escapes,  // for a log: \r, \n, \x1b, and a backslash as \\ so that a line reads back exactly
};

QString bytesAsText(QByteArrayView bytes, ByteStyle style);

// Text from a file, a journal or the network as a terminal may be shown it: a backslash as \\,
// control characters (C1 and DEL included) as \xNN, line separators and invisible format
// characters (a right-to-left override) as \uNNNN, so that a device name or an error text can
// neither move the cursor nor split or disguise a line.
QString terminalText(QStringView text);

// Text from a journal or a server on one line: each control character (a line end, a tab) a
// space, each run of spaces one, none at either end.
QString oneLine(QString text);

// Text from a file, the command line or the line as a message quotes it: at most 40 characters
// (then "…"), shown as terminalText() shows it. A damaged file's row may be megabytes long.
QString quoted(QStringView text);
