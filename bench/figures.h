#pragma once

// What the benches share: CPU time, medians, and the rows their journals hold.

#include <QString>
#include <QStringList>

#include <algorithm>

#include <sys/resource.h>

// User and system CPU seconds of this process (RUSAGE_SELF) or of its children that have been
// waited for (RUSAGE_CHILDREN).
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The middle value (the mean of the middle two for an even count); 0 for none.
template <typename List> double median(List values) {
    std::sort(values.begin(), values.end());
    const auto n = values.size();
    if (n == 0)
        return 0.0;
    return n % 2 ? double(values[n / 2]) : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// 96 rows of figures; variant makes another set, as uploads that change now and then.
inline QStringList rowSet(int variant) {
    QStringList rows;
    for (int index = 0; index < 96; ++index)
        rows << QStringLiteral("ROW %1 PAGE %2 SO2 %3 UG/M3")
                    .arg(QString::number(index % 16), QString::number(index / 16),
                         QString::number(variant * 7 + index % 5));
    return rows;
}
