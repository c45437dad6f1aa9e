// AppRfc: the structure language and the encoding of a typed remote function call into the
// request message, which is handed to the link's channel.
#pragma once

#include <cstdint>

constexpr std::uint8_t APPC_REQUEST_MODE_REQ = 3;     // calls go as RFS_REQUEST (default)
constexpr std::uint8_t APPC_REQUEST_MODE_RSP = 4;     // calls go as RFS_RESPONSE, error code first
constexpr std::size_t APPC_EXPANDED_SIZE = 2500;      // characters of the expanded structure text
constexpr std::size_t APPC_RESPONSE_MODE_SIZE = 256;  // characters of the response-mode text

// Results of TriggerRFC and of every command handler.
constexpr std::uint16_t APPC_CMD_DONE = 0;
constexpr std::uint16_t APPC_CMD_MORE = 1;
constexpr std::uint16_t APPC_CMD_ERROR = 2;

// Encodes pszLine (upper case, leading white space removed) as a call, or as more parameters of
// the call under construction, and sends it on byChannel. Returns APPC_CMD_*.
std::uint16_t TriggerRFC(char* pszLine, std::uint8_t byChannel);
void RfcReset();                               // no call under construction
void RfcSetRequestMode(std::uint8_t byMode);   // APPC_REQUEST_MODE_REQ or _RSP
std::uint8_t RfcGetRequestMode();
