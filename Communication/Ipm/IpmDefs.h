// IpmDefs: the values the IP session manager shares with its users and its protocols alike:
// sizes, status and event codes, protocol numbers and the connection event callback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Runtime/Mds.h"

constexpr std::uint8_t IPMC_MAX_NR_OF_SESSIONS = 56;       // session ids 0 to 55
constexpr std::uint8_t IPMC_NO_SESSION = 255;              // free slot; IpmOpen opened nothing
constexpr std::uint32_t IPMC_RECONNECT_INTERVAL_MS = 2000; // pause before a failed connect retries

constexpr std::uint16_t IPMC_OK = 0;               // success
constexpr std::uint16_t IPMC_ERROR = 12600;        // failure
constexpr std::uint16_t IPMC_SESSION_LOST = 12601; // session lost (inside the protocols)

constexpr std::int32_t IPMC_PROTOCOL_TERMINAL = 0; // plain text stream, lines as terminal requests
constexpr std::int32_t IPMC_PROTOCOL_OIP = 1;      // Oip messages (the application's link)
constexpr std::int32_t IPMC_PROTOCOL_MULTI = 2;    // Multi packages with keep-alives

constexpr std::uint16_t IPMC_EVENT_CONNECTED = 0;       // connect completed or connection accepted
constexpr std::uint16_t IPMC_EVENT_DISCONNECTED = 1;    // a connected session was closed
constexpr std::uint16_t IPMC_EVENT_MESSAGES_LOST = 2;   // the peer reported a protocol error
constexpr std::uint16_t IPMC_EVENT_CONNECTION_LOST = 3; // peer closed or timed out: close it
// A connect attempt failed on every address of the host (or the host did not resolve); the next
// one starts after IPMC_RECONNECT_INTERVAL_MS. IpmConnectFailure tells why.
constexpr std::uint16_t IPMC_EVENT_CONNECT_FAILED = 4;

static_assert(IPMC_MAX_NR_OF_SESSIONS <= (MDSC_HIGHEST_CHANNEL_ID - MDSC_TCPIP_SESSION_BASE),
              "IPMC_MAX_NR_OF_SESSIONS <= (MDSC_HIGHEST_CHANNEL_ID - MDSC_TCPIP_SESSION_BASE)");

// Connection event callback: (event code, session id).
using IpmCallback = void (*)(std::uint16_t wEvent, std::uint8_t bySessionId);
