#include "wirelog.h"

#include "boardlink.h"

Q_LOGGING_CATEGORY(lcWire, "display.wire", QtWarningMsg)

QString wireText(const QByteArray &bytes) {
    QString text;
    text.reserve(bytes.size() + 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r')
            text += QLatin1String("\\r");
        else if (byte == '\n')
            text += QLatin1String("\\n");
        else if (byte == '\\')
            text += QLatin1String("\\\\");
        else if (byte < 0x20 || (byte >= 0x7f && byte < 0xa0))
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        else
            text += QChar(byte);
    }
    return text;
}

QString wireTime(const QElapsedTimer &jobClock) {
    return QStringLiteral("%1 ms").arg(jobClock.isValid() ? jobClock.elapsed() : 0, 6);
}

QString wireReadText(const Received &received) {
    if (received.bytes.isEmpty())
        return QStringLiteral("read nothing");
    if (received.dropped == 0)
        return QLatin1String("read ") + wireText(received.bytes);
    return QStringLiteral("read %1 and %2 more bytes, dropped")
        .arg(wireText(received.bytes), QString::number(received.dropped));
}
