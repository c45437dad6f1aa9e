// IpmMulti: the Multi package protocol of the IP session manager. Each message travels in a
// package with a 6-byte header (preamble AA 55, package type, message type, length LSB first);
// a side that has sent nothing for 250 ms sends a keep-alive, and a side that has received no
// header for 500 ms declares the session lost.
#pragma once

#include <cstdint>

#include "Communication/Ipm/IpmPriv.h"

constexpr std::uint16_t IPMC_MULTI_PREAMBLE = 0x55AA;    // first two bytes: AA 55
constexpr std::uint16_t IPMC_MULTI_HEADER_SIZE = 6;      // bytes of a package header
constexpr std::uint16_t IPMC_MULTI_BUFFER_SIZE = 8192;   // largest message received
constexpr std::uint8_t IPMC_MULTI_PACKAGE_MESSAGE = 1;   // package type: message
constexpr std::uint8_t IPMC_MULTI_PACKAGE_KEEPALIVE = 2; // package type: keep-alive
constexpr std::uint32_t IPMC_MULTI_KEEPALIVE_MS = 250;   // send a keep-alive after this
constexpr std::uint32_t IPMC_MULTI_TIMEOUT_MS = 500;     // lost without a header this long

// Parsed package header.
struct IpmMultiHeader {
    std::uint16_t wPreamble = 0;
    std::uint8_t byPackageType = 0;
    std::uint8_t byMsgType = 0;
    std::uint16_t wLength = 0;
};

// Allocates the state: 0 or 12600
[[nodiscard]] std::uint16_t IpmMultiInit(IpmSessionData* ptSessionData);
void IpmMultiClose(IpmSessionData* ptSessionData);   // releases it
void IpmMultiProcess(IpmSessionData* ptSessionData); // one receive pass
// Sends one message package: 0 (also when the write failed; it is logged) or 12600.
[[nodiscard]] std::uint16_t IpmMultiSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                                         std::uint16_t wMsgLen, const std::uint8_t* pvMsg);

// Steps of the receive pass: 0, 12600 failure, 12601 session lost.
[[nodiscard]] std::uint16_t IpmMultiProcessHeader(IpmSessionData* ptSessionData);
[[nodiscard]] std::uint16_t IpmMultiReadMessageData(IpmSessionData* ptSessionData);
[[nodiscard]] std::uint16_t IpmMultiProcessKeepAlive(IpmSessionData* ptSessionData);
// Writes one package (type 1 message, 2 keep-alive) in a single write: 0 or 12600.
[[nodiscard]] std::uint16_t IpmMultiSendPackage(IpmSessionData* ptSessionData,
                                                std::uint8_t byPackageType, std::uint8_t byMsgType,
                                                std::uint16_t wLength, const std::uint8_t* pbyMsg);
// Header to its 6 wire bytes (returns 6) and back.
std::uint16_t IpmMultiBuildHeader(const IpmMultiHeader* ptHeader, std::uint8_t* pbyBuffer);
void IpmMultiParseHeader(const std::uint8_t* pbyBuffer, IpmMultiHeader* ptHeader);
