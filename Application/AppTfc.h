// AppTfc: the TFC command, which hands one console line to the interpreter every N x 1024 ms
// from a cyclic software timer.
#pragma once

#include <cstdint>

constexpr std::size_t APPC_TIMED_LINE_SIZE = 2501; // characters of the timed line buffer

std::uint16_t TfcCommand(char* pszLine, std::uint8_t byChannel); // TFC [<sec> <line>]
void TfcStop(); // deletes the timer and empties the timed line
