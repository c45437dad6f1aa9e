// Platform sockets: non-blocking TCP sockets (IPv4, and IPv6 through the address records), short
// readiness polls and name resolution. Each backend reaches its system calls through a replaceable
// table of its own (see its
// ...SocketSys.h) so that tests can inject interruptions, short transfers and failures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using PltSocketHandle = int;                             // descriptor of an open socket
constexpr PltSocketHandle PLTC_INVALID_SOCKET = -1;      // "no socket" result
constexpr std::uint32_t PLTC_ADDRESS_NONE = 0xFFFFFFFFu; // address text that does not convert
constexpr std::size_t PLTC_MAX_HOST_NAME = 253;          // longest name handed to the resolver

void PltSocketRestoreCalls(); // puts the real system calls back into the backend's table

int PltSocketLastError(); // error number of the last failed call of this layer

// Readiness found by PltSocketPoll.
struct PltSocketReady {
    bool bReadable = false;
    bool bWritable = false;
    bool bError = false; // error condition; PltSocketLastError() then holds the socket's error
};

[[nodiscard]] PltSocketHandle PltSocketCreateTcp(); // IPv4 stream socket, or PLTC_INVALID_SOCKET
[[nodiscard]] bool PltSocketSetNoDelay(PltSocketHandle hSocket);     // TCP_NODELAY on
[[nodiscard]] bool PltSocketSetKeepAlive(PltSocketHandle hSocket);   // SO_KEEPALIVE on
[[nodiscard]] bool PltSocketSetNonBlocking(PltSocketHandle hSocket); // O_NONBLOCK on
// SO_REUSEADDR on (before bind)
[[nodiscard]] bool PltSocketSetReuseAddress(PltSocketHandle hSocket);
[[nodiscard]] bool PltSocketClose(PltSocketHandle hSocket); // true when closed

// Dotted-decimal text to an address in host byte order; PLTC_ADDRESS_NONE when it does not convert.
std::uint32_t PltSocketParseAddress(const char* pszText);
// Starts a connect to address:port (host byte order). Returns 0 when connected or under way,
// else the error number.
[[nodiscard]] int PltSocketConnect(PltSocketHandle hSocket, std::uint32_t dwAddress,
                                   std::uint16_t wPort);
// Error left on the socket by a connect that ended (0 none), or -1 when it cannot be asked.
[[nodiscard]] int PltSocketPendingError(PltSocketHandle hSocket);
constexpr std::uint32_t PLTC_ADDRESS_ANY = 0; // every local address (to bind to)
// Binds to the port on one local address (host byte order), every one by default.
[[nodiscard]] bool PltSocketBind(PltSocketHandle hSocket, std::uint16_t wPort,
                                 std::uint32_t dwAddress = PLTC_ADDRESS_ANY);
[[nodiscard]] bool PltSocketListen(PltSocketHandle hSocket, int nBacklog);
// Accepts one connection: its handle, or PLTC_INVALID_SOCKET (PltSocketLastError tells why).
[[nodiscard]] PltSocketHandle PltSocketAccept(PltSocketHandle hSocket);
// Waits at most dwMicroseconds for the asked conditions. Returns 1 ready (see *ptReady),
// 0 not ready, -1 failure.
[[nodiscard]] int PltSocketPoll(PltSocketHandle hSocket, bool bRead, bool bWrite,
                                std::uint32_t dwMicroseconds, PltSocketReady* ptReady);
// Bytes handed to the system (>= 0), or -1 on failure; never raises a signal on a closed peer.
[[nodiscard]] long PltSocketSend(PltSocketHandle hSocket, const std::uint8_t* pbyData,
                                 std::size_t len);
// Bytes received (> 0), 0 when the peer closed, -1 on failure.
[[nodiscard]] long PltSocketRecv(PltSocketHandle hSocket, std::uint8_t* pbyBuffer, std::size_t len);
bool PltSocketWouldBlock(int nError); // error number means "try again later"
// First IPv4 address of the name (host byte order); false when it does not resolve.
[[nodiscard]] bool PltSocketResolve(const char* pszName, std::uint32_t* pdwAddress);
[[nodiscard]] bool PltSocketHostName(char* pszName, std::size_t size); // this computer's name
std::uint16_t PltSocketLocalPort(PltSocketHandle hSocket); // bound local port, 0 when unknown

// A socket address of either family as the resolver gave it, in the system's own layout.
struct PltSocketAddress {
    std::array<std::uint8_t, 28> abyData{}; // room for an IPv6 address with its port and scope
    std::uint32_t dwLength = 0;             // bytes of abyData in use; 0 means no address
};
constexpr std::size_t PLTC_MAX_ADDRESSES = 8; // addresses kept of one resolved name
constexpr std::size_t PLTC_ADDRESS_TEXT = 56; // "[v6 address%scope]:port" and its zero
constexpr int PLTC_RESOLVE_NUMERIC = 1;       // PltSocketResolveAll: address text only
constexpr int PLTC_RESOLVE_PASSIVE = 2;       // PltSocketResolveAll: an address to listen on

// Resolves the name with the port into at most wMax addresses, in the order the resolver gives
// them (both families). Returns the count; 0 when it does not resolve, *pnError then holds the
// resolver's code for PltSocketResolveErrorText. A name of PLTC_RESOLVE_NUMERIC never waits.
std::size_t PltSocketResolveAll(const char* pszName, std::uint16_t wPort, int nFlags,
                                PltSocketAddress* ptAddresses, std::size_t wMax, int* pnError);
const char* PltSocketResolveErrorText(int nError); // the resolver's words for its code
const char* PltSocketErrorText(int nError);        // the system's words for a socket error number
// Stream socket of the address's family, or PLTC_INVALID_SOCKET.
[[nodiscard]] PltSocketHandle PltSocketCreateFor(const PltSocketAddress& tAddress);
// Starts a connect to the address: 0 when connected or under way, else the error number.
[[nodiscard]] int PltSocketConnectTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress);
[[nodiscard]] bool PltSocketBindTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress);
// "192.0.2.1:9451" or "[2001:db8::1]:9451" into pszText (PLTC_ADDRESS_TEXT bytes).
void PltSocketAddressText(const PltSocketAddress& tAddress, char* pszText, std::size_t wSize);
