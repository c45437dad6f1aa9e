// AppRfc: the encoding of a typed remote function call into the request message, by the
// function's structure text, and its hand-over to the link's channel.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint8_t APPC_REQUEST_MODE_REQ = 3;    // calls go as RFS_REQUEST (default)
constexpr std::uint8_t APPC_REQUEST_MODE_RSP = 4;    // calls go as RFS_RESPONSE, error code first
constexpr std::size_t APPC_EXPANDED_SIZE = 2500;     // characters of the expanded structure text
constexpr std::size_t APPC_RESPONSE_MODE_SIZE = 256; // characters of the response-mode text

// Encodes pszLine (upper case, leading white space removed) as a call, or as more parameters of
// the call under construction, and sends it on byChannel. Returns APPC_CMD_*.
[[nodiscard]] std::uint16_t TriggerRFC(char* pszLine, std::uint8_t byChannel);
void RfcReset();                             // no call under construction
void RfcSetRequestMode(std::uint8_t byMode); // APPC_REQUEST_MODE_REQ or _RSP
std::uint8_t RfcGetRequestMode();
// Called with every finished call handed to the link: its message type and bytes, and whether the
// link took it (true) or refused it; nullptr: none.
using RfcSendObserver = void (*)(std::uint8_t byMsgType, std::uint16_t wLength,
                                 const std::uint8_t* pbyData, bool bSent);
void RfcSetSendObserver(RfcSendObserver pfObserver);
// Option -K: the arguments of string (S) and character (C) fields keep the case they were typed
// in; without it they are sent upper case like the rest of the line.
void RfcSetKeepCase(bool bKeep);
