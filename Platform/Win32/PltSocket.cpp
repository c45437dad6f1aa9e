// Platform sockets on Windows: Windows Sockets 1.1 (started on first use), ioctlsocket for the
// non-blocking mode, select for the sub-millisecond readiness polls and gethostbyname for
// names. Every call goes through the replaceable table of PltWin32Sys.h; error numbers are the
// WSAGetLastError codes (10035 would block, 10036 in progress, 10061 refused).
#include "Platform/PltSocket.h"
#include "Platform/PltSocketAddr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/Win32/PltWin32Sys.h"

namespace {

constexpr WORD PLTC_WINSOCK_VERSION = 0x0101; // Windows Sockets 1.1

int WSAAPI RealIoctlSocket(SOCKET hSocket, long lCommand, u_long* pdwArgument) {
    return ioctlsocket(hSocket, lCommand, pdwArgument);
}

int WSAAPI RealSelect(int iCount, fd_set* ptRead, fd_set* ptWrite, fd_set* ptExcept,
                      timeval* ptTimeout) {
    return select(iCount, ptRead, ptWrite, ptExcept, ptTimeout);
}

constexpr PltSocketSysCalls realCalls = {
    socket,      setsockopt,    getsockopt,  RealIoctlSocket,
    connect,     bind,          listen,      accept,
    RealSelect,  send,          recv,        closesocket,
    getsockname, gethostbyname, gethostname, WSAGetLastError,
    getaddrinfo, freeaddrinfo,
};

PltSocketSysCalls calls = realCalls;
int lastError = 0;

void Cleanup() {
    WSACleanup();
}

// Starts Windows Sockets once per process; the library is released at process exit.
bool Started() {
    static const bool bStarted = [] {
        WSADATA data{};
        if (WSAStartup(PLTC_WINSOCK_VERSION, &data) != 0) {
            return false;
        }
        std::atexit(Cleanup);
        return true;
    }();
    return bStarted;
}

// Records the error of a failed call and passes its result on.
template <typename Result> Result Noted(Result rc, bool bFailed) {
    if (bFailed) {
        lastError = calls.pfWSAGetLastError();
    }
    return rc;
}

SOCKET Native(PltSocketHandle hSocket) {
    return static_cast<SOCKET>(static_cast<unsigned>(hSocket));
}

} // namespace

PltSocketSysCalls& PltSocketCalls() {
    return calls;
}

void PltSocketRestoreCalls() {
    calls = realCalls;
}

int PltSocketLastError() {
    return lastError;
}

PltSocketHandle PltSocketCreateTcp() {
    if (!Started()) {
        lastError = WSANOTINITIALISED;
        return PLTC_INVALID_SOCKET;
    }
    const SOCKET hSocket = calls.pfSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket == INVALID_SOCKET) {
        lastError = calls.pfWSAGetLastError();
        return PLTC_INVALID_SOCKET;
    }
    // Socket handles are small kernel handle values; the layer's handle type holds them.
    return static_cast<PltSocketHandle>(hSocket);
}

bool PltSocketSetIntOption(PltSocketHandle hSocket, int iLevel, int iName) {
    const BOOL one = TRUE;
    const int rc = calls.pfSetSockOpt(Native(hSocket), iLevel, iName,
                                      reinterpret_cast<const char*>(&one), sizeof one);
    return Noted(rc, rc == SOCKET_ERROR) == 0;
}

bool PltSocketSetNonBlocking(PltSocketHandle hSocket) {
    u_long dwOn = 1;
    const int rc = calls.pfIoctlSocket(Native(hSocket), static_cast<long>(FIONBIO), &dwOn);
    return Noted(rc, rc == SOCKET_ERROR) == 0;
}

bool PltSocketClose(PltSocketHandle hSocket) {
    const int rc = calls.pfCloseSocket(Native(hSocket));
    return Noted(rc, rc == SOCKET_ERROR) == 0;
}

std::uint32_t PltSocketParseAddress(const char* pszText) {
    if (pszText == nullptr) {
        return PLTC_ADDRESS_NONE;
    }
    // Four decimal parts of 0..255 separated by dots, nothing else.
    std::uint32_t dwAddress = 0;
    const char* p = pszText;
    for (int part = 0; part < 4; ++part) {
        if (*p < '0' || *p > '9') {
            return PLTC_ADDRESS_NONE;
        }
        std::uint32_t value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10u + static_cast<std::uint32_t>(*p - '0');
            if (++digits > 3 || value > 255u) {
                return PLTC_ADDRESS_NONE;
            }
            ++p;
        }
        dwAddress = (dwAddress << 8) | value;
        if (part < 3) {
            if (*p != '.') {
                return PLTC_ADDRESS_NONE;
            }
            ++p;
        }
    }
    return *p == '\0' ? dwAddress : PLTC_ADDRESS_NONE;
}

int PltSocketPendingError(PltSocketHandle hSocket) {
    int nError = 0;
    int len = sizeof nError;
    if (calls.pfGetSockOpt(Native(hSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError),
                           &len) == SOCKET_ERROR) {
        lastError = calls.pfWSAGetLastError();
        return -1;
    }
    if (nError != 0) {
        lastError = nError;
    }
    return nError;
}

bool PltSocketListen(PltSocketHandle hSocket, int nBacklog) {
    const int rc = calls.pfListen(Native(hSocket), nBacklog);
    return Noted(rc, rc == SOCKET_ERROR) == 0;
}

PltSocketHandle PltSocketAccept(PltSocketHandle hSocket) {
    sockaddr_in peer{};
    int len = sizeof peer;
    const SOCKET hAccepted =
        calls.pfAccept(Native(hSocket), reinterpret_cast<sockaddr*>(&peer), &len);
    if (hAccepted == INVALID_SOCKET) {
        lastError = calls.pfWSAGetLastError();
        return PLTC_INVALID_SOCKET;
    }
    return static_cast<PltSocketHandle>(hAccepted);
}

int PltSocketPoll(PltSocketHandle hSocket, bool bRead, bool bWrite, std::uint32_t dwMicroseconds,
                  PltSocketReady* ptReady) {
    *ptReady = PltSocketReady{};
    fd_set readSet;
    fd_set writeSet;
    fd_set exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    if (bRead) {
        FD_SET(Native(hSocket), &readSet);
    }
    if (bWrite) {
        FD_SET(Native(hSocket), &writeSet);
    }
    // A failed non-blocking connect shows in the exception set.
    FD_SET(Native(hSocket), &exceptSet);
    timeval timeout{};
    timeout.tv_sec = static_cast<long>(dwMicroseconds / 1000000u);
    timeout.tv_usec = static_cast<long>(dwMicroseconds % 1000000u);
    const int rc = calls.pfSelect(0, bRead ? &readSet : nullptr, bWrite ? &writeSet : nullptr,
                                  &exceptSet, &timeout);
    if (rc == SOCKET_ERROR) {
        lastError = calls.pfWSAGetLastError();
        return -1;
    }
    if (rc == 0) {
        return 0;
    }
    // A closed peer shows as readable (the next receive then reports the end of the stream).
    ptReady->bReadable = bRead && FD_ISSET(Native(hSocket), &readSet);
    ptReady->bWritable = bWrite && FD_ISSET(Native(hSocket), &writeSet);
    ptReady->bError = FD_ISSET(Native(hSocket), &exceptSet);
    if (ptReady->bError) {
        (void)PltSocketPendingError(hSocket);
    }
    return 1;
}

long PltSocketSend(PltSocketHandle hSocket, const std::uint8_t* pbyData, std::size_t len) {
    const int iLen = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    const int rc = calls.pfSend(Native(hSocket), reinterpret_cast<const char*>(pbyData), iLen, 0);
    return Noted(static_cast<long>(rc), rc == SOCKET_ERROR);
}

long PltSocketRecv(PltSocketHandle hSocket, std::uint8_t* pbyBuffer, std::size_t len) {
    const int iLen = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    const int rc = calls.pfRecv(Native(hSocket), reinterpret_cast<char*>(pbyBuffer), iLen, 0);
    return Noted(static_cast<long>(rc), rc == SOCKET_ERROR);
}

bool PltSocketWouldBlock(int nError) {
    return nError == WSAEWOULDBLOCK;
}

bool PltSocketResolve(const char* pszName, std::uint32_t* pdwAddress) {
    if (pszName == nullptr || std::strlen(pszName) > PLTC_MAX_HOST_NAME) {
        lastError = WSAEINVAL;
        return false;
    }
    if (!Started()) {
        lastError = WSANOTINITIALISED;
        return false;
    }
    const hostent* ptHost = calls.pfGetHostByName(pszName);
    if (ptHost == nullptr) {
        lastError = calls.pfWSAGetLastError();
        return false;
    }
    if (ptHost->h_addrtype != AF_INET || ptHost->h_length != 4 || ptHost->h_addr_list == nullptr ||
        ptHost->h_addr_list[0] == nullptr) {
        lastError = WSANO_DATA;
        return false;
    }
    // The address is in network byte order, most significant byte first.
    const auto* pbyAddress = reinterpret_cast<const std::uint8_t*>(ptHost->h_addr_list[0]);
    *pdwAddress = (static_cast<std::uint32_t>(pbyAddress[0]) << 24) |
                  (static_cast<std::uint32_t>(pbyAddress[1]) << 16) |
                  (static_cast<std::uint32_t>(pbyAddress[2]) << 8) |
                  static_cast<std::uint32_t>(pbyAddress[3]);
    return true;
}

bool PltSocketHostName(char* pszName, std::size_t size) {
    if (size == 0 || !Started()) {
        return false;
    }
    const int iSize = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (calls.pfGetHostName(pszName, iSize) == SOCKET_ERROR) {
        lastError = calls.pfWSAGetLastError();
        return false;
    }
    pszName[size - 1] = '\0';
    return true;
}

std::uint16_t PltSocketLocalPort(PltSocketHandle hSocket) {
    sockaddr_storage address{};
    int len = sizeof address;
    if (calls.pfGetSockName(Native(hSocket), reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        return 0;
    }
    return PltAddressPort(address);
}

std::size_t PltSocketResolveAll(const char* pszName, std::uint16_t wPort, int nFlags,
                                PltSocketAddress* ptAddresses, std::size_t wMax, int* pnError) {
    *pnError = 0;
    if (pszName == nullptr || std::strlen(pszName) > PLTC_MAX_HOST_NAME) {
        *pnError = WSAHOST_NOT_FOUND;
        return 0;
    }
    if (!Started()) {
        *pnError = WSANOTINITIALISED;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ((nFlags & PLTC_RESOLVE_NUMERIC) != 0 ? AI_NUMERICHOST : 0) |
                     ((nFlags & PLTC_RESOLVE_PASSIVE) != 0 ? AI_PASSIVE : 0);
    char szPort[8];
    std::snprintf(szPort, sizeof szPort, "%u", static_cast<unsigned>(wPort));
    addrinfo* result = nullptr;
    const int rc =
        calls.pfGetAddrInfo(pszName[0] == '\0' ? nullptr : pszName, szPort, &hints, &result);
    if (rc != 0 || result == nullptr) {
        *pnError = rc == 0 ? WSAHOST_NOT_FOUND : rc;
        return 0;
    }
    const std::size_t wCount = PltCopyAddresses(result, ptAddresses, wMax);
    calls.pfFreeAddrInfo(result);
    if (wCount == 0) {
        *pnError = WSANO_DATA;
    }
    return wCount;
}

const char* PltSocketResolveErrorText(int nError) {
    return PltSocketErrorText(nError);
}

const char* PltSocketErrorText(int nError) {
    // The common cases in the words the POSIX backend uses; the rest by number.
    switch (nError) {
    case WSAECONNREFUSED:
        return "Connection refused";
    case WSAETIMEDOUT:
        return "Connection timed out";
    case WSAENETUNREACH:
        return "Network is unreachable";
    case WSAEHOSTUNREACH:
        return "No route to host";
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAHOST_NOT_FOUND:
        return "Name or service not known";
    case WSATRY_AGAIN:
        return "Temporary failure in name resolution";
    case WSANO_DATA:
        return "No address associated with hostname";
    case WSAEAFNOSUPPORT:
        return "Address family not supported by protocol";
    default: {
        static char szText[32];
        std::snprintf(szText, sizeof szText, "Windows socket error %d", nError);
        return szText;
    }
    }
}

PltSocketHandle PltSocketCreateFor(const PltSocketAddress& tAddress) {
    if (!Started()) {
        lastError = WSANOTINITIALISED;
        return PLTC_INVALID_SOCKET;
    }
    sockaddr_storage address{};
    std::memcpy(&address, tAddress.abyData.data(),
                std::min<std::size_t>(tAddress.dwLength, sizeof address));
    const SOCKET hSocket = calls.pfSocket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket == INVALID_SOCKET) {
        lastError = calls.pfWSAGetLastError();
        return PLTC_INVALID_SOCKET;
    }
    return static_cast<PltSocketHandle>(hSocket);
}

int PltSocketConnectTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress) {
    const int rc =
        calls.pfConnect(Native(hSocket), reinterpret_cast<const sockaddr*>(tAddress.abyData.data()),
                        static_cast<int>(tAddress.dwLength));
    if (rc != SOCKET_ERROR) {
        return 0;
    }
    const int nError = calls.pfWSAGetLastError();
    if (nError == WSAEWOULDBLOCK || nError == WSAEINPROGRESS || nError == WSAEALREADY) {
        return 0;
    }
    lastError = nError;
    return nError;
}

bool PltSocketBindTo(PltSocketHandle hSocket, const PltSocketAddress& tAddress) {
    const int rc =
        calls.pfBind(Native(hSocket), reinterpret_cast<const sockaddr*>(tAddress.abyData.data()),
                     static_cast<int>(tAddress.dwLength));
    return Noted(rc, rc == SOCKET_ERROR) == 0;
}

void PltSocketAddressText(const PltSocketAddress& tAddress, char* pszText, std::size_t wSize) {
    sockaddr_storage address{};
    std::memcpy(&address, tAddress.abyData.data(),
                std::min<std::size_t>(tAddress.dwLength, sizeof address));
    char szHost[64] = {};
    if (address.ss_family == AF_INET) {
        const auto* ptV4 = reinterpret_cast<const sockaddr_in*>(&address);
        const auto* pbyAddress = reinterpret_cast<const std::uint8_t*>(&ptV4->sin_addr);
        std::snprintf(pszText, wSize, "%u.%u.%u.%u:%u", pbyAddress[0], pbyAddress[1], pbyAddress[2],
                      pbyAddress[3], static_cast<unsigned>(ntohs(ptV4->sin_port)));
    } else if (address.ss_family == AF_INET6) {
        const auto* ptV6 = reinterpret_cast<const sockaddr_in6*>(&address);
        // Groups in hexadecimal, without the zero-run shortening.
        std::size_t wUsed = 0;
        for (int i = 0; i < 8; ++i) {
            const unsigned nGroup = (static_cast<unsigned>(ptV6->sin6_addr.s6_addr[2 * i]) << 8) |
                                    ptV6->sin6_addr.s6_addr[2 * i + 1];
            wUsed += static_cast<std::size_t>(std::snprintf(szHost + wUsed, sizeof szHost - wUsed,
                                                            i == 0 ? "%x" : ":%x", nGroup));
        }
        std::snprintf(pszText, wSize, "[%s]:%u", szHost,
                      static_cast<unsigned>(ntohs(ptV6->sin6_port)));
    } else {
        std::snprintf(pszText, wSize, "?");
    }
}
