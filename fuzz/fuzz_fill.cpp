// Feeds arbitrary bytes to the row filling. The input is a values JSON part, a NUL byte, then
// template rows one per line, one Latin-1 byte per character as display.cfg holds them. Besides
// crashes and sanitizer reports, it checks that every row the fill accepts is something a board
// can show, that the whole-page fill names the first row that fails, and that once the values
// it refused are settled each row fills alone as it did in the whole page.

#include "failure.h"
#include "filledrows.h"
#include "pageset.h"

#include <cstdlib>
#include <optional>

namespace {

bool isSendable(const QString &row) {
    if (row.size() > PageSet::MaxTypedLength)
        return false;
    for (const QChar c : row) {
        const char16_t u = c.unicode();
        const bool printable = (u >= 0x20 && u < 0x7F) || (u >= 0xA0 && u <= 0xFF);
        if (!printable || u == '"' || u == '~')
            return false;
    }
    return true;
}

bool hasBrace(const QString &row) {
    return row.contains(QLatin1Char('{')) || row.contains(QLatin1Char('}'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype split = input.indexOf('\0');
    const QByteArray json = split < 0 ? QByteArray() : input.left(split);
    const QByteArray rows = split < 0 ? input : input.mid(split + 1);

    FieldValues values;
    try {
        values.readJson(json, QStringLiteral("fuzz input"));
    } catch (const Failure &) {
    }
    const QDateTime now(QDate(2024, 2, 29), QTime(23, 59, 58), Qt::UTC);

    PageSet templates;
    const QList<QByteArray> lines = rows.split('\n');
    for (int i = 0; i < PageSet::RowCount && i < lines.size(); ++i)
        templates.setRow(i, QString::fromLatin1(lines.at(i)));

    // A template fails alone as it fails in the page: refusals never make one fail or pass.
    std::optional<int> firstBad;
    FieldValues alone = values;
    for (int i = 0; i < PageSet::RowCount && !firstBad; ++i) {
        const QString &templ = templates.row(i);
        try {
            const QString filled = fillRow(templ, alone, now).text;
            if (hasBrace(templ) ? !isSendable(filled) : filled != templ)
                std::abort();
        } catch (const Failure &) {
            firstBad = i;
        }
    }

    // Without values no row is a template; an empty set makes the whole-page fill work too.
    if (!values.given())
        values.readJson("{}", QStringLiteral("empty"));
    const FilledRows filled(templates.rows(), values, now);
    if (filled.firstUnfilled() || firstBad) {
        if (!filled.firstUnfilled() || filled.firstUnfilled()->index != firstBad)
            std::abort();
        return 0;
    }
    // With the page's refusals in place, each row fills alone as in the page.
    for (int i = 0; i < PageSet::RowCount; ++i) {
        FieldValues settled = filled.values();
        if (fillRow(templates.row(i), settled, now).text != filled.row(i) ||
            (!isSendable(filled.row(i)) && hasBrace(templates.row(i))))
            std::abort();
    }
    return 0;
}
