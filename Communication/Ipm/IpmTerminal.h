// IpmTerminal: the Terminal stream protocol of the IP session manager. Received characters are
// collected into lines (carriage return ends one, backspace removes the last character) and
// delivered as terminal requests; whatever is sent goes out byte for byte.
#pragma once

#include <cstdint>

#include "Communication/Ipm/IpmPriv.h"

constexpr std::uint16_t IPMC_TERMINAL_LINE_SIZE = 200; // line buffer, terminating zero included
constexpr std::uint8_t IPMC_TERMINAL_CR = 13;          // ends the line
constexpr std::uint8_t IPMC_TERMINAL_BS = 8;           // removes the last character

// Empty line: 0 or 12600
[[nodiscard]] std::uint16_t IpmTerminalInit(IpmSessionData* ptSessionData);
void IpmTerminalClose(IpmSessionData* ptSessionData);   // drops a partly typed line
void IpmTerminalProcess(IpmSessionData* ptSessionData); // one receive pass
// Writes the message bytes as they are (the type is not sent): 0 or 12600.
[[nodiscard]] std::uint16_t IpmTerminalSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                                            std::uint16_t wMsgLen, const std::uint8_t* pMsg);
