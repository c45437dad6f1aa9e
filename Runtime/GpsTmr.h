// GpsTmr: software timers in a fixed table, checked every GPSTMRC_TICK_MS by a scheduler task and
// fired from the main thread. Periods and delays count units of GPSTMRC_TICK_MS.
#pragma once

#include <cstdint>

constexpr std::uint16_t GPSTMRC_MAX_ENTRIES = 100; // timers in the table
constexpr std::uint32_t GPSTMRC_TICK_MS = 32;      // one period unit and the processing interval
constexpr std::uint16_t GPSTMRC_NO_TIMER = 0xFFFF; // "no timer" id and failure result

using GpsTmrCallback = void (*)();                   // callback without argument
using GpsTmrCallbackShort = void (*)(std::uint16_t); // callback with a 16-bit argument
using GpsTmrCallbackLong = void (*)(std::uint32_t);  // callback with a 32-bit argument

[[nodiscard]] std::uint16_t GpsTmrInit();      // registers the timer task (type 3) once
[[nodiscard]] std::uint16_t GpsTmrTerminate(); // removes the timer task
void GpsTmrProcess();                          // one processing run: fires the due timers

// Creation: each returns the new timer's id, or GPSTMRC_NO_TIMER when the table is full.
[[nodiscard]] std::uint16_t GpsTmrCreateOnce(GpsTmrCallback pfCallback, std::uint16_t wPeriod);
[[nodiscard]] std::uint16_t GpsTmrCreateCyclic(GpsTmrCallback pfCallback, std::uint16_t wPeriod,
                                               std::uint16_t wDelay = 0);
[[nodiscard]] std::uint16_t GpsTmrCreateOnceShort(GpsTmrCallbackShort pfCallback,
                                                  std::uint16_t wValue, std::uint16_t wPeriod);
[[nodiscard]] std::uint16_t GpsTmrCreateCyclicShort(GpsTmrCallbackShort pfCallback,
                                                    std::uint16_t wValue, std::uint16_t wPeriod,
                                                    std::uint16_t wDelay = 0);
[[nodiscard]] std::uint16_t GpsTmrCreateOnceLong(GpsTmrCallbackLong pfCallback,
                                                 std::uint32_t dwValue, std::uint16_t wPeriod);
[[nodiscard]] std::uint16_t GpsTmrCreateCyclicLong(GpsTmrCallbackLong pfCallback,
                                                   std::uint32_t dwValue, std::uint16_t wPeriod,
                                                   std::uint16_t wDelay = 0);

// Control: 0, or GPSTMRC_NO_TIMER when the id names no allocated timer.
[[nodiscard]] std::uint16_t GpsTmrDelete(std::uint16_t wId); // frees the entry
[[nodiscard]] std::uint16_t GpsTmrStop(std::uint16_t wId);   // stops counting and firing
// Runs again; the reference time is kept
[[nodiscard]] std::uint16_t GpsTmrResume(std::uint16_t wId);

// Milliseconds until the next running timer is due (0 when one is due now), or UINT32_MAX when
// none runs. The timer task declares it as its deadline, so that the idle step sleeps that long.
std::uint32_t GpsTmrTimeToNextExpiry();

// Frees every entry and forgets the used range (test set-up only).
std::uint16_t GpsTmrCount(); // timers allocated (running or stopped)
void GpsTmrResetForTest();
