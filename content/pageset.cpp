#include "pageset.h"

#include <stdexcept>

std::size_t PageSet::checked(int index) {
    if (index < 0 || index >= RowCount)
        throw std::out_of_range("row index out of range");
    return static_cast<std::size_t>(index);
}

QString PageSet::rowLabel(int index, Start start) {
    return QStringLiteral("%1 %2, row %3")
        .arg(start == Start::Capital ? QStringLiteral("Page") : QStringLiteral("page"),
             QString::number(pageOf(index) + 1), QString::number(rowOnPage(index) + 1));
}

QString PageSet::characterProblem(QStringView text) {
    for (const char32_t u : text.toUcs4()) {
        if (isRowCharacter(u))
            continue;
        const QString codePoint =
            QStringLiteral("U+%1").arg(uint(u), 4, 16, QLatin1Char('0')).toUpper();
        if (u > 0xFF)
            return QStringLiteral("holds '%1' (%2), which is outside Latin-1")
                .arg(QString::fromUcs4(&u, 1), codePoint);
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            return QStringLiteral("holds a control character (%1)").arg(codePoint);
        return QStringLiteral("holds '%1', which a row cannot carry").arg(QChar(char16_t(u)));
    }
    return {};
}

QDebug operator<<(QDebug debug, const PageSet &pages) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "PageSet(";
    for (int i = 0; i < PageSet::RowCount; ++i) {
        if (!pages.row(i).isEmpty())
            debug << "\n  " << i << ": " << pages.row(i);
    }
    debug << ')';
    return debug;
}
