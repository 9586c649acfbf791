#include "bytetext.h"

namespace {

struct Marks {
    const char16_t *cr, *lf, *backslash, *before, *after;
    const char *digits;
};

// In the order of ByteStyle.
constexpr Marks marksOf[] = {
    {u"\u240D", u"\u240A", u"\\", u"\u27E8", u"\u27E9", "0123456789ABCDEF"},
    {u"<CR>", u"<LF>", u"\\", u"<", u">", "0123456789ABCDEF"},
    {u"\\r", u"\\n", u"\\\\", u"\\x", u"", "0123456789abcdef"},
};

} // namespace

QString bytesAsText(QByteArrayView bytes, ByteStyle style) {
    const Marks &marks = marksOf[int(style)];
    QString text;
    text.reserve(bytes.size() + 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            text += QStringView(marks.cr);
        } else if (byte == '\n') {
            text += QStringView(marks.lf);
        } else if (byte == '\\') {
            text += QStringView(marks.backslash);
        } else if (byte < 0x20 || (byte >= 0x7f && byte < 0xa0)) {
            text += QStringView(marks.before);
            text += QLatin1Char(marks.digits[byte >> 4]);
            text += QLatin1Char(marks.digits[byte & 0xf]);
            text += QStringView(marks.after);
        } else {
            text += QChar(byte);
        }
    }
    return text;
}

QString oneLine(QString text) {
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

QString quoted(QStringView text) {
    constexpr qsizetype MaxQuotedChars = 40;
    if (text.size() <= MaxQuotedChars)
        return terminalText(text);
    return terminalText(text.left(MaxQuotedChars)) + QChar(0x2026);
}

QString terminalText(QStringView text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            shown += QLatin1String("\\\\");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Format || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph)
            shown += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
