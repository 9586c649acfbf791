#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QString>

// Every frame written and every reply read, with the milliseconds since its job started. Off by
// default; QT_LOGGING_RULES="display.wire.debug=true" turns it on.
Q_DECLARE_LOGGING_CATEGORY(lcWire)

// The bytes as one line of a log (ByteStyle::Escapes: \r, \n, \\, \xNN).
QString wireText(const QByteArray &bytes);

// "read 0 OK", "read nothing", or "read 0000... and 52113 more bytes, dropped": a read as the
// log shows it.
struct ReceivedBytes;
QString wireReadText(const ReceivedBytes &received);

// "1503 ms": the time since the job started, as the wire log begins its lines.
QString wireTime(const QElapsedTimer &jobClock);
