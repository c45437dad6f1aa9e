// Ips: the IP socket layer. Non-blocking TCP sockets (IPv4 and IPv6) whose every wait is one
// short readiness poll, so that no scheduler task ever blocks; name resolution, numeric at once or
// on a resolver thread of its own so that a slow name server never stops the scheduler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Platform/PltSocket.h"

constexpr std::uint16_t IPSC_OK = 0;                 // success
constexpr std::uint16_t IPSC_TRANSFER_ERROR = 12500; // sending or receiving failed, peer closed
constexpr std::uint16_t IPSC_ERROR = 12501;          // a set-up or control step failed
constexpr std::uint32_t IPSC_POLL_TIMEOUT_US = 100;  // readiness poll time-out, microseconds
constexpr std::uint32_t IPSC_SEND_PIECE = 1024;      // largest piece handed to one send
constexpr int IPSC_LISTEN_BACKLOG = 2;               // pending connections of a listening socket
constexpr std::uint32_t IPSC_ADDRESS_SIZE = 16;      // least room for a dotted address text
constexpr std::uint32_t IPSC_HOST_NAME_SIZE = 32;    // room for this computer's name
// The descriptor of a record that holds no socket (also what the system reports for "none").
// Descriptor 0 is a socket like any other: it is what a socket gets while standard input is closed.
constexpr std::uint32_t IPSC_INVALID_SOCKET = 0xFFFFFFFFu;

// Role and connection state of a socket record.
enum class IpsType : std::int32_t {
    None = 0,       // created or closed
    Passive = 1,    // listening
    Connecting = 3, // connect under way
    Connected = 4,  // connect completed
    Accepted = 5,   // accepted from a listening socket
};

// A socket record, owned by the caller.
struct IpsSocket {
    std::uint32_t socketDescr = IPSC_INVALID_SOCKET; // the system's descriptor
    IpsType tType = IpsType::None;
};

// Starts the socket layer; second call only reports the check
[[nodiscard]] std::uint16_t IpsInit();
[[nodiscard]] std::uint16_t IpsTerminate(); // stops it
// Sets how long each readiness poll waits (IPSC_POLL_TIMEOUT_US unless changed). A program whose
// idle step already sleeps on the sockets' readiness sets 0: the polls then only ask.
void IpsSetPollTimeout(std::uint32_t dwMicroseconds);

// TCP socket: no-delay, keep-alive, non-blocking.
[[nodiscard]] std::uint16_t IpsCreateSocket(IpsSocket* pSocket);
// Closes it, if the record holds one; the record becomes {IPSC_INVALID_SOCKET, None}.
[[nodiscard]] std::uint16_t IpsCloseSocket(IpsSocket* pSocket);
std::uint16_t IpsOpenSocketCount(); // sockets this layer opened and has not closed yet
// Starts a connect to the dotted address; the record becomes Connecting.
[[nodiscard]] std::uint16_t IpsConnect(std::uint16_t wPort, const char* pszAddress,
                                       IpsSocket* pSocket);
// 1 when the connect has completed (Connected), else 0. A connect that failed is written
// to the event log and leaves the record None, so the caller can start a new one.
[[nodiscard]] std::uint16_t IpsIsConnected(IpsSocket* pSocket);
// Listens on the port (address reuse on) on the local address given as dotted text, or on every
// local address when it is null; the record becomes Passive.
[[nodiscard]] std::uint16_t IpsListen(std::uint16_t wPort, IpsSocket* pSocket,
                                      const char* pszAddress = nullptr);
// Accepts one pending connection into pAccepted (Accepted, same modes as the layer's own
// sockets); IPSC_INVALID_SOCKET with status 0 when none is pending.
[[nodiscard]] std::uint16_t IpsAccept(IpsSocket* pListenSocket, IpsSocket* pAcceptedSocket);
// Sends all bytes in pieces of at most IPSC_SEND_PIECE.
[[nodiscard]] std::uint16_t IpsWrite(IpsSocket* pSocket, const void* pvBuffer,
                                     std::uint32_t dwLength);
// Receives what has arrived, up to dwSize; count 0 with status 0 when nothing has.
[[nodiscard]] std::uint16_t IpsRead(IpsSocket* pSocket, std::uint8_t* pReceiveBuffer,
                                    std::uint32_t dwSize, std::uint32_t* pdwReceived);
// First IPv4 address of the host (none or empty: this computer) as dotted text into
// lpszIpAddress (IPSC_ADDRESS_SIZE bytes at least).
[[nodiscard]] std::uint16_t IpsIpAddress(const char* pszHost, char* lpszIpAddress);

std::uint16_t IpsLocalPort(const IpsSocket* pSocket); // bound local port, 0 when unknown

// The addresses of one resolved name, in the resolver's order.
struct IpsAddressList {
    std::array<PltSocketAddress, PLTC_MAX_ADDRESSES> atAddress{};
    std::size_t wCount = 0;
};
constexpr std::size_t IPSC_REASON_SIZE = 96; // room for the words of a failure

// Resolves an address text (IPv4 dotted, IPv6 without brackets; empty: every local address when
// bPassive) with the port, never waiting for a name server. IPSC_ERROR when the text is not a
// numeric address: it is a name for IpsResolveStart.
[[nodiscard]] std::uint16_t IpsResolveNumeric(const char* pszHost, std::uint16_t wPort,
                                              bool bPassive, IpsAddressList* ptList);

// A name being resolved on a thread of its own.
struct IpsResolver;
// Starts resolving the name with the port; nullptr when no thread could be started.
[[nodiscard]] IpsResolver* IpsResolveStart(const char* pszHost, std::uint16_t wPort);
// 0 while the resolver works; 1 with the addresses in *ptList, or -1 with the resolver's words
// in pszReason (IPSC_REASON_SIZE bytes), once it has ended. The resolver is released then.
[[nodiscard]] int IpsResolvePoll(IpsResolver* ptResolver, IpsAddressList* ptList, char* pszReason);
// Gives up a resolver still at work: its thread ends on its own and is reaped later.
void IpsResolveAbandon(IpsResolver* ptResolver);
// Joins the resolvers given up that have ended, waiting up to dwWaitMs for each (0: only those
// already done); the layer's stop and its test set-up leave none behind.
void IpsReapResolvers(std::uint32_t dwWaitMs);

// A TCP socket of the address's family with the layer's modes, its connect to the address
// started; the record becomes Connecting. IPSC_ERROR with the reason in pszReason
// (IPSC_REASON_SIZE bytes, may be null) and no socket left open when it cannot start.
[[nodiscard]] std::uint16_t IpsConnectTo(const PltSocketAddress& tAddress, IpsSocket* pSocket,
                                         char* pszReason);
// Words of the error that made the last connect of this layer fail (IpsIsConnected).
const char* IpsLastConnectError();
const char* IpsLastErrorText(); // words of the last failure of this layer's socket calls
// A listening socket on the address (address reuse on); the record becomes Passive.
[[nodiscard]] std::uint16_t IpsListenOn(const PltSocketAddress& tAddress, IpsSocket* pSocket);
// "192.0.2.1:9451" or "[2001:db8::1]:9451" (PLTC_ADDRESS_TEXT bytes).
void IpsAddressText(const PltSocketAddress& tAddress, char* pszText);

void IpsResetForTest(); // uninitialised state, whatever came before (test set-up only)
