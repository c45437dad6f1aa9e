// Monotonic clock and sleep on POSIX.
#include "Platform/PltClock.h"

#include <ctime>
#include <sys/prctl.h>

std::uint32_t PltGetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void PltSleepMicroseconds(std::uint32_t microseconds) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(microseconds / 1000000u);
    ts.tv_nsec = static_cast<long>(microseconds % 1000000u) * 1000L;
    nanosleep(&ts, nullptr);
}

void PltClockUseFineWaits() {
    // Linux lets a sleeping thread wake up to 50 us late by default; a 100 us poll then takes half
    // as long again. One microsecond keeps the polls close to what they ask for.
    constexpr unsigned long kTimerSlackNs = 1000;
    (void)prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}

std::uint64_t PltWallClockMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint32_t PltCalendarSeconds() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

bool PltLocalTime(std::time_t tTime, std::tm* ptLocal) {
    return localtime_r(&tTime, ptLocal) != nullptr;
}

bool PltUtcTime(std::time_t tTime, std::tm* ptUtc) {
    return gmtime_r(&tTime, ptUtc) != nullptr;
}

std::uint64_t PltWallClockMs() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}
