// IpmPriv: what the IP session manager (IpmIni.cpp), its protocols (IpmTerminal, IpmOip,
// IpmMulti) and the trace tap (IpmTrace) share among themselves: the session record, the tasks,
// the operations the protocols call back into, and the session I/O through the trace tap.
// Only the manager's own files and its unit tests include it; users take IpmIni.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Communication/Ipm/IpmDefs.h"
#include "Communication/Ips/Ips.h"

constexpr std::size_t IPMC_RECEIVE_BUFFER_SIZE = 1200; // per-session receive buffer
constexpr std::size_t IPMC_ADDRESS_SIZE = 254;         // host or address text + zero
constexpr std::uint32_t IPMC_RESOLVER_POLL_MS = 10;    // look for a name being resolved

struct IpmSessionData;
using IpmProcessFunction = void (*)(IpmSessionData* ptSessionData);
using IpmSendFunction = std::uint16_t (*)(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                                          std::uint16_t wMsgLen, const std::uint8_t* pMsg);

// One slot of the session table.
struct IpmSessionData {
    IpmProcessFunction pfProcess = nullptr;     // the protocol's receive pass
    IpmSendFunction pfSend = nullptr;           // the protocol's send
    std::uint8_t bySessionId = IPMC_NO_SESSION; // own index while in use; 255 when free
    std::uint8_t bActive = 0;                   // listening, connected or accepted
    std::uint8_t byChannelId = 0;               // MDSC_TCPIP_SESSION_BASE + index, never changed
    std::array<char, IPMC_ADDRESS_SIZE> szIpAddress{}; // host or address text as given
    std::uint16_t wPort = 0; // port given to IpmOpen; 0 for accepted sessions
    IpsSocket tSocket;       // the session's socket
    std::int32_t tProtocol = IPMC_PROTOCOL_TERMINAL;
    std::array<std::uint8_t, IPMC_RECEIVE_BUFFER_SIZE> abyReceiveBuffer{};
    IpmCallback pfCallback = nullptr;  // connection events; may be empty
    void* pvProtocolData = nullptr;    // the protocol's private state
    std::uint32_t dwGeneration = 0;    // counts closes: a protocol notices a close during a call
    std::uint32_t dwRetryTime = 0;     // clock of the last failed connect of an active session
    std::uint8_t bConnecting = 0;      // an active session that has not connected yet
    IpsAddressList tAddresses;         // the resolved addresses of szIpAddress
    std::uint8_t byAddress = 0;        // the next of them to try
    IpsResolver* ptResolver = nullptr; // the name being resolved, if any
    std::array<char, IPSC_REASON_SIZE> szFailure{}; // why the last connect attempt failed
};

// The two tasks (IpmInit creates them; tests and the fuzz target run them directly).
void IpmProcessConnections(); // connection set-up task: completes connects, accepts
void IpmProcessSessions();    // session processing task: one receive pass per connected session
// Transmit handler of every open session's channel: the protocol's send.
[[nodiscard]] std::uint16_t IpmResponseHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                               std::uint16_t wMsgLen, const std::uint8_t* ptrMsg);
// Installs a protocol by number: 0, or 12600 for an unknown number or no memory.
[[nodiscard]] std::uint16_t IpmSetProtocol(std::uint8_t bySlot, std::int32_t tProtocol);
void IpmNotify(IpmSessionData* pSessionData, std::uint16_t wEvent); // calls the callback, if any
std::uint8_t IpmFindFreeSession();                                  // lowest free slot, or 255
bool IpmSessionAvailable();                                         // fewer than 56 slots in use
// Hands a received message to the application. False when the handler closed the session, in
// which case the caller must not touch the record's protocol state again.
[[nodiscard]] bool IpmDeliver(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                              std::uint16_t wMsgLen, const std::uint8_t* pbyMsg,
                              std::uint16_t* pwStatus);

// Connect attempts of an active session (IpmConnect.cpp).
void IpmStartConnect(IpmSessionData& tSession); // resolves the host anew, then tries its addresses
void IpmPollResolver(IpmSessionData& tSession); // a name being resolved: on once it has ended
// Starts the connect to the next resolved address that takes one; after the last, the attempt
// has failed (pszReason says why, unless an address gives a reason of its own).
void IpmTryNextAddress(IpmSessionData& tSession, const char* pszReason);
void IpmDropSocket(IpmSessionData& tSession);      // closes the socket, if any; record empty
void IpmForgetAddresses(IpmSessionData& tSession); // drops addresses, gives up the resolver

// Session I/O of every protocol (IpmTrace.cpp): IpsRead and IpsWrite on the session's socket,
// with the bytes handed to the link trace while a capture is open.
[[nodiscard]] std::uint16_t IpmSessionRead(IpmSessionData* ptSessionData, std::uint8_t* pbyBuffer,
                                           std::uint32_t dwSize, std::uint32_t* pdwCount);
[[nodiscard]] std::uint16_t IpmSessionWrite(IpmSessionData* ptSessionData,
                                            const std::uint8_t* pbyData, std::uint32_t dwLength);

// Releases a protocol's private state of type T (held messages included), unsent.
template <typename T> void IpmReleaseProtocolData(IpmSessionData& tSession) {
    delete static_cast<T*>(tSession.pvProtocolData);
    tSession.pvProtocolData = nullptr;
}

IpmSessionData* IpmSessionForTest(std::uint8_t bySlot); // a slot of the table (tests only)
