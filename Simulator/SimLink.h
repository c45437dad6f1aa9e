// SimLink: the simulated unit's end of the link. Listens on TCP through the IP session manager,
// or opens a serial device (or a pseudo-terminal it creates) through the RS232 manager, and
// applies the byte-level faults and the line pacing of the serial side.
#pragma once

#include <cstdint>

#include "Simulator/SimOptions.h"

constexpr std::uint8_t SIMC_SERIAL_PORT = 0; // the simulator's serial link is its port index 0

// Opens the link chosen by the options and starts the unit on it. Prints "pty: <path>" for a
// created pseudo-terminal. Returns 0, or 1 with a message on stderr.
std::uint16_t SimLinkOpen(const SimOptions& options);
void SimLinkClose();        // closes what SimLinkOpen opened
void SimLinkCloseSession(); // the unit's close-after fault: drops the current connection
