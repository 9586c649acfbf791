#include "csvsource.h"

#include "bytetext.h"
#include "filereading.h"
#include "regularfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimeZone>

#include <optional>

using namespace FileReading;

namespace {

// A cell or a header as its bytes say: UTF-8 when they are valid UTF-8, else Latin-1.
QString decoded(QByteArrayView bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

// Just past the line end that ends the record beginning at from, outside double quotes; -1 when
// the bytes end first.
qsizetype recordEnd(QByteArrayView data, qsizetype from, bool inQuotes) {
    for (qsizetype i = from; i < data.size(); ++i) {
        if (data[i] == '"')
            inQuotes = !inQuotes;
        else if (data[i] == '\n' && !inQuotes)
            return i + 1;
    }
    return -1;
}

// The fields of one record without its line end; double quotes keep delimiters and line ends,
// and "" inside them is one quote. inQuotes: the record begins inside a quoted field.
QList<QByteArray> fieldsOf(QByteArrayView record, char delimiter, bool inQuotes = false) {
    if (record.endsWith('\n'))
        record.chop(1);
    if (record.endsWith('\r'))
        record.chop(1);
    QList<QByteArray> cells{QByteArray()};
    for (qsizetype i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (c == '"') {
            if (inQuotes && i + 1 < record.size() && record[i + 1] == '"') {
                cells.last() += c;
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (c == delimiter && !inQuotes) {
            cells.append(QByteArray());
        } else {
            cells.last() += c;
        }
    }
    return cells;
}

qsizetype columnOf(const QStringList &header, const QString &name, QString *problem) {
    qsizetype found = -1;
    for (qsizetype i = 0; i < header.size(); ++i) {
        if (header.at(i).trimmed().compare(name.trimmed(), Qt::CaseInsensitive) != 0)
            continue;
        // Taking either could show another figure than the one meant.
        if (found >= 0) {
            *problem = QStringLiteral("column %1 appears twice").arg(quoted(name));
            return -1;
        }
        found = i;
    }
    if (found < 0)
        *problem = QStringLiteral("no column %1").arg(quoted(name));
    return found;
}

// The local times the clock jumped over, named as the file gives them.
struct Skipped {
    int count = 0;
    QString first;

    void add(const QString &text) {
        if (count++ == 0)
            first = text.trimmed();
    }
    QString said() const {
        return count == 1 ? QStringLiteral("the row at %1 names a local time the clock jumped "
                                           "over")
                                .arg(quoted(first))
                          : QStringLiteral("%1 rows name local times the clock jumped over, the "
                                           "first %2")
                                .arg(QString::number(count), quoted(first));
    }
};

// The instant a local date and time name. The clock shows a time twice when it is put back:
// the earlier instant is taken, so a reading never looks newer than it is. A time it jumped
// over names none. Each offset in use within a day of it is tried, whatever the platform's
// own choice would be.
CsvSource::Time localTime(const QDate &date, const QTime &time) {
    const qint64 asUtc = QDateTime(date, time, QTimeZone::utc()).toMSecsSinceEpoch();
    constexpr qint64 DayMs = 86400 * 1000;
    std::optional<qint64> earliest;
    for (const qint64 near : {asUtc - DayMs, asUtc, asUtc + DayMs}) {
        const qint64 offsetMs =
            qint64(QDateTime::fromMSecsSinceEpoch(near, Qt::LocalTime).offsetFromUtc()) * 1000;
        const QDateTime candidate = QDateTime::fromMSecsSinceEpoch(asUtc - offsetMs, Qt::LocalTime);
        if (candidate.date() == date && candidate.time() == time &&
            (!earliest || asUtc - offsetMs < *earliest))
            earliest = asUtc - offsetMs;
    }
    if (!earliest)
        return {QDateTime(), true};
    return {QDateTime::fromMSecsSinceEpoch(*earliest, QTimeZone::utc())};
}

} // namespace

namespace CsvSource {

Reading read(const QByteArray &head, const QByteArray &tail, qint64 tailStart,
             const SourceSection &section, const QDateTime &now) {
    QByteArrayView top = QByteArrayView(head).first(qMin<qsizetype>(head.size(), MaxHeaderBytes));
    qsizetype bom = 0;
    if (top.startsWith("\xef\xbb\xbf"))
        bom = 3;
    const qsizetype headerEnd = recordEnd(top, bom, false);
    if (headerEnd < 0)
        return failed(section, QStringLiteral("%1: no header line").arg(section.target));
    const QByteArrayView headerBytes = top.sliced(bom, headerEnd - bom);
    const char delimiter = delimiterOf(headerBytes);
    QStringList header;
    for (const QByteArray &cell : fieldsOf(headerBytes, delimiter))
        header << decoded(cell);

    QString problem;
    const QString columnName = section.options.value(QStringLiteral("column"));
    const qsizetype column = columnOf(header, columnName, &problem);
    if (column < 0)
        return failed(section, problem);
    qsizetype timeColumn = 0;
    QString timeName = header.value(0);
    if (section.options.contains(QStringLiteral("time-column"))) {
        timeName = section.options.value(QStringLiteral("time-column"));
        timeColumn = columnOf(header, timeName, &problem);
        if (timeColumn < 0)
            return failed(section, problem);
    }

    // The rows: after the header when the tail reaches back to it, else from the first whole
    // line of the tail, in the quotes' phase that leaves them balanced at the end.
    QByteArrayView rows;
    bool knownStart = tailStart <= headerEnd;
    if (knownStart) {
        rows = QByteArrayView(tail).sliced(qMin<qsizetype>(tail.size(), headerEnd - tailStart));
    } else {
        const qsizetype firstEnd = tail.indexOf('\n');
        rows = firstEnd < 0 ? QByteArrayView() : QByteArrayView(tail).sliced(firstEnd + 1);
    }
    // A last line without its line end is still being written: its figure may be cut short.
    rows = rows.first(rows.lastIndexOf('\n') + 1);
    bool inQuotes = !knownStart && rows.count('"') % 2 != 0;
    qsizetype at = 0;
    if (inQuotes) { // the tail begins inside a quoted field: its end is no record's start
        at = recordEnd(rows, 0, true);
        at = at < 0 ? rows.size() : at;
        inQuotes = false;
    }

    // The decimal mark: as the section says, else the file's own. Where ';' or a tab separates
    // the fields, a comma in one figure of the value column makes every dot a thousands
    // separator; a file whose figures have only dots keeps them as decimal marks.
    const QString mark = section.options.value(QStringLiteral("decimal"));
    bool commaSeen = false;
    Ahead ahead;
    Skipped skipped;
    QDateTime newest;
    QByteArray newestValue;
    while (at < rows.size()) {
        const qsizetype end = recordEnd(rows, at, false);
        if (end < 0) // a record still being written: a quoted field is open
            break;
        const QList<QByteArray> cells = fieldsOf(rows.sliced(at, end - at), delimiter);
        at = end;
        // A row with another count of fields than the header is cut or misread; its columns
        // are not the header's.
        if (cells.size() != header.size())
            continue;
        if (!commaSeen && mark.isEmpty() && delimiter != ',' && cells.at(column).contains(','))
            commaSeen = writesDecimalComma(decoded(cells.at(column)));
        const QString timeText = decoded(cells.at(timeColumn));
        const Time time = parseTime(timeText);
        if (time.skipped)
            skipped.add(timeText);
        if (!time.utc.isValid())
            continue;
        if (isAhead(time.utc, now)) {
            ahead.add(time.utc);
        } else if (!newest.isValid() || time.utc >= newest) {
            newest = time.utc;
            newestValue = cells.at(column);
        }
    }

    QStringList notes;
    const QString source = QStringLiteral("%1 %2").arg(section.kind, section.target);
    if (skipped.count > 0)
        notes << QStringLiteral("%1: %2; skipped").arg(source, skipped.said());
    if (!newest.isValid()) {
        Reading reading = failed(
            section, ahead.count > 0
                         ? ahead.problem(QStringLiteral("row"))
                         : QStringLiteral("no row with a time in column %1").arg(quoted(timeName)));
        reading.notes = notes;
        return reading;
    }
    if (ahead.count > 0)
        notes << ahead.note(source, QStringLiteral("row"));
    const QString valueText = decoded(newestValue);
    const bool decimalComma = mark == QLatin1String("comma") || (mark.isEmpty() && commaSeen);
    const std::optional<double> value = numberIn(valueText, decimalComma);
    const QString said = quoted(valueText.trimmed());
    Reading reading;
    if (value)
        reading = judged(section, *value, newest, {}, now);
    else if (decimalComma && numberIn(valueText, false))
        reading = failed(section, QStringLiteral("\"%1\" at %2 looks like a thousands-separated "
                                                 "number (%3)")
                                      .arg(said, timeText(newest),
                                           mark.isEmpty() ? QStringLiteral("the file's figures "
                                                                           "have a decimal comma")
                                                          : QStringLiteral("decimal = comma")));
    else
        reading = failed(
            section, QStringLiteral("\"%1\" at %2 is not a number").arg(said, timeText(newest)));
    reading.notes = notes;
    return reading;
}

Reading readFile(const SourceSection &section, const QDateTime &now) {
    try {
        const std::unique_ptr<QFile> file = RegularFile::open(section.target);
        const QByteArray head = file->read(MaxHeaderBytes);
        // From one byte before the tail, to see whether the tail begins with a whole line.
        const qint64 from = qMax<qint64>(0, file->size() - MaxTailBytes - 1);
        if (!file->seek(from))
            throw Failure(QStringLiteral("%1: %2").arg(section.target, file->errorString()));
        const QByteArray tail = file->read(MaxTailBytes + 1);
        return read(head, tail, from, section, now);
    } catch (const Failure &failure) {
        return failed(section, failure.text());
    }
}

char delimiterOf(QByteArrayView header) {
    int counts[3] = {};
    const char candidates[3] = {',', ';', '\t'};
    bool inQuotes = false;
    for (const char c : header) {
        if (c == '"')
            inQuotes = !inQuotes;
        for (int k = 0; k < 3 && !inQuotes; ++k)
            counts[k] += c == candidates[k];
    }
    int best = 0;
    for (int k = 1; k < 3; ++k) {
        if (counts[k] > counts[best])
            best = k;
    }
    return candidates[best];
}

Time parseTime(const QString &text) {
    static const QRegularExpression iso(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)"
        R"(\s*(Z|[+-]\d{2}(?::?\d{2})?)?$)"));
    static const QRegularExpression dayFirst(
        QStringLiteral(R"(^(\d{1,2})-(\d{1,2})-(\d{4}) (\d{1,2}):(\d{2})(?::(\d{2}))?$)"));
    const QString trimmed = text.trimmed();
    QDate date;
    QTime time;
    QString offset;
    if (const QRegularExpressionMatch m = iso.match(trimmed); m.hasMatch()) {
        const int ms =
            m.captured(7).isEmpty() ? 0 : m.captured(7).left(3).leftJustified(3, u'0').toInt();
        date = QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
        offset = m.captured(8);
    } else if (const QRegularExpressionMatch d = dayFirst.match(trimmed); d.hasMatch()) {
        date = QDate(d.captured(3).toInt(), d.captured(2).toInt(), d.captured(1).toInt());
        time = QTime(d.captured(4).toInt(), d.captured(5).toInt(), d.captured(6).toInt());
    }
    if (!date.isValid() || !time.isValid())
        return {};
    if (offset.isEmpty())
        return localTime(date, time);
    if (offset == QLatin1String("Z"))
        return {QDateTime(date, time, QTimeZone::utc())};
    const QString digits = QString(offset).remove(u':');
    const int hours = digits.mid(1, 2).toInt();
    const int minutes = digits.size() > 3 ? digits.mid(3, 2).toInt() : 0;
    if (hours > 14 || minutes > 59)
        return {};
    const int seconds = (hours * 3600 + minutes * 60) * (offset.startsWith(u'-') ? -1 : 1);
    return {QDateTime(date, time, QTimeZone(seconds)).toUTC()};
}

} // namespace CsvSource
