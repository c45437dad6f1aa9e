// Oss: the cooperative scheduler (task slots run pass after pass), the service clock and native
// thread helpers. Everything except the clock read runs on the main thread.
#pragma once

#include <cstdint>

#include "Platform/PltThread.h"

constexpr std::uint16_t OSSC_MAX_THREADS = 25;         // task slots
constexpr std::uint16_t OSSC_NO_THREAD = 0xFFFF;       // "no slot" result and initial current slot
constexpr std::uint32_t OSSC_JOIN_TIMEOUT_MS = 1000;   // OssJoinNativeThread waits at most this
constexpr std::uint32_t OSSC_IDLE_SLEEP_US = 1000;     // pause of OssRun once every four passes
constexpr std::uint32_t OSSC_NO_DEADLINE = 0xFFFFFFFF; // OssTimeToNextDeadline: nothing declared

// Task types of OssCreateThread: the pass mask that says how often the task runs.
constexpr std::uint16_t OSSC_EVERY_PASS = 0;
constexpr std::uint16_t OSSC_EVERY_SECOND_PASS = 1;
constexpr std::uint16_t OSSC_EVERY_FOURTH_PASS = 3;

using OssThread = void (*)();              // a scheduler task
using OssThreadHandle = PltThread*;        // a native thread
using OssNativeRoutine = PltThreadRoutine; // routine of a native thread

// Empties the slots and takes the clock base; second call: no change
[[nodiscard]] std::uint16_t OssInit();
[[nodiscard]] std::uint16_t OssTerminate(); // clears the initialised mark; slots stay as they are

// Adds a task of type OSSC_EVERY_PASS, OSSC_EVERY_SECOND_PASS or OSSC_EVERY_FOURTH_PASS.
// Returns the slot index, or OSSC_NO_THREAD for an empty entry, another type or a full table.
[[nodiscard]] std::uint16_t OssCreateThread(OssThread pfEntry, std::uint16_t wType);
// Empties a slot. Returns 1 for an index >= OSSC_MAX_THREADS or an empty slot, else 0.
[[nodiscard]] std::uint16_t OssDeleteThread(std::uint16_t wSlot);
std::uint16_t OssGetCurrentThread(); // slot of the task being (or last) run
std::uint16_t OssThreadCount();      // slots holding a task

void OssSchedule();                         // one pass over the slots
void OssRun();                              // passes until OssExit
std::uint16_t OssExit(std::uint16_t wCode); // sets the stop flag and stores the code; returns it
std::uint16_t OssGetExitCode();             // code given to OssExit, 0 before
std::uint8_t OssGetPassCounter();           // pass counter (for diagnostics and tests)

std::uint32_t OssGetTime(); // service clock in ms, wraps modulo 2^32
// Milliseconds from dwEarlier to dwLater on the wrapping clock; 0 when dwLater is in fact the
// earlier one (a time stamped after the caller read the clock). Right for spans under 24 days.
constexpr std::uint32_t OssTimeDiff(std::uint32_t dwLater, std::uint32_t dwEarlier) {
    const auto iDiff = static_cast<std::int32_t>(dwLater - dwEarlier);
    return iDiff > 0 ? static_cast<std::uint32_t>(iDiff) : 0;
}
// True once the clock has reached dwTime (wrap-safe).
bool OssTimeReached(std::uint32_t dwTime);
std::uint32_t OssTimeSince(std::uint32_t dwEarlier); // OssTimeDiff(OssGetTime(), dwEarlier)
void OssWait(std::uint32_t dwMs);                    // busy wait on the clock (nothing else runs)
void OssFreezeTime(std::uint8_t bFrozen);            // frozen: the clock shows only the offset
std::uint32_t OssAdvanceTime(std::uint16_t wMs);     // adds to the offset; returns the new offset
void OssDisableWait(std::uint8_t bDisabled);         // disabled: OssWait returns at once

// Starts a native thread at once; *phThread receives its handle. Returns 0, or 1 on failure.
[[nodiscard]] std::uint16_t OssStartNativeThread(OssThreadHandle* phThread,
                                                 OssNativeRoutine pfRoutine, void* pvParam,
                                                 std::uint32_t* pdwThreadId);
// Waits up to OSSC_JOIN_TIMEOUT_MS for the thread to end: 0 and the handle released, or 1.
[[nodiscard]] std::uint16_t OssJoinNativeThread(OssThreadHandle hThread);

// Deadlines of the idle step. Each time a task runs it declares when it must run again at the
// latest (a time-out, a period, a retry); a task with nothing due declares nothing, and one with
// work left declares "now". Every task runs once in four passes, so the deadlines declared since
// the last idle step are the whole picture: the idle step sleeps no longer than the earliest.
void OssDeclareDeadline(std::uint32_t dwTime); // a service-clock time
void OssDeclareDeadlineIn(std::uint32_t dwMs); // dwMs from now
void OssDeclareWorkPending();                  // due now: the idle step must not sleep
std::uint32_t OssTimeToNextDeadline(); // ms to the earliest (0 when due) or OSSC_NO_DEADLINE
void OssClearDeadlines();              // forgets them (OssRun, after each idle step)

// Sets what OssRun does once every four passes to give the processor away; nullptr restores the
// default short sleep.
using OssIdleHandler = void (*)();
void OssSetIdleHandler(OssIdleHandler pfIdle);
