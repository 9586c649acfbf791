#include "receiveline.h"

QString renderReceiveLine(const QByteArray &reply, int maxBytes) {
    QString text;
    const qsizetype shown = qMin<qsizetype>(reply.size(), qMax(0, maxBytes));
    text.reserve(shown + 1);
    for (qsizetype i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(reply.at(i));
        if (byte == '\r')
            text += QChar(0x240D);
        else if (byte == '\n')
            text += QChar(0x240A);
        else if (byte < 0x20 || (byte >= 0x7f && byte < 0xa0))
            text += QChar(0x27E8) +
                    QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper() +
                    QChar(0x27E9);
        else
            text += QChar(byte);
    }
    if (reply.size() > shown)
        text += QChar(0x2026);
    return text;
}
