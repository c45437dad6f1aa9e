// RsmTerminal: the Terminal protocol: text lines from the serial line go up as terminal
// requests, terminal responses go out as bare text, other messages travel in short frames.
#pragma once

#include <cstdint>

#include "Communication/Rsm/Rsm.h"

// Sends a TERMINAL_RESPONCE as its text alone, any other message framed; last write's status.
std::uint16_t RsmTransmitChars(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                               const std::uint8_t* pbyData);
// One receive step: reads the port, edits the line, delivers lines and framed messages.
void RsmProcessChars(RsmPort& tPort);
