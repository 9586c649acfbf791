#pragma once

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
