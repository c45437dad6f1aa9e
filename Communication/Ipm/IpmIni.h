// Ipm: the IP session manager. A fixed table of TCP sessions, each bound to one dispatch channel,
// speaking one package protocol (Terminal, Oip, Multi) over one socket of the socket layer.
// Two scheduler tasks drive them: connection set-up (connects, accepts) and session processing
// (each connected session's receive pass). This header is the manager's contract with the
// application; what the manager and its protocols share among themselves is in IpmPriv.h.
#pragma once

#include <cstdint>

#include "Communication/Ipm/IpmDefs.h"
#include "Platform/PltWait.h"

[[nodiscard]] std::uint16_t IpmInit();      // creates the two tasks and clears the table
[[nodiscard]] std::uint16_t IpmTerminate(); // closes every session, removes the tasks
// Opens a session: with a host it connects to host:port, without one (nullptr) it listens on
// port. Returns the session id, or IPMC_NO_SESSION when nothing was opened.
[[nodiscard]] std::uint8_t IpmOpen(std::uint16_t wPort, const char* pszHost, std::int32_t tProtocol,
                                   IpmCallback pfCallback);
// Opens a listening session on the local address text (numeric, IPv4 or IPv6; nullptr or empty:
// every IPv4 address, as IpmOpen does). Returns the session id, or IPMC_NO_SESSION.
[[nodiscard]] std::uint8_t IpmOpenListener(std::uint16_t wPort, const char* pszAddress,
                                           std::int32_t tProtocol, IpmCallback pfCallback);
// Closes a session; free slot: nothing, 0.
[[nodiscard]] std::uint16_t IpmClose(std::uint8_t tSessionId);
// Why the last connect attempt of a session failed ("" before any failed); out of range: "".
const char* IpmConnectFailure(std::uint8_t tSessionId);
// Port the session's socket is bound to locally (a listener opened on port 0), 0 when none.
std::uint16_t IpmLocalPort(std::uint8_t tSessionId);
// Channel id of a session slot (also of a free one); 12600 for an id out of range.
[[nodiscard]] std::uint16_t IpmGetChannelId(std::uint8_t tSessionId, std::uint8_t* pbyChannelId);
// Adds the sockets of the sessions in use (listening, connected) to an idle wait.
void IpmAddWaitHandles(PltWaitSet& rSet);
std::uint16_t IpmOpenSessionCount(); // sessions in use (listening, connecting or connected)

void IpmResetForTest(); // releases every slot, forgets the tasks, uninitialised (tests only)
