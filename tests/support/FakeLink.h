// An in-memory byte link standing in for the serial port driver under the RS232 manager.
// Ports 0 and 1 are wired back to back (what one writes, the other reads); ports 2 and 3 talk
// to the test, which injects their input and takes their output.
#pragma once

#include <cstdint>
#include <vector>

#include "Communication/Rsm/Rsm.h"

namespace FakeLink {

void Reset();              // all ports closed, queues empty, no faults
const RsmDriverOps* Ops(); // the driver table to hand to RsmSetDriver
void Inject(std::uint8_t byPort, const std::vector<std::uint8_t>& bytes); // input of a port
std::vector<std::uint8_t> TakeOutput(std::uint8_t byPort); // what a port wrote since last taken
bool IsOpen(std::uint8_t byPort);
int PurgeCount(std::uint8_t byPort);
void SetReadChunk(std::uint16_t wChunk);           // most bytes one read delivers (default: all)
void SetOpenResult(std::uint16_t wResult);         // status of the next opens (default 0)
void SetCutLink(bool bCut);                        // true: bytes between ports 0 and 1 are lost
void SetHungUp(std::uint8_t byPort, bool bHungUp); // true: reads report the line hung up
int ReadCount(std::uint8_t byPort);                // reads of the port since the reset

} // namespace FakeLink
