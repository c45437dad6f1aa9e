// Service clock and sleep on Windows: the system tick count and Sleep.
#include "Platform/PltClock.h"

#include <ctime>

#include <windows.h>

#include <mmsystem.h>

std::uint32_t PltGetTickCount() {
    return static_cast<std::uint32_t>(GetTickCount());
}

void PltSleepMicroseconds(std::uint32_t microseconds) {
    // Sleep counts whole milliseconds; a shorter pause is rounded up so that it still gives the
    // processor away, and 0 only yields the rest of the time slice.
    Sleep(static_cast<DWORD>((microseconds + 999u) / 1000u));
}

void PltClockUseFineWaits() {
    // Windows ends sleeps and waits on its timer tick, by default every 15.6 ms: ask for 1 ms,
    // so that the idle wait and the short pauses last about what they ask for.
    static const bool bAsked = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)bAsked;
}

std::uint64_t PltWallClockMicroseconds() {
    // File time counts 100 ns units since 1601-01-01; 11644473600 s lie between 1601 and 1970.
    constexpr std::uint64_t kEpochOffsetUs = 11644473600ULL * 1000000ULL;
    FILETIME tTime{};
    GetSystemTimeAsFileTime(&tTime);
    const std::uint64_t qwTicks =
        (static_cast<std::uint64_t>(tTime.dwHighDateTime) << 32) | tTime.dwLowDateTime;
    const std::uint64_t qwUs = qwTicks / 10u;
    return qwUs > kEpochOffsetUs ? qwUs - kEpochOffsetUs : 0;
}

std::uint32_t PltCalendarSeconds() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

bool PltLocalTime(std::time_t tTime, std::tm* ptLocal) {
    return localtime_s(ptLocal, &tTime) == 0;
}

bool PltUtcTime(std::time_t tTime, std::tm* ptUtc) {
    return gmtime_s(ptUtc, &tTime) == 0;
}

std::uint64_t PltWallClockMs() {
    // 100 ns units since 1601-01-01; the Unix epoch lies 11644473600 s later.
    constexpr std::uint64_t kEpochOffsetMs = 11644473600000ULL;
    FILETIME tNow{};
    GetSystemTimeAsFileTime(&tNow);
    const std::uint64_t qwUnits =
        (static_cast<std::uint64_t>(tNow.dwHighDateTime) << 32) | tNow.dwLowDateTime;
    const std::uint64_t qwMs = qwUnits / 10000u;
    return qwMs > kEpochOffsetMs ? qwMs - kEpochOffsetMs : 0;
}
