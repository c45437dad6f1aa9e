// Platform readiness wait: lets an idle program sleep until one of its descriptors (console,
// serial ports, sockets) has input, or until a time-out, instead of polling in a loop.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t PLTC_MAX_WAIT_HANDLES = 64;       // descriptors one wait watches at most
constexpr std::uint32_t PLTC_WAIT_FOREVER = 0xFFFFFFFF; // time-out: until a descriptor is ready

// A set of descriptors to watch, filled by the modules that own them.
struct PltWaitSet {
    int aHandles[PLTC_MAX_WAIT_HANDLES] = {};
    bool abWritable[PLTC_MAX_WAIT_HANDLES] = {}; // watched for writability instead of input
    std::size_t wCount = 0;
};

// Adds a descriptor watched for input (negative ones are ignored; a full set ignores the rest).
// Returns false when the set was full, so the caller knows it must not wait long.
[[nodiscard]] bool PltWaitAdd(PltWaitSet& rSet, int iHandle);
// Adds a socket watched for writability: a connect under way ends the wait when it completes
// (or fails).
[[nodiscard]] bool PltWaitAddWritable(PltWaitSet& rSet, int iHandle);

// Sleeps until a descriptor of the set is ready (input, hang-up, or writability where asked), a
// PltWaitWake call, or dwTimeoutMs passes (PLTC_WAIT_FOREVER: no time-out). An empty set just
// sleeps. Returns the number of ready descriptors, 0 on time-out or wake, -1 on failure (a signal
// counts as a time-out: the caller goes round its loop and looks again).
int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs);

// Ends the current (or the next) PltWaitReadable early. Safe from a signal handler and from any
// thread: a stop request is seen at once however long the program meant to sleep.
void PltWaitWake();
