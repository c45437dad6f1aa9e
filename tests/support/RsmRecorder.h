// Test set-up shared by the RS232 manager tests: a frozen clock, the in-memory link under the
// manager, and recorders of the messages delivered, the link events and the event log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Communication/Rsm/Rsm.h"

namespace RsmRecorder {

struct Delivered {
    std::uint8_t byChannel;
    std::uint8_t byType;
    std::vector<std::uint8_t> data;
};

struct Event {
    std::uint16_t wEvent;
    std::uint8_t byChannel;
};

void SetUp();    // runtime, link and manager to a clean state; recorders for types 2..25
void TearDown(); // closes what is open, puts the real driver back
std::vector<Delivered>& Messages();
std::vector<Event>& Events();
void Notify(std::uint16_t wEvent, std::uint8_t byChannel); // callback for RsmOpen
void SetHandlerResult(std::uint16_t wResult);              // what the recording handler returns
std::vector<std::string> LogRecords(); // every kept event-log record, oldest first
bool LogContains(const std::string& text);

// Advances the frozen clock by wMs and runs both slots' tasks once.
void Step(std::uint16_t wMs = 0);
// Runs both slots' tasks n times without moving the clock.
void Pump(int n);

} // namespace RsmRecorder
