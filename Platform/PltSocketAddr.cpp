// What both socket backends share; see PltSocketAddr.h.
#include "Platform/PltSocketAddr.h"

#include <cstring>

bool PltSocketSetNoDelay(PltSocketHandle hSocket) {
    return PltSocketSetIntOption(hSocket, IPPROTO_TCP, TCP_NODELAY);
}

bool PltSocketSetKeepAlive(PltSocketHandle hSocket) {
    return PltSocketSetIntOption(hSocket, SOL_SOCKET, SO_KEEPALIVE);
}

bool PltSocketSetReuseAddress(PltSocketHandle hSocket) {
    return PltSocketSetIntOption(hSocket, SOL_SOCKET, SO_REUSEADDR);
}

namespace {

// dwAddress and wPort in host byte order.
sockaddr_in Ipv4Address(std::uint32_t dwAddress, std::uint16_t wPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
    address.sin_addr.s_addr = htonl(dwAddress);
    return address;
}

PltSocketAddress Ipv4SocketAddress(std::uint32_t dwAddress, std::uint16_t wPort) {
    const sockaddr_in address = Ipv4Address(dwAddress, wPort);
    PltSocketAddress tAddress;
    std::memcpy(tAddress.abyData.data(), &address, sizeof address);
    tAddress.dwLength = static_cast<std::uint32_t>(sizeof address);
    return tAddress;
}

} // namespace

int PltSocketConnect(PltSocketHandle hSocket, std::uint32_t dwAddress, std::uint16_t wPort) {
    return PltSocketConnectTo(hSocket, Ipv4SocketAddress(dwAddress, wPort));
}

bool PltSocketBind(PltSocketHandle hSocket, std::uint16_t wPort, std::uint32_t dwAddress) {
    return PltSocketBindTo(hSocket, Ipv4SocketAddress(dwAddress, wPort));
}

std::uint16_t PltAddressPort(const sockaddr_storage& tAddress) {
    if (tAddress.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&tAddress)->sin_port);
    }
    if (tAddress.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&tAddress)->sin6_port);
    }
    return 0;
}

std::size_t PltCopyAddresses(const addrinfo* ptList, PltSocketAddress* ptAddresses,
                             std::size_t wMax) {
    std::size_t wCount = 0;
    for (const addrinfo* entry = ptList; entry != nullptr && wCount < wMax;
         entry = entry->ai_next) {
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
            entry->ai_addr == nullptr || entry->ai_addrlen > ptAddresses[wCount].abyData.size()) {
            continue;
        }
        ptAddresses[wCount] = PltSocketAddress{};
        std::memcpy(ptAddresses[wCount].abyData.data(), entry->ai_addr, entry->ai_addrlen);
        ptAddresses[wCount].dwLength = static_cast<std::uint32_t>(entry->ai_addrlen);
        ++wCount;
    }
    return wCount;
}
