// Rsm: the RS232 manager. Makes up to two serial ports channels of the dispatch layer (slot 0 on
// channel 32, slot 1 on channel 33), each with the Terminal, Simple or Full framing protocol,
// and keeps the Full protocol's statistics and communication parameters.
#pragma once

#include <array>
#include <cstdint>

#include "Communication/Rsm/RsmTypes.h"
#include "Platform/PltWait.h"

void RsmSetDriver(const RsmDriverOps* pOps); // nullptr: the serial port driver (tests, simulator)

// ---- operations ----
// Every status is checked by its caller: 0 is success, anything else a refusal or the driver's
// failure.
[[nodiscard]] std::uint16_t RsmInit();      // clears both records; 0
[[nodiscard]] std::uint16_t RsmTerminate(); // 0
// Opens the port with the protocol; slot 0 gets channel 32, slot 1 channel 33. 0, 1 or the
// driver's status; on failure nothing stays open.
[[nodiscard]] std::uint16_t RsmOpen(std::uint8_t byComport, std::uint32_t dwBaudrate,
                                    std::uint16_t wProtocol, RsmNotify pfNotify);
// 0, or 1 when not open or a removal failed
[[nodiscard]] std::uint16_t RsmClose(std::uint8_t byComport);
[[nodiscard]] std::uint16_t RsmGetProtocolType(std::uint8_t byComport, std::uint16_t* pwProtocol);
[[nodiscard]] std::uint16_t RsmGetChannelId(std::uint8_t byComport, std::uint8_t* pbyChannelId);
[[nodiscard]] std::uint16_t RsmEnableNotify(std::uint8_t byComport, std::uint8_t bEnable);
[[nodiscard]] std::uint16_t RsmSetCameraControlMode(std::uint8_t byComport, std::uint8_t byMode);
// Copies the counters out and sets them to 0.
[[nodiscard]] std::uint16_t RsmGetStatistics(std::uint8_t byComport, RsmStatistics* ptStatistics);
// Stores the parameters under the limits and writes the values in force back.
[[nodiscard]] std::uint16_t RsmSetCommunicationParams(std::uint8_t byComport,
                                                      RsmCommParams* ptParams);
// Adds the descriptors of the open ports' lines to an idle wait.
void RsmAddWaitHandles(PltWaitSet& rSet);
[[nodiscard]] std::uint16_t RsmGetComport(std::uint8_t bySlot, std::uint8_t* pbyComport); // 0 or 1
std::uint8_t RsmIsPortOpen(std::uint8_t byComport); // UasIsOpen
[[nodiscard]] std::uint16_t RsmSetBaudrate(std::uint8_t byComport, std::uint32_t dwBaudrate);
// The manager's COMMUNICATION_PARAMS message handler (registered for type 15 by a Full open).
[[nodiscard]] std::uint16_t RsmComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                                std::uint16_t wLength, const std::uint8_t* pbyData);

// ---- COMMUNICATION_PARAMS: the one responder, and the payloads byte by byte, low byte first ----

// What a COMMUNICATION_PARAMS responder does its own way: where parameters go and statistics
// come from (the manager's port, the application's port, the simulated unit).
struct RsmComResponder {
    // Sets the parameters a request asks for and writes the values in force back; 0, or a
    // status that refuses the request, which is then not answered.
    std::uint16_t (*pfSetParams)(RsmCommParams& rParams, void* pvOwner);
    // The counters a statistics request is answered with.
    RsmStatistics (*pfStatistics)(void* pvOwner);
    void* pvOwner;
};

// The answer to a COMMUNICATION_PARAMS request, as it goes back on the link.
struct RsmComAnswer {
    std::array<std::uint8_t, RSMC_STAT_MSG_LENGTH> abyBytes{};
    std::uint16_t wLength = 0; // 0: the message asks for no answer
};

// Builds the answer to a COMMUNICATION_PARAMS request: a parameter request (code 1) is set
// through the responder and confirmed with the values in force (code 2, the request's spare byte
// kept), a statistics request (0x3001) gets the responder's counters (0x3002). Any other message,
// or none, is not answered. 0, or the responder's refusal.
[[nodiscard]] std::uint16_t RsmAnswerComRequest(const std::uint8_t* pbyData, std::uint16_t wLength,
                                                const RsmComResponder& tResponder,
                                                RsmComAnswer& rAnswer);
// Parameter message (code 1 or 2): 10 bytes, the last one the spare byte.
void RsmPackCommParams(std::uint16_t wCode, const RsmCommParams& tParams, std::uint8_t bySpare,
                       std::array<std::uint8_t, RSMC_PARAM_MSG_LENGTH>& abyOut);
// Reads a parameter message; bytes missing from a short message count as 0.
RsmCommParams RsmUnpackCommParams(const std::uint8_t* pbyData, std::uint16_t wLength);
// Statistics response (code 0x3002): 16 bytes.
void RsmPackStatistics(const RsmStatistics& tStatistics,
                       std::array<std::uint8_t, RSMC_STAT_MSG_LENGTH>& abyOut);
RsmStatistics RsmUnpackStatistics(const std::uint8_t* pbyData, std::uint16_t wLength);
// The 16-bit word at byte wOffset, low byte first; 0 for bytes beyond wLength.
std::uint16_t RsmReadWord(const std::uint8_t* pbyData, std::uint16_t wLength,
                          std::uint16_t wOffset);

// Ports open in the manager now.
std::uint8_t RsmOpenPortCount();

// Runs the task of a slot once (what the scheduler does every fourth pass).
void RsmRunSlotForTest(std::uint8_t bySlot);
// Closes every open port through the driver and clears both records (test set-up only).
void RsmResetForTest();
