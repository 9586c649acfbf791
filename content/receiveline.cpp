#include "receiveline.h"

#include "bytetext.h"

QString renderReceiveLine(const QByteArray &reply, int maxBytes) {
    const qsizetype shown = qMin<qsizetype>(reply.size(), qMax(0, maxBytes));
    QString text = bytesAsText(QByteArrayView(reply).first(shown), ByteStyle::Symbols);
    if (reply.size() > shown)
        text += QChar(0x2026);
    return text;
}
