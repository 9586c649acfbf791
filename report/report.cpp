#include "report.h"

#include "pageset.h"
#include "reportgatherer.h"
#include "reportwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <algorithm>
#include <limits>

Boards boardsFrom(QStringView list) {
    Boards boards;
    for (const int address : boardsFromText(list.toString())) {
        if (address >= 1) // address 0 answers probes only: it is never a board expected
            boards.set(address);
    }
    return boards;
}

Boards expectedBoards(const JournalRecord &record) {
    // Records from before the journal kept them expected all eight. Records in a row mostly
    // name the same boards, so the last list read is kept.
    thread_local QString lastList;
    thread_local Boards lastBoards = boardsFrom(QStringView());
    const QString list = record.boards.value_or(QString());
    if (list != lastList) {
        lastBoards = boardsFrom(list);
        lastList = list;
    }
    return lastBoards;
}

QStringList unavailableOf(const JournalRecord &record) {
    return record.unavailable.value_or(QStringList());
}

QString htmlText(QStringView text) {
    QString shown;
    shown.reserve(text.size() + 16);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'&':
            shown += QLatin1String("&amp;");
            break;
        case u'<':
            shown += QLatin1String("&lt;");
            break;
        case u'>':
            shown += QLatin1String("&gt;");
            break;
        case u'"':
            shown += QLatin1String("&quot;");
            break;
        case u'\'':
            shown += QLatin1String("&#39;");
            break;
        default:
            if (u < 0x20 || (u >= 0x7f && u < 0xa0) || c.category() == QChar::Other_Format ||
                c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
                shown += QChar(0xfffd);
            else
                shown += c;
        }
    }
    return shown;
}

QStringList storedRows(QByteArrayView stored) {
    const QJsonDocument document = QJsonDocument::fromJson(stored.toByteArray());
    QStringList rows;
    for (const QJsonValue &row : document.array()) {
        if (!row.isString())
            return {};
        rows << row.toString();
    }
    return rows;
}

ReportPage writeReport(const QString &journalPath, const ReportOptions &options) {
    ReportPage report;
    // Read newest first up to a bound, and again with a larger one while the period goes on
    // beyond it: a month of a journal of years costs a month.
    std::optional<ReportGatherer> gatherer;
    for (int limit = 8192;; limit *= 8) {
        gatherer.emplace(options);
        report.reading = readJournal(
            journalPath, limit, false,
            [&](const JournalRecord &record, QByteArrayView) { gatherer->add(record); });
        if (!report.reading.problem.isEmpty() || report.reading.read < limit ||
            gatherer->reachedOlder() || limit > std::numeric_limits<int>::max() / 8)
            break;
    }
    if (!report.reading.exists || (report.reading.read == 0 && !report.reading.problem.isEmpty()))
        return report;
    QMap<QString, ReportGatherer::Device> &devices = gatherer->devices();

    // The rows of each device's last complete upload: read again as far as the oldest of them.
    qint64 deepest = -1;
    for (const ReportGatherer::Device &device : devices)
        deepest = std::max(deepest, device.lastCompleteAt);
    if (deepest >= 0) {
        QMap<qint64, ReportGatherer::Device *> byId;
        for (ReportGatherer::Device &device : devices) {
            if (device.lastComplete)
                byId.insert(device.lastComplete->id, &device);
        }
        readJournal(journalPath, int(deepest + 1), true,
                    [&](const JournalRecord &record, QByteArrayView rows) {
                        if (ReportGatherer::Device *device = byId.value(record.id))
                            device->lastRows = storedRows(rows);
                    });
    }

    report.html = ReportWriter::page(journalPath, options, report.reading.problem, devices);
    return report;
}
