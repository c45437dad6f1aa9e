// IpmOip: the Oip protocol of the IP session manager. Messages travel with a 16-byte header
// (message word, total length, two reserved words; little-endian) decoded byte by byte over any
// split of the stream; a heartbeat goes out every 5 s and 15 s of silence after data ends the
// session; notifications are held back while a request from the peer awaits its response.
#pragma once

#include <cstdint>

#include "Communication/Ipm/IpmPriv.h"

constexpr std::uint32_t IPMC_OIP_HEADER_SIZE = 16;            // bytes of the message header
constexpr std::uint32_t IPMC_OIP_MAX_LENGTH = 32783;          // largest valid length field
constexpr std::uint32_t IPMC_OIP_SKIP_BASE = 8;               // header bytes read before a skip
constexpr std::uint32_t IPMC_OIP_HEARTBEAT_INTERVAL = 5000;   // ms between heartbeats
constexpr std::uint32_t IPMC_OIP_TIMEOUT_FACTOR = 3;          // silence of 3 intervals: lost
constexpr std::uint16_t IPMC_OIP_QUEUE_SIZE = 10;             // ring entries (9 usable)
constexpr std::uint32_t IPMC_OIP_PROTOCOL_ERROR = 0x00447020; // message word: protocol error
constexpr std::uint32_t IPMC_OIP_HEARTBEAT = 0x00447027;      // message word: heartbeat
constexpr std::uint8_t IPMC_OIP_CLASS = 0x43;                 // byte 3 of an application word
constexpr std::uint32_t IPMC_OIP_ERROR_LENGTH = 0x0044E002;   // error code: invalid length
constexpr std::uint32_t IPMC_OIP_ERROR_POSITION = 4;          // error position: the length field
constexpr std::uint32_t IPMC_OIP_ERROR_MESSAGE_SIZE = 24;     // wire size of a protocol error

// Receive states.
enum class IpmOipState : std::int32_t {
    Type = 0,      // header bytes 0..3
    Length = 1,    // header bytes 4..7
    Reserved1 = 2, // header bytes 8..11
    Reserved2 = 3, // header bytes 12..15
    Data = 4,      // the body
    Lost = 5,      // connection lost
    Skip = 6,      // rest of a rejected message
};

// Allocates the state: 0 or 12600
[[nodiscard]] std::uint16_t IpmOipInit(IpmSessionData* ptSessionData);
void IpmOipClose(IpmSessionData* ptSessionData);   // releases state and held messages
void IpmOipProcess(IpmSessionData* ptSessionData); // one receive pass
// Sends one message (or holds a notification back): 0 or 12600.
[[nodiscard]] std::uint16_t IpmOipSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                                       std::uint16_t wMsgLen, const std::uint8_t* pMsg);
void IpmOipResetReceive(IpmSessionData* ptSessionData); // ready for the next message
[[nodiscard]] std::uint16_t IpmOipSendHeartbeat(IpmSessionData* ptSessionData); // 0 or 12600

// Makes the next nCount allocations of this module fail (tests only).
void IpmOipFailAllocationsForTest(std::uint32_t nCount);
