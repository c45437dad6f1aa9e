// Ipm: the IP session manager. A fixed table of TCP sessions, each bound to one dispatch channel,
// speaking one package protocol (Terminal, Oip, Multi) over one socket of the socket layer.
// Two scheduler tasks drive them: connection set-up (connects, accepts) and session processing
// (each connected session's receive pass). This header is the manager's whole contract: the
// public operations used by the application and the session record the protocols work on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Communication/Ips/Ips.h"
#include "Platform/PltWait.h"
#include "Runtime/Mds.h"

constexpr std::uint8_t IPMC_MAX_NR_OF_SESSIONS = 56;       // session ids 0 to 55
constexpr std::uint8_t IPMC_NO_SESSION = 255;              // free slot; IpmOpen opened nothing
constexpr std::size_t IPMC_RECEIVE_BUFFER_SIZE = 1200;     // per-session receive buffer
constexpr std::size_t IPMC_ADDRESS_SIZE = 254;             // host or address text + zero
constexpr std::uint32_t IPMC_RECONNECT_INTERVAL_MS = 2000; // pause before a failed connect retries
constexpr std::uint32_t IPMC_RESOLVER_POLL_MS = 10;        // look for a name being resolved

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

// Public operations.
std::uint16_t IpmInit();      // creates the two tasks and clears the table
std::uint16_t IpmTerminate(); // closes every session, removes the tasks
// Opens a session: with a host it connects to host:port, without one (nullptr) it listens on
// port. Returns the session id, or IPMC_NO_SESSION when nothing was opened.
std::uint8_t IpmOpen(std::uint16_t wPort, const char* pszHost, std::int32_t tProtocol,
                     IpmCallback pfCallback);
// Opens a listening session on the local address text (numeric, IPv4 or IPv6; nullptr or empty:
// every IPv4 address, as IpmOpen does). Returns the session id, or IPMC_NO_SESSION.
std::uint8_t IpmOpenListener(std::uint16_t wPort, const char* pszAddress, std::int32_t tProtocol,
                             IpmCallback pfCallback);
std::uint16_t IpmClose(std::uint8_t tSessionId); // closes a session; free slot: nothing, 0
// Why the last connect attempt of a session failed ("" before any failed); out of range: "".
const char* IpmConnectFailure(std::uint8_t tSessionId);
// Port the session's socket is bound to locally (a listener opened on port 0), 0 when none.
std::uint16_t IpmLocalPort(std::uint8_t tSessionId);
// Channel id of a session slot (also of a free one); 12600 for an id out of range.
std::uint16_t IpmGetChannelId(std::uint8_t tSessionId, std::uint8_t* pbyChannelId);

// Internal operations (the tasks, the dispatch handler and what the protocols use).
// Adds the sockets of the sessions in use (listening, connected) to an idle wait.
void IpmAddWaitHandles(PltWaitSet& rSet);
void IpmProcessConnections(); // connection set-up task: completes connects, accepts
void IpmProcessSessions();    // session processing task: one receive pass per connected session
// Transmit handler of every open session's channel: the protocol's send.
std::uint16_t IpmResponseHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                 std::uint16_t wMsgLen, const std::uint8_t* ptrMsg);
// Installs a protocol by number: 0, or 12600 for an unknown number or no memory.
std::uint16_t IpmSetProtocol(std::uint8_t bySlot, std::int32_t tProtocol);
void IpmNotify(IpmSessionData* pSessionData, std::uint16_t wEvent); // calls the callback, if any
std::uint8_t IpmFindFreeSession();                                  // lowest free slot, or 255
bool IpmSessionAvailable();                                         // fewer than 56 slots in use
// Hands a received message to the application. False when the handler closed the session, in
// which case the caller must not touch the record's protocol state again.
bool IpmDeliver(IpmSessionData* ptSessionData, std::uint8_t byMsgType, std::uint16_t wMsgLen,
                const std::uint8_t* pbyMsg, std::uint16_t* pwStatus);
// Prints "Assertion failed: ..." for a precondition that does not hold; returns bHolds.
bool IpmCheck(bool bHolds, const char* pszCondition, const char* pszFile, int nLine);
#define IPM_CHECK(condition) IpmCheck((condition), #condition, __FILE__, __LINE__)

IpmSessionData* IpmSessionForTest(std::uint8_t bySlot); // a slot of the table (tests only)
void IpmResetForTest(); // releases every slot, forgets the tasks, uninitialised (tests only)
