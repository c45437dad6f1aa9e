// Platform console: the keyboard polled without blocking and the console output, one character at
// a time. A terminal is switched to raw input while the console is open and restored on every way
// out; a pipe or file gives its bytes as keys with every line end turned into one carriage return.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr std::uint8_t PLTC_KEY_ENTER = 13; // code of the Enter key, whatever the input's line ends
constexpr std::uint8_t PLTC_KEY_NONE = 0;   // PltConsoleReadKey when no key is waiting

// Switches a terminal on standard input to raw input (no echo, no line buffering, Enter gives a
// carriage return, output processing and Ctrl-C left on), arranges its restoration at process exit,
// catches SIGINT, SIGTERM, SIGHUP and SIGQUIT as a stop request and ignores SIGPIPE (a failed
// console write is a stop request instead, see PltConsoleFlush). Returns 0; a second call changes
// nothing.
[[nodiscard]] std::uint16_t PltConsoleOpen();
// Restores the terminal modes and the previous signal actions. Safe to call more than once.
void PltConsoleClose();

// Non-blocking: true when a key can be read. Reads at most one byte from the input.
bool PltConsoleKeyWaiting();
// The waiting key (without echo), or PLTC_KEY_NONE when there is none.
std::uint8_t PltConsoleReadKey();
// True once the input has ended (end of file or a broken terminal): no more keys will come.
bool PltConsoleAtEnd();
// Descriptor a readiness wait may watch for keys, or -1 when no more keys can come. No key is ever
// held back between calls, so a readable descriptor is the only sign of waiting input.
int PltConsoleInputFd();
// True while the console input is a terminal in raw mode.
bool PltConsoleIsRaw();

void PltConsoleWriteChar(char c); // writes one character to the console output
// Pushes buffered console output out now. Once the console output has failed (a closed pipe),
// a stop request is recorded as if SIGPIPE had arrived.
void PltConsoleFlush();
// Columns of the console output's window, or 0 when it is no terminal or its size is unknown.
std::uint16_t PltConsoleColumns();
// True once after the program was stopped (Ctrl-Z) and continued: the screen may have changed.
bool PltConsoleTakeResumed();

// Number of the signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT; SIGPIPE for failed console output) that
// asked the program to stop, or 0. The handler
// only records it; the program ends through its normal shut-down. A second such signal while the
// first is pending restores the terminal and ends the process at once.
int PltConsoleStopSignal();
// Forgets a recorded stop request that the program has handled without stopping (Ctrl-C that
// emptied a typed line); the next one counts as a first request again.
void PltConsoleClearStopSignal();
// Catches SIGINT, SIGTERM, SIGHUP and SIGQUIT as a stop request without touching the terminal, for
// a program that reads no keys (it may run in the background of a shell).
void PltConsoleCatchStopSignals();

// Test hooks: read keys from iFd instead of standard input (-1: standard input again), write the
// console output to pStream (nullptr: standard output), and forget a recorded stop request, the
// end of input and any pending line end. Call with the console closed.
void PltConsoleUseInputForTest(int iFd);
void PltConsoleUseOutputForTest(std::FILE* pStream);
void PltConsoleResetForTest(); // also puts the real system calls back
