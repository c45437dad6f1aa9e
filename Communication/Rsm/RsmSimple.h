// RsmSimple: the Simple framing protocol: each message in one checksummed frame
// (1B 24 0D, type, length, data, checksum), a NAK message on a bad frame, no retries.
#pragma once

#include <cstdint>

#include "Communication/Rsm/Rsm.h"

constexpr std::uint8_t RSMC_ESC = 0x1B;               // first byte of a frame
constexpr std::uint8_t RSMC_DOLLAR = 0x24;            // second byte
constexpr std::uint8_t RSMC_CR = 0x0D;                // third byte; ends a Terminal line
constexpr std::uint8_t RSMC_BACKSPACE = 0x08;         // Terminal line editing
constexpr std::uint8_t RSMC_SIMPLE_HEADER_SUM = 0x4C; // 1B + 24 + 0D

// Sends the message as one frame, in five driver writes; the status of the last write.
std::uint16_t RsmTransmitMessage(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                                 const std::uint8_t* pbyData);
// One receive step: reads the port and delivers every complete frame.
void RsmProcessMessages(RsmPort& tPort);
