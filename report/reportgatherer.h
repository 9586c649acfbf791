#pragma once

#include "report.h"

#include <QDate>
#include <QMap>
#include <QString>

#include <array>
#include <optional>
#include <vector>

// The records of the period, newest first, gathered device by device as they are read: nothing
// but the runs and counts is kept, so a journal of years is read in flat memory.
class ReportGatherer {
public:
    enum class Answer : char { Answered, Silent, NotAsked };

    // Equal answers of one board in a row of jobs with no gap between them, as one cell of its
    // strip.
    struct AnswerRun {
        Answer answer;
        qint64 from; // ms since the epoch
        qint64 to;
        int jobs;
    };

    // Failed jobs in a row that failed alike, as one line.
    struct FailureRun {
        qint64 from;
        qint64 to;
        int count;
        QString job;
        QString outcome;
        QString error;
        QStringList unavailable;
    };

    struct DayTally {
        int uploads = 0;
        int failed = 0;
    };

    struct Device {
        QString label;
        std::optional<JournalRecord> lastComplete;
        qint64 lastCompleteAt = -1; // its place in the reading, newest first
        QStringList lastRows;
        Boards expected;
        std::array<std::vector<AnswerRun>, BoardAddress::Count>
            strips; // newest first while reading
        std::array<int, BoardAddress::Count> answered{};
        std::array<int, BoardAddress::Count> silent{};
        qint64 newerStart = -1;
        QMap<QDate, DayTally> days;
        DayTally *today = nullptr; // the entry of the day last counted
        QDate todayDate;
        QList<FailureRun> failures;    // newest first
        bool newerFailed = false;      // the job read last failed
        QStringList newestUnavailable; // what the newest upload could not fill
        bool uploadSeen = false;
    };

    explicit ReportGatherer(const ReportOptions &options);

    bool reachedOlder() const { return m_reachedOlder; }
    QMap<QString, Device> &devices() { return m_devices; }
    void add(const JournalRecord &record);
    // The label a record's device is shown and gathered under.
    static QString labelOf(const JournalRecord &record);

private:
    // Records of one device come in long rows: the last one found is looked at first.
    Device &deviceOf(const JournalRecord &record);
    // The local day of a time: one conversion a day, not one a record (each asks the system's
    // time zone again).
    QDate localDate(qint64 ms);

    const qint64 m_now;
    const qint64 m_start;
    const qint64 m_reach;
    Device *m_last = nullptr;
    int m_lastPort = 0;
    QString m_lastDevice;
    QDate m_day;
    qint64 m_dayFrom = 0;
    qint64 m_dayTo = 0;
    qint64 m_seen = 0;
    bool m_reachedOlder = false;
    QMap<QString, Device> m_devices;
};
