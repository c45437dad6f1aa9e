// Platform sockets on POSIX: BSD sockets, ppoll for sub-millisecond readiness polls and
// getaddrinfo for names. Every system call goes through the replaceable table.
#include "Platform/PltSocket.h"
#include "Platform/PltSocketAddr.h"
#include "Platform/Posix/PltSys.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int lastError = 0;

// Runs a call again while it is interrupted by a signal.
template <typename Call> auto Retry(Call call) {
    auto rc = call();
    while (rc < 0 && errno == EINTR) {
        rc = call();
    }
    if (rc < 0) {
        lastError = errno;
    }
    return rc;
}

} // namespace

void PltSocketRestoreCalls() {
    PltSysReset();
}

int PltSocketLastError() {
    return lastError;
}

PltSocketHandle PltSocketCreateTcp() {
    const int fd = Retry([] { return PltSysTable().pfSocket(AF_INET, SOCK_STREAM, 0); });
    if (fd < 0) {
        return PLTC_INVALID_SOCKET;
    }
    return fd;
}

bool PltSocketSetIntOption(PltSocketHandle hSocket, int level, int name) {
    const int one = 1;
    return Retry([&] {
               return PltSysTable().pfSetSockOpt(hSocket, level, name, &one, sizeof one);
           }) == 0;
}

bool PltSocketSetNonBlocking(PltSocketHandle hSocket) {
    const int flags = Retry([&] { return PltSysTable().pfFcntl(hSocket, F_GETFL, 0); });
    if (flags < 0) {
        return false;
    }
    return Retry([&] { return PltSysTable().pfFcntl(hSocket, F_SETFL, flags | O_NONBLOCK); }) == 0;
}

bool PltSocketClose(PltSocketHandle hSocket) {
    // Not repeated on EINTR: the descriptor is released whatever close reports then.
    const int rc = PltSysTable().pfClose(hSocket);
    if (rc < 0 && errno != EINTR) {
        lastError = errno;
        return false;
    }
    return true;
}

std::uint32_t PltSocketParseAddress(const char* pszText) {
    in_addr address{};
    if (pszText == nullptr || inet_pton(AF_INET, pszText, &address) != 1) {
        return PLTC_ADDRESS_NONE;
    }
    return ntohl(address.s_addr);
}

int PltSocketPendingError(PltSocketHandle hSocket) {
    int error = 0;
    unsigned len = sizeof error;
    if (Retry([&] {
            return PltSysTable().pfGetSockOpt(hSocket, SOL_SOCKET, SO_ERROR, &error, &len);
        }) < 0) {
        return -1;
    }
    if (error != 0) {
        lastError = error;
    }
    return error;
}

bool PltSocketListen(PltSocketHandle hSocket, int nBacklog) {
    return Retry([&] { return PltSysTable().pfListen(hSocket, nBacklog); }) == 0;
}

PltSocketHandle PltSocketAccept(PltSocketHandle hSocket) {
    sockaddr_in peer{};
    unsigned len = sizeof peer;
    const int fd = Retry(
        [&] { return PltSysTable().pfAccept(hSocket, reinterpret_cast<sockaddr*>(&peer), &len); });
    return fd < 0 ? PLTC_INVALID_SOCKET : fd;
}

int PltSocketPoll(PltSocketHandle hSocket, bool bRead, bool bWrite, std::uint32_t dwMicroseconds,
                  PltSocketReady* ptReady) {
    *ptReady = PltSocketReady{};
    pollfd entry{};
    entry.fd = hSocket;
    entry.events = static_cast<short>((bRead ? POLLIN : 0) | (bWrite ? POLLOUT : 0));
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(dwMicroseconds / 1000000u);
    timeout.tv_nsec = static_cast<long>(dwMicroseconds % 1000000u) * 1000L;
    const int rc = Retry([&] { return PltSysTable().pfPpoll(&entry, 1, &timeout); });
    if (rc < 0) {
        return -1;
    }
    if (rc == 0) {
        return 0;
    }
    // A closed peer shows as readable (the next receive then reports the end of the stream).
    ptReady->bReadable = (entry.revents & (POLLIN | POLLHUP)) != 0 && bRead;
    ptReady->bWritable = (entry.revents & POLLOUT) != 0 && bWrite;
    ptReady->bError = (entry.revents & (POLLERR | POLLNVAL)) != 0;
    if (ptReady->bError) {
        lastError = (entry.revents & POLLNVAL) != 0 ? EBADF : PltSocketPendingError(hSocket);
    }
    return 1;
}

long PltSocketSend(PltSocketHandle hSocket, const std::uint8_t* pbyData, std::size_t len) {
    return Retry([&] { return PltSysTable().pfSend(hSocket, pbyData, len, MSG_NOSIGNAL); });
}

long PltSocketRecv(PltSocketHandle hSocket, std::uint8_t* pbyBuffer, std::size_t len) {
    return Retry([&] { return PltSysTable().pfRecv(hSocket, pbyBuffer, len, 0); });
}

bool PltSocketWouldBlock(int nError) {
    return nError == EAGAIN || nError == EWOULDBLOCK;
}

bool PltSocketResolve(const char* pszName, std::uint32_t* pdwAddress) {
    if (pszName == nullptr || std::strlen(pszName) > PLTC_MAX_HOST_NAME) {
        lastError = EINVAL;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = PltSysTable().pfGetAddrInfo(pszName, nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        lastError = rc == EAI_SYSTEM ? errno : rc;
        return false;
    }
    bool found = false;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            sockaddr_in address{};
            std::memcpy(&address, entry->ai_addr, sizeof address);
            *pdwAddress = ntohl(address.sin_addr.s_addr);
            found = true;
            break;
        }
    }
    PltSysTable().pfFreeAddrInfo(result);
    if (!found) {
        lastError = EAI_NONAME;
    }
    return found;
}

bool PltSocketHostName(char* pszName, std::size_t size) {
    if (size == 0 || PltSysTable().pfGetHostName(pszName, size) != 0) {
        lastError = errno;
        return false;
    }
    pszName[size - 1] = '\0';
    return true;
}

std::uint16_t PltSocketLocalPort(PltSocketHandle hSocket) {
    sockaddr_storage address{};
    unsigned len = sizeof address;
    if (PltSysTable().pfGetSockName(hSocket, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        return 0;
    }
    return PltAddressPort(address);
}

std::size_t PltSocketResolveAll(const char* pszName, std::uint16_t wPort, int nFlags,
                                PltSocketAddress* ptAddresses, std::size_t wMax, int* pnError) {
    *pnError = 0;
    if (pszName == nullptr || std::strlen(pszName) > PLTC_MAX_HOST_NAME) {
        *pnError = EAI_NONAME;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ((nFlags & PLTC_RESOLVE_NUMERIC) != 0 ? AI_NUMERICHOST : 0) |
                     ((nFlags & PLTC_RESOLVE_PASSIVE) != 0 ? AI_PASSIVE : 0) | AI_NUMERICSERV;
    char szPort[8];
    std::snprintf(szPort, sizeof szPort, "%u", static_cast<unsigned>(wPort));
    addrinfo* result = nullptr;
    const int rc = PltSysTable().pfGetAddrInfo(pszName[0] == '\0' ? nullptr : pszName, szPort,
                                               &hints, &result);
    if (rc != 0 || result == nullptr) {
        *pnError = rc == 0 ? EAI_NONAME : rc;
        if (rc == EAI_SYSTEM) {
            lastError = errno;
        }
        return 0;
    }
    const std::size_t wCount = PltCopyAddresses(result, ptAddresses, wMax);
    PltSysTable().pfFreeAddrInfo(result);
    if (wCount == 0) {
        *pnError = EAI_FAMILY;
    }
    return wCount;
}

const char* PltSocketResolveErrorText(int nError) {
    return nError == EAI_SYSTEM ? std::strerror(lastError) : gai_strerror(nError);
}

const char* PltSocketErrorText(int nError) {
    return std::strerror(nError);
}

PltSocketHandle PltSocketCreateFor(const PltSocketAddress& tAddress) {
    sa_family_t family = AF_INET;
    std::memcpy(&family, tAddress.abyData.data() + offsetof(sockaddr, sa_family), sizeof family);
    const int fd = Retry([&] { return PltSysTable().pfSocket(family, SOCK_STREAM, 0); });
    return fd < 0 ? PLTC_INVALID_SOCKET : fd;
}

int PltSocketConnectTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress) {
    const int rc = PltSysTable().pfConnect(
        hSocket, reinterpret_cast<const sockaddr*>(tAddress.abyData.data()), tAddress.dwLength);
    if (rc == 0 || errno == EINPROGRESS || errno == EINTR || errno == EALREADY) {
        return 0;
    }
    lastError = errno;
    return errno;
}

bool PltSocketBindTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress) {
    return Retry([&] {
               return PltSysTable().pfBind(
                   hSocket, reinterpret_cast<const sockaddr*>(tAddress.abyData.data()),
                   tAddress.dwLength);
           }) == 0;
}

void PltSocketAddressText(const PltSocketAddress& tAddress, char* pszText, std::size_t wSize) {
    char szHost[NI_MAXHOST] = {};
    char szPort[NI_MAXSERV] = {};
    sockaddr_storage address{};
    std::memcpy(&address, tAddress.abyData.data(),
                std::min<std::size_t>(tAddress.dwLength, sizeof address));
    if (tAddress.dwLength == 0 ||
        getnameinfo(reinterpret_cast<const sockaddr*>(&address),
                    static_cast<socklen_t>(tAddress.dwLength), szHost, sizeof szHost, szPort,
                    sizeof szPort, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::snprintf(pszText, wSize, "?");
        return;
    }
    std::snprintf(pszText, wSize, address.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s", szHost,
                  szPort);
}
