// What both socket backends share: the socket options by name, the IPv4 connect and bind (as
// the connect and bind of any address), the port of a bound address and the copy of a
// getaddrinfo list into PltSocketAddress records. Only the two socket backends include this
// header.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "Platform/PltSocket.h"

// Backend: switches an integer socket option on. False on failure (the error is noted).
[[nodiscard]] bool PltSocketSetIntOption(PltSocketHandle hSocket, int iLevel, int iName);

// The port of an IPv4 or IPv6 address in host byte order; 0 for any other family.
std::uint16_t PltAddressPort(const sockaddr_storage& tAddress);
// Copies the IPv4 and IPv6 entries of a getaddrinfo list, at most wMax; returns how many.
std::size_t PltCopyAddresses(const addrinfo* ptList, PltSocketAddress* ptAddresses,
                             std::size_t wMax);
