#include "reportgatherer.h"

#include <algorithm>

namespace {

using Answer = ReportGatherer::Answer;

Answer answerOf(QChar light) {
    return light == QLatin1Char('g')   ? Answer::Answered
           : light == QLatin1Char('r') ? Answer::Silent
                                       : Answer::NotAsked;
}

} // namespace

QString ReportGatherer::labelOf(const JournalRecord &record) {
    return record.port > 0
               ? QStringLiteral("COM %1 (%2)").arg(QString::number(record.port), record.device)
               : record.device;
}

ReportGatherer::ReportGatherer(const ReportOptions &options)
    : m_now(options.now.toMSecsSinceEpoch())
    , m_start(options.now.addDays(-options.days).toMSecsSinceEpoch())
    // A job stands for its board until the next one, or for half an interval more than
    // expected when none follows in time: a longer gap is left blank in the strips.
    , m_reach(options.expectEverySeconds * 1500) {}

void ReportGatherer::add(const JournalRecord &record) {
    const qint64 at = m_seen++;
    const qint64 start = record.started.toMSecsSinceEpoch();
    if (start < m_start) {
        m_reachedOlder = true;
        return;
    }
    if (m_reachedOlder)
        return;
    Device &device = deviceOf(record);
    const bool upload = record.job == QLatin1String("upload");
    const bool complete = record.outcome == QLatin1String("complete");

    qint64 end = std::min(start + m_reach, m_now);
    if (device.newerStart >= 0)
        end = std::min(end, device.newerStart);
    end = std::max(end, start);
    device.newerStart = start;
    device.expected |= expectedBoards(record);
    const QChar *const lights = record.lights.constData();
    const qsizetype lightCount = record.lights.size();
    for (int board = 1; board <= BoardAddress::Highest; ++board) {
        const Answer answer = answerOf(board < lightCount ? lights[board] : QChar());
        device.answered[board] += answer == Answer::Answered;
        device.silent[board] += answer == Answer::Silent;
        std::vector<AnswerRun> &strip = device.strips[board];
        AnswerRun *const last = strip.empty() ? nullptr : &strip.back();
        if (last && last->answer == answer && last->from == end) {
            last->from = start;
            ++last->jobs;
        } else {
            strip.push_back({answer, start, end, 1});
        }
    }

    if (upload) {
        const QDate date = localDate(start);
        if (!device.today || date != device.todayDate) {
            device.today = &device.days[date];
            device.todayDate = date;
        }
        ++device.today->uploads;
        device.today->failed += !complete;
    }
    const QStringList unavailable = unavailableOf(record);
    if (upload && !device.uploadSeen) {
        device.uploadSeen = true;
        device.newestUnavailable = unavailable;
    }
    const bool failed = !complete || !unavailable.isEmpty();
    if (failed) {
        const QString outcome = record.outcome.value_or(QStringLiteral("unfinished"));
        const QString error = record.error.value_or(QString());
        // Only failures with no other job between them are one line.
        FailureRun *last = device.newerFailed ? &device.failures.last() : nullptr;
        if (last && last->job == record.job && last->outcome == outcome && last->error == error &&
            last->unavailable == unavailable) {
            last->from = start;
            ++last->count;
        } else {
            device.failures.append({start, start, 1, record.job, outcome, error, unavailable});
        }
    }
    device.newerFailed = failed;
    if (upload && complete && !device.lastComplete) {
        device.lastComplete = record;
        device.lastCompleteAt = at;
    }
}

ReportGatherer::Device &ReportGatherer::deviceOf(const JournalRecord &record) {
    if (m_last && m_lastPort == record.port && m_lastDevice == record.device)
        return *m_last;
    const QString label = labelOf(record);
    auto found = m_devices.find(label);
    if (found == m_devices.end()) {
        found = m_devices.insert(label, Device{});
        found->label = label;
    }
    m_last = &*found;
    m_lastPort = record.port;
    m_lastDevice = record.device;
    return *m_last;
}

QDate ReportGatherer::localDate(qint64 ms) {
    if (ms < m_dayFrom || ms >= m_dayTo) {
        m_day = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().date();
        m_dayFrom = QDateTime(m_day, QTime(0, 0)).toMSecsSinceEpoch();
        m_dayTo = QDateTime(m_day.addDays(1), QTime(0, 0)).toMSecsSinceEpoch();
    }
    return m_day;
}
