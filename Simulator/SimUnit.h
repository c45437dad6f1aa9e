// SimUnit: the simulated unit's behaviour. Answers remote calls from the function table with
// deterministic values, answers terminal lines and parameter requests, sends the UPDATE functions
// as notifications, and applies the message-level faults (drop, delay, silence, close).
#pragma once

#include <cstdint>
#include <span>

constexpr std::uint16_t SIMC_ERROR_UNKNOWN_FNID = 0x0001; // error code for an FnId not in the table
constexpr std::size_t SIMC_MESSAGE_SIZE = 5000;           // bytes of an answer the unit builds
constexpr std::size_t SIMC_MAX_DELAYED = 64;              // answers held back by --delay at once

// Message-level behaviour chosen on the command line.
struct SimUnitConfig {
    std::uint16_t wDropPercent = 0;    // share of answers never sent
    std::uint32_t dwDelayMs = 0;       // answers go out this much later
    std::uint32_t dwSilentAfter = 0;   // answer nothing after this many answers (0 = never)
    std::uint32_t dwCloseAfter = 0;    // close the link after this many answers (0 = never)
    std::uint32_t dwFaultsAfter = 0;   // faults start once this many calls were answered
    std::uint32_t dwNotifySeconds = 0; // period of the UPDATE notifications (0 = none)
    bool bQuiet = false;               // no line per message
    bool bSerialFull = false;          // type 15 is answered by the serial manager itself
    bool bTextStream = false;          // a terminal link: text goes out as plain characters
};

// Called when the unit decides to close the link (after --close-after answers).
using SimCloseCallback = void (*)();

// Builds the answer to a remote call: FnId, error code, body by the response structure.
// Returns the length written into rAnswer (at least 4 when the request holds an FnId, else 0).
std::size_t SimBuildAnswer(std::span<const std::uint8_t> request, std::span<std::uint8_t> rAnswer,
                           std::uint32_t dwCallNumber);
// Builds the notification of an UPDATE function: FnId and body by its structure.
std::size_t SimBuildNotify(std::uint16_t wFnId, std::span<std::uint8_t> rMessage,
                           std::uint32_t dwCallNumber);

// Registers the unit's message handlers for the link on byChannel and starts its timers.
std::uint16_t SimUnitStart(const SimUnitConfig& config, std::uint8_t byChannel,
                           SimCloseCallback pfClose);
void SimUnitSetChannel(std::uint8_t byChannel); // the link's channel changed (accepted session)
void SimUnitStop();                             // deregisters, deletes timers
std::uint32_t SimUnitAnswered();                // remote calls answered so far
bool SimUnitFaultsActive();                     // true once --faults-after calls were answered
bool SimUnitSilent(); // true once --silent-after answers were sent: the unit sends nothing more
// Draws a fault with the given percentage from the unit's deterministic generator.
bool SimUnitDraw(std::uint16_t wPercent);
void SimUnitResetForTest();
