#include "journalcolumn.h"
#include "journalsql.h"

#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "bytetext.h"
#include "pageset.h"

using namespace journal_detail;

// ---- renderings --------------------------------------------------------------------------------

QString historyLine(const JournalRecord &record) {
    QStringList fields;
    fields << record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (record.finished) {
        const qint64 ms = record.started.msecsTo(*record.finished);
        fields << QStringLiteral("%1 s").arg(double(ms) / 1000.0, 6, 'f', 1);
    } else {
        fields << QStringLiteral("     - ");
    }
    fields << terminalText(record.program).leftJustified(7)
           << terminalText(record.job).leftJustified(6);
    const QString device = terminalText(record.device);
    fields << (record.port > 0
                   ? QStringLiteral("COM %1 %2").arg(QString::number(record.port), device)
                   : device);
    fields << terminalText(record.outcome.value_or(QStringLiteral("unfinished")));
    fields << QStringLiteral("%1 frames").arg(record.frames);
    fields << QStringLiteral("lights %1").arg(terminalText(record.lights));
    if (record.error) {
        QString error = oneLine(*record.error);
        constexpr int Short = 60;
        if (error.size() > Short)
            error = error.left(Short - 3) + QStringLiteral("...");
        fields << terminalText(error);
    }
    return fields.join(QStringLiteral("  "));
}

namespace {

void appendUnicodeEscape(QByteArray &out, unsigned code) {
    out += "\\u00";
    out += "0123456789abcdef"[code >> 4];
    out += "0123456789abcdef"[code & 0xf];
}

// text as a JSON string. JSON allows DEL and the C1 controls raw, and a terminal acts on them:
// they are escaped as the C0 ones must be. Written directly rather than through QJsonDocument:
// --history --json of a whole journal writes hundreds of thousands of records.
void appendJsonString(QByteArray &out, QStringView text) {
    out += '"';
    qsizetype plain = 0; // where the run of characters taken as they are began
    const char16_t *const chars = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = chars[i];
        const bool control = u < 0x20 || (u >= 0x7f && u < 0xa0);
        if (!control && u != u'"' && u != u'\\')
            continue;
        out += text.sliced(plain, i - plain).toUtf8();
        plain = i + 1;
        // JSON's short escapes for the characters that have one, \u00XX for the other controls.
        static constexpr char16_t Short[] = u"\"\\\b\f\n\r\t";
        static constexpr char Letter[] = "\"\\bfnrt";
        if (const char16_t *found = std::char_traits<char16_t>::find(Short, 7, u))
            out += QByteArray("\\") + Letter[found - Short];
        else
            appendUnicodeEscape(out, u);
    }
    out += text.sliced(plain).toUtf8();
    out += '"';
}

// The rows as the journal stores them (the JSON array of strings that rowsJson wrote), copied as
// they are but for DEL and the C1 controls, which are escaped: decoding 96 strings and encoding
// them again was most of the time of --history --json. False, with nothing appended, when the
// stored text is not such an array; the caller then decodes it.
bool appendStoredRows(QByteArray &out, QByteArrayView stored) {
    const auto *const begin = reinterpret_cast<const unsigned char *>(stored.data());
    const auto *const end = begin + stored.size();
    const auto isHex = [](unsigned char c) { return std::isxdigit(c) != 0; };
    const qsizetype before = out.size();
    const auto *run = begin; // the bytes from here on are copied as they are
    const auto flush = [&](const unsigned char *to) {
        out.append(reinterpret_cast<const char *>(run), to - run);
    };
    const auto fail = [&] {
        out.truncate(before);
        return false;
    };
    const unsigned char *p = begin;
    if (p == end || *p++ != '[')
        return fail();
    bool first = true;
    while (p != end && *p != ']') {
        if (!first && *p++ != ',')
            return fail();
        first = false;
        if (p == end || *p++ != '"')
            return fail();
        while (p != end && *p != '"') {
            if (*p == '\\') {
                if (end - p < 2 || !std::strchr("\"\\/bfnrtu", p[1]))
                    return fail();
                if (p[1] == 'u' &&
                    (end - p < 6 || !isHex(p[2]) || !isHex(p[3]) || !isHex(p[4]) || !isHex(p[5])))
                    return fail();
                p += p[1] == 'u' ? 6 : 2;
            } else if (*p < 0x20) {
                return fail();
            } else if (*p == 0x7f || (*p == 0xc2 && end - p >= 2 && p[1] < 0xa0)) {
                flush(p);
                appendUnicodeEscape(out, *p == 0x7f ? 0x7f : p[1]);
                p += *p == 0x7f ? 1 : 2;
                run = p;
            } else {
                ++p;
            }
        }
        if (p == end)
            return fail();
        ++p; // the closing quote
    }
    if (p == end || ++p != end)
        return fail();
    flush(p);
    return true;
}

} // namespace

namespace {

void appendJsonValue(QByteArray &out, const QDateTime &time) {
    appendJsonString(out, isoTime(time));
}
void appendJsonValue(QByteArray &out, const QString &text) {
    appendJsonString(out, text);
}
void appendJsonValue(QByteArray &out, int number) {
    out += QByteArray::number(number);
}
void appendJsonValue(QByteArray &out, const QStringList &texts) {
    out += '[';
    for (qsizetype index = 0; index < texts.size(); ++index) {
        if (index > 0)
            out += ',';
        appendJsonString(out, texts.at(index));
    }
    out += ']';
}
template <typename T> void appendJsonValue(QByteArray &out, const std::optional<T> &value) {
    if (value)
        appendJsonValue(out, *value);
    else
        out += "null";
}

} // namespace

QByteArray historyJson(const JournalRecord &record, QByteArrayView storedRows) {
    QByteArray line;
    line.reserve(record.rows ? 4096 : 512);
    for (const JournalColumn &column : journalColumns()) {
        line += line.isEmpty() ? "{\"" : ",\"";
        line += column.name;
        line += "\":";
        column.visit(record, [&line](const auto &value) { appendJsonValue(line, value); });
    }
    line += ",\"rows\":";
    if (record.rows || storedRows.isEmpty())
        appendJsonValue(line, record.rows);
    else if (!appendStoredRows(line, storedRows))
        appendJsonValue(line, rowsFromJson(storedRows));
    line += '}';
    return line;
}

// The fields as --history --json writes them; the rows only counted.
QDebug operator<<(QDebug debug, const JournalRecord &record) {
    QDebugStateSaver saver(debug);
    JournalRecord fields = record;
    fields.rows.reset();
    debug.nospace().noquote() << "JournalRecord(" << record.id << ", "
                              << QString::fromUtf8(historyJson(fields));
    if (record.rows)
        debug << ", " << record.rows->size() << " rows";
    debug << ')';
    return debug;
}

// ---- CSV ---------------------------------------------------------------------------------------

namespace {

// A cell as RFC 4180 writes it, quoted when it holds a quote, a comma or a line end.
void appendCsvCell(QByteArray &line, const QString &value) {
    static const QRegularExpression plainNumber(QStringLiteral(R"(^[+-]?(\d+\.?\d*|\.\d+)$)"));
    QString cell = value;
    for (QChar &c : cell) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\n') || (u >= 0x7f && u < 0xa0))
            c = QChar(0xfffd);
    }
    // A spreadsheet runs a cell that begins so as a formula (=HYPERLINK(...), -2+3, @SUM(...)).
    if (!cell.isEmpty() && QStringView(u"=+-@").contains(cell.front()) &&
        !plainNumber.match(cell).hasMatch())
        cell.prepend(QLatin1Char('\''));
    if (cell.contains(QLatin1Char('"')) || cell.contains(QLatin1Char(',')) ||
        cell.contains(QLatin1Char('\n'))) {
        line += '"';
        line += cell.replace(QLatin1Char('"'), QLatin1String("\"\"")).toUtf8();
        line += '"';
    } else {
        line += cell.toUtf8();
    }
}

QString csvText(const QDateTime &time) {
    return isoTime(time);
}
QString csvText(const QString &text) {
    return text;
}
QString csvText(int number) {
    return QString::number(number);
}
QString csvText(const QStringList &texts) {
    return texts.join(QLatin1Char(','));
}
template <typename T> QString csvText(const std::optional<T> &value) {
    return value ? csvText(*value) : QString();
}

} // namespace

QByteArray historyCsvHeader() {
    QByteArray line = "\xef\xbb\xbf"; // UTF-8's byte order mark: a spreadsheet then reads UTF-8
    for (const JournalColumn &column : journalColumns())
        line += column.name + QByteArrayLiteral(",");
    for (int page = 1; page <= PageSet::PageCount; ++page)
        line += "page" + QByteArray::number(page) + (page < PageSet::PageCount ? "," : "\r\n");
    return line;
}

QByteArray jsonString(const QString &text) {
    QByteArray string;
    appendJsonString(string, text);
    return string;
}

QByteArray csvCell(const QString &value) {
    QByteArray cell;
    appendCsvCell(cell, value);
    return cell;
}

QByteArray historyCsv(const JournalRecord &record, QByteArrayView storedRows) {
    QByteArray line;
    line.reserve(4096);
    const std::optional<QStringList> rows = record.rows            ? record.rows
                                            : storedRows.isEmpty() ? std::nullopt
                                                                   : rowsFromJson(storedRows);
    QStringList cells;
    for (const JournalColumn &column : journalColumns())
        column.visit(record, [&cells](const auto &value) { cells << csvText(value); });
    for (int page = 0; page < PageSet::PageCount; ++page)
        cells << (rows && rows->size() == PageSet::RowCount
                      ? rows->mid(PageSet::indexOf(page, 0), PageSet::RowsPerPage)
                            .join(QLatin1Char('\n'))
                      : QString());
    for (const QString &cell : cells) {
        if (&cell != &cells.front())
            line += ',';
        appendCsvCell(line, cell);
    }
    return line + "\r\n";
}

// ---- the boards' list and the summary ---------------------------------------------------------

QString boardsText(const QList<int> &boards) {
    QStringList parts;
    for (qsizetype i = 0; i < boards.size();) {
        qsizetype last = i;
        while (last + 1 < boards.size() && boards.at(last + 1) == boards.at(last) + 1)
            ++last;
        parts << (last == i ? QString::number(boards.at(i))
                            : QStringLiteral("%1-%2").arg(QString::number(boards.at(i)),
                                                          QString::number(boards.at(last))));
        i = last + 1;
    }
    return parts.join(QLatin1Char(','));
}

QList<int> boardsFromText(const QString &text) {
    QList<int> boards;
    if (text.trimmed().isEmpty()) {
        for (int address = 1; address <= BoardAddress::Highest; ++address)
            boards << address;
        return boards;
    }
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString first = part.section(QLatin1Char('-'), 0, 0);
        const QString last = part.section(QLatin1Char('-'), 1, 1);
        bool firstOk = false;
        bool lastOk = true;
        const int from = first.toInt(&firstOk);
        const int to = last.isEmpty() ? from : last.toInt(&lastOk);
        if (!firstOk || !lastOk)
            continue;
        for (int address = std::max(from, 0); address <= std::min(to, BoardAddress::Highest);
             ++address) {
            if (!boards.contains(address))
                boards << address;
        }
    }
    std::sort(boards.begin(), boards.end());
    return boards;
}

QString lastUploadSummary(const std::optional<JournalRecord> &upload) {
    if (!upload)
        return {};
    const QString when = upload->started.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    QString result;
    if (!upload->finished || !upload->outcome) {
        result = QStringLiteral("it did not finish");
    } else if (*upload->outcome == QLatin1String("port-error")) {
        result = QStringLiteral("the port failed");
    } else if (*upload->outcome == QLatin1String("aborted")) {
        result = QStringLiteral("it was stopped before the end");
    } else {
        QStringList silent;
        for (int board = 1; board <= BoardAddress::Highest; ++board) {
            if (board >= upload->lights.size() || upload->lights.at(board) != QLatin1Char('g'))
                silent << QString::number(board);
        }
        if (silent.isEmpty())
            result = QStringLiteral("all boards answered");
        else if (silent.size() == BoardAddress::Highest)
            result = QStringLiteral("no board answered");
        else if (silent.size() == 1)
            result = QStringLiteral("board %1 did not answer").arg(silent.first());
        else
            result = QStringLiteral("boards %1 and %2 did not answer")
                         .arg(silent.mid(0, silent.size() - 1).join(QStringLiteral(", ")),
                              silent.last());
    }
    return QStringLiteral("Last sent %1; %2").arg(when, result);
}

QString lastUploadSummary(const QList<JournalRecord> &records) {
    for (const JournalRecord &record : records) {
        if (record.job == QLatin1String("upload"))
            return lastUploadSummary(std::optional<JournalRecord>(record));
    }
    return {};
}
