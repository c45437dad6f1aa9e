// Platform readiness wait: lets an idle program sleep until one of its descriptors (console,
// serial ports, sockets) has input, or until a time-out, instead of polling in a loop.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t PLTC_MAX_WAIT_HANDLES = 64; // descriptors one wait watches at most

// A set of descriptors to watch for input, filled by the modules that own them.
struct PltWaitSet {
    int aHandles[PLTC_MAX_WAIT_HANDLES] = {};
    std::size_t wCount = 0;
};

// Adds a descriptor (negative ones are ignored; a full set ignores the rest). Returns false when
// the set was full, so the caller knows it must not wait long.
bool PltWaitAdd(PltWaitSet& rSet, int iHandle);

// Sleeps until a descriptor of the set has input (or has hung up), or dwTimeoutMs passes. An
// empty set just sleeps. Returns the number of ready descriptors, 0 on time-out, -1 on failure
// (a signal counts as a time-out: the caller goes round its loop and looks again).
int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs);
