// Platform clock: the operating system's monotonic millisecond tick and a short sleep.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of a monotonic clock, modulo 2^32 (the service clock's tick count).
std::uint32_t PltGetTickCount();

// Gives the processor away for about the given number of microseconds.
void PltSleepMicroseconds(std::uint32_t microseconds);

// Asks the system to end short waits (the sub-millisecond readiness polls, the idle wait) on time
// rather than late by its default timer slack. Called once at start-up.
void PltClockUseFineWaits();

// Calendar time in microseconds since 1970-01-01 UTC (time stamps of the link trace).
std::uint64_t PltWallClockMicroseconds();

// Calendar time in whole seconds (used for script pauses).
std::uint32_t PltCalendarSeconds();

// Local calendar time of tTime into *ptLocal (thread-safe). False when it cannot be converted.
bool PltLocalTime(std::time_t tTime, std::tm* ptLocal);
// UTC calendar time of tTime into *ptUtc (thread-safe). False when it cannot be converted.
bool PltUtcTime(std::time_t tTime, std::tm* ptUtc);

// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC (for time stamps; it may jump).
std::uint64_t PltWallClockMs();
