// AppTfc: the TFC command, which hands one console line to the interpreter every N x 1024 ms
// from a cyclic software timer.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t APPC_TIMED_LINE_SIZE = 2501;      // characters of the timed line buffer
constexpr std::uint32_t APPC_TFC_MAX_SECONDS = 2047;    // N x 32 timer units must fit 16 bits
constexpr std::uint16_t APPC_TFC_UNITS_PER_SECOND = 32; // 32 units of 32 ms: 1024 ms

[[nodiscard]] std::uint16_t TfcCommand(char* pszLine, std::uint8_t byChannel); // TFC [<sec> <line>]
void TfcStop(); // deletes the timer and empties the timed line

void TfcTimerExpired();     // timer callback: delivers the timed line to the interpreter
const char* TfcTimedLine(); // the timed line (empty when none)
std::uint16_t TfcTimerId(); // id of the cyclic timer, GPSTMRC_NO_TIMER when none
void TfcResetForTest();     // no timer (the timer table is reset by the test), empty line
