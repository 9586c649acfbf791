#pragma once

#include "journal.h"
#include "pageset.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <bitset>

// What a report covers: the days up to now, and how often the uploads are expected.
struct ReportOptions {
    static constexpr int DefaultDays = 30;
    static constexpr qint64 DefaultExpectEverySeconds = 15 * 60;
    QDateTime now = QDateTime::currentDateTimeUtc();
    int days = DefaultDays;
    qint64 expectEverySeconds = DefaultExpectEverySeconds;
    QString sealLine; // what the journal's seals verify, shown first; empty: nothing
};

struct ReportPage {
    JournalReading reading;
    QByteArray html; // empty when nothing could be read
    // The shared journal could not be reached or read: html is a page that says so.
    bool blind = false;
};

// The journal at journalPath, read without changing it, as one self-contained HTML5 page (inline
// CSS and SVG, no scripts) per device: the last complete upload and its age, a strip of each
// expected board's answers over the period, uploads per day, the failures, and the six pages as
// last sent.
ReportPage writeReport(const QString &journalPath, const ReportOptions &options);

class SharedJournal;

// The shared journal's records of the period, of one site (every site when site is empty), as
// one page: a table of every site, then each site's devices as writeReport shows them. The
// database selects the records; nothing is changed.
ReportPage writeSharedReport(SharedJournal &shared, const QString &site,
                             const ReportOptions &options);
// The shared report's page when the shared journal cannot be reached: it says so, and why.
ReportPage blindSharedReport(const QString &site, const ReportOptions &options,
                             const QString &problem);

// The rows the journal stores for a job, a JSON array of strings; empty when they are not that.
QStringList storedRows(QByteArrayView stored);

// A set of board addresses: bit n for board n.
using Boards = std::bitset<BoardAddress::Count>;
// The boards a list like "1-3,5" names, as boardsFromText reads it (a blank list: all eight),
// but for address 0, which answers probes only.
Boards boardsFrom(QStringView list);
// The boards a job expected to answer.
Boards expectedBoards(const JournalRecord &record);
// The names of the values a job could not fill in.
QStringList unavailableOf(const JournalRecord &record);

// Text as HTML shows it literally: markup characters as entities, control and invisible format
// characters (a right-to-left override) as U+FFFD.
QString htmlText(QStringView text);
