#include "wirelog.h"

#include "boardlink.h"
#include "bytetext.h"

Q_LOGGING_CATEGORY(lcWire, "display.wire", QtWarningMsg)

QString wireText(const QByteArray &bytes) {
    return bytesAsText(bytes, ByteStyle::Escapes);
}

QString wireTime(const QElapsedTimer &jobClock) {
    return QStringLiteral("%1 ms").arg(jobClock.isValid() ? jobClock.elapsed() : 0, 6);
}

QString wireReadText(const ReceivedBytes &received) {
    if (received.bytes.isEmpty())
        return QStringLiteral("read nothing");
    if (received.dropped == 0)
        return QLatin1String("read ") + wireText(received.bytes);
    return QStringLiteral("read %1 and %2 more bytes, dropped")
        .arg(wireText(received.bytes), QString::number(received.dropped));
}
