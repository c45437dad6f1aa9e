// Ips: the IP socket layer over the platform's sockets.
#include "Communication/Ips/Ips.h"

#include <cstdio>
#include <cstring>

#include "Platform/PltSocket.h"
#include "Runtime/Log.h"

namespace {

bool bInitialised = false;
int nLastConnectError = 0;      // error number of the last connect that failed
std::uint16_t wOpenSockets = 0; // sockets opened and not closed yet
std::uint32_t dwPollTimeoutUs = IPSC_POLL_TIMEOUT_US; // how long a readiness poll waits

PltSocketHandle Handle(const IpsSocket* pSocket) {
    return static_cast<PltSocketHandle>(pSocket->socketDescr);
}

// Gives a socket the layer's modes. Logs the first failing step under pszName.
bool SetModes(PltSocketHandle hSocket, const char* pszName) {
    if (!PltSocketSetNoDelay(hSocket)) {
        LogError(pszName, IPSC_ERROR, "setsockopt TCP_NODELAY failed, errno=%d",
                 PltSocketLastError());
        return false;
    }
    if (!PltSocketSetKeepAlive(hSocket)) {
        LogError(pszName, IPSC_ERROR, "setsockopt SO_KEEPALIVE failed, errno=%d",
                 PltSocketLastError());
        return false;
    }
    if (!PltSocketSetNonBlocking(hSocket)) {
        LogError(pszName, IPSC_ERROR, "Could not set nonblocking mode, errno=%d",
                 PltSocketLastError());
        return false;
    }
    return true;
}

// Keeps a socket just opened in the record, counted among the open ones.
void Keep(IpsSocket* pSocket, PltSocketHandle hSocket) {
    pSocket->socketDescr = static_cast<std::uint32_t>(hSocket);
    ++wOpenSockets;
}

} // namespace

std::uint16_t IpsInit() {
    LOG_CHECK_TEXT(!bInitialised, "!bIsInitialised", __FILE__);
    // The platform's sockets need no start-up.
    bInitialised = true;
    return IPSC_OK;
}

std::uint16_t IpsTerminate() {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    IpsReapResolvers(100);
    bInitialised = false;
    return IPSC_OK;
}

std::uint16_t IpsCreateSocket(IpsSocket* pSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != pSocket)) {
        return IPSC_ERROR;
    }
    pSocket->tType = IpsType::None;
    const PltSocketHandle hSocket = PltSocketCreateTcp();
    if (hSocket == PLTC_INVALID_SOCKET) {
        LogError("IpsCreateSocket", IPSC_ERROR, "Could not construct socket, errno=%d",
                 PltSocketLastError());
        pSocket->socketDescr = IPSC_INVALID_SOCKET;
        return IPSC_ERROR;
    }
    Keep(pSocket, hSocket);
    if (!SetModes(hSocket, "IpsCreateSocket")) {
        static_cast<void>(IpsCloseSocket(pSocket)); // a failure is logged there
        return IPSC_ERROR;
    }
    return IPSC_OK;
}

std::uint16_t IpsCloseSocket(IpsSocket* pSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != pSocket)) {
        return IPSC_ERROR;
    }
    // A record without a socket has nothing to close.
    if (pSocket->socketDescr != IPSC_INVALID_SOCKET) {
        if (!PltSocketClose(Handle(pSocket))) {
            LogError("IpsCloseSocket", IPSC_ERROR, "Could not close socket, errno=%d",
                     PltSocketLastError());
            return IPSC_ERROR;
        }
        --wOpenSockets;
    }
    pSocket->socketDescr = IPSC_INVALID_SOCKET;
    pSocket->tType = IpsType::None;
    return IPSC_OK;
}

std::uint16_t IpsConnect(std::uint16_t wPort, const char* pszAddress, IpsSocket* pSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != pSocket)) {
        return IPSC_ERROR;
    }
    const std::uint32_t dwAddress = PltSocketParseAddress(pszAddress);
    if (dwAddress == PLTC_ADDRESS_NONE) {
        LogError("IpsConnect", IPSC_ERROR, "Could not convert IP Address, errno=%d",
                 PltSocketLastError());
        return IPSC_ERROR;
    }
    if (pSocket->socketDescr == IPSC_INVALID_SOCKET) {
        LogError("IpsConnect", IPSC_ERROR, "Connect failure, errno=%d", 0);
        return IPSC_ERROR;
    }
    const int nError = PltSocketConnect(Handle(pSocket), dwAddress, wPort);
    if (nError != 0) {
        LogError("IpsConnect", IPSC_ERROR, "Connect failure, errno=%d", nError);
        return IPSC_ERROR;
    }
    pSocket->tType = IpsType::Connecting;
    return IPSC_OK;
}

std::uint16_t IpsIsConnected(IpsSocket* pSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != pSocket)) {
        return 0;
    }
    if (pSocket->socketDescr == IPSC_INVALID_SOCKET) {
        return 0;
    }
    PltSocketReady tReady;
    if (PltSocketPoll(Handle(pSocket), false, true, dwPollTimeoutUs, &tReady) != 1 ||
        !(tReady.bWritable || tReady.bError)) {
        return 0;
    }
    if (pSocket->tType == IpsType::Connecting) {
        // A socket whose connect failed also shows as ready: only a clear pending error means
        // the connection stands.
        // (An error condition found by the poll has already taken the pending error.)
        const int nError = tReady.bError ? -1 : PltSocketPendingError(Handle(pSocket));
        if (nError != 0) {
            nLastConnectError = nError < 0 ? PltSocketLastError() : nError;
            LogError("IpsIsConnected", IPSC_ERROR, "Connect failure, errno=%d",
                     nError < 0 ? PltSocketLastError() : nError);
            pSocket->tType = IpsType::None;
            return 0;
        }
        pSocket->tType = IpsType::Connected;
        return 1;
    }
    return tReady.bWritable ? 1 : 0;
}

std::uint16_t IpsListen(std::uint16_t wPort, IpsSocket* pSocket, const char* pszAddress) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != pSocket)) {
        return IPSC_ERROR;
    }
    pSocket->tType = IpsType::Passive;
    const PltSocketHandle hSocket = Handle(pSocket);
    const char* pszFailure = nullptr;
    const std::uint32_t dwAddress =
        pszAddress != nullptr ? PltSocketParseAddress(pszAddress) : PLTC_ADDRESS_ANY;
    if (pSocket->socketDescr == IPSC_INVALID_SOCKET) {
        pszFailure = "Could not bind to socket, errno=%d";
    } else if (dwAddress == PLTC_ADDRESS_NONE) {
        pszFailure = "Could not convert IP Address, errno=%d";
    } else if (!PltSocketSetReuseAddress(hSocket) || !PltSocketBind(hSocket, wPort, dwAddress)) {
        pszFailure = "Could not bind to socket, errno=%d";
    } else if (!PltSocketListen(hSocket, IPSC_LISTEN_BACKLOG)) {
        pszFailure = "Socket listen error, errno=%d";
    }
    if (pszFailure == nullptr) {
        return IPSC_OK;
    }
    LogError("IpsListen", IPSC_ERROR, pszFailure, PltSocketLastError());
    // The socket is of no further use; close it here so that it does not leak.
    if (pSocket->socketDescr != IPSC_INVALID_SOCKET) {
        static_cast<void>(PltSocketClose(hSocket)); // given up either way
        --wOpenSockets;
    }
    pSocket->socketDescr = IPSC_INVALID_SOCKET;
    return IPSC_ERROR;
}

std::uint16_t IpsAccept(IpsSocket* pListenSocket, IpsSocket* pAcceptedSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    const bool bListen = LOG_CHECK(NULL != pListenSocket);
    if (!LOG_CHECK(NULL != pAcceptedSocket) || !bListen) {
        return IPSC_ERROR;
    }
    LOG_CHECK_TEXT(IpsType::Passive == pListenSocket->tType,
                   "IpsType::Passive == pListenSocket->tType", __FILE__);
    pAcceptedSocket->tType = IpsType::Accepted;
    pAcceptedSocket->socketDescr = IPSC_INVALID_SOCKET;
    if (pListenSocket->socketDescr == IPSC_INVALID_SOCKET) {
        return IPSC_OK;
    }
    PltSocketReady tReady;
    const int nReady = PltSocketPoll(Handle(pListenSocket), true, false, dwPollTimeoutUs, &tReady);
    if (nReady < 0 || tReady.bError) {
        LogError("IpsAccept", IPSC_ERROR, "Socket error on select, errno=%d", PltSocketLastError());
        return IPSC_ERROR;
    }
    if (nReady == 0 || !tReady.bReadable) {
        return IPSC_OK;
    }
    const PltSocketHandle hAccepted = PltSocketAccept(Handle(pListenSocket));
    if (hAccepted == PLTC_INVALID_SOCKET) {
        if (PltSocketWouldBlock(PltSocketLastError())) {
            return IPSC_OK; // the connection went away again before it was taken
        }
        LogError("IpsAccept", IPSC_ERROR, "Socket accept error, errno=%d", PltSocketLastError());
        return IPSC_ERROR;
    }
    // Accepted sockets do not inherit every mode of the listening one: set them here.
    if (!SetModes(hAccepted, "IpsAccept")) {
        static_cast<void>(PltSocketClose(hAccepted)); // given up either way
        return IPSC_ERROR;
    }
    Keep(pAcceptedSocket, hAccepted);
    return IPSC_OK;
}

std::uint16_t IpsWrite(IpsSocket* pSocket, const void* pvBuffer, std::uint32_t dwLength) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    const bool bSocket = LOG_CHECK(NULL != pSocket);
    if (!LOG_CHECK(NULL != pvBuffer) || !bSocket) {
        return IPSC_ERROR;
    }
    PltSocketReady tReady;
    if (pSocket->socketDescr == IPSC_INVALID_SOCKET ||
        PltSocketPoll(Handle(pSocket), false, true, dwPollTimeoutUs, &tReady) != 1 ||
        !tReady.bWritable || tReady.bError) {
        LogError("IpsWrite", IPSC_ERROR, "Write to socket failed, errno=%d", PltSocketLastError());
        return IPSC_ERROR;
    }
    const auto* pbyData = static_cast<const std::uint8_t*>(pvBuffer);
    std::uint32_t dwSent = 0;
    while (dwSent < dwLength) {
        const std::uint32_t dwPiece =
            dwLength - dwSent < IPSC_SEND_PIECE ? dwLength - dwSent : IPSC_SEND_PIECE;
        const long nTaken = PltSocketSend(Handle(pSocket), pbyData + dwSent, dwPiece);
        if (nTaken <= 0) {
            LogError("IpsWrite", IPSC_TRANSFER_ERROR, "Write to socket failed, errno=%d",
                     PltSocketLastError());
            return IPSC_TRANSFER_ERROR;
        }
        dwSent += static_cast<std::uint32_t>(nTaken);
    }
    return IPSC_OK;
}

std::uint16_t IpsRead(IpsSocket* pSocket, std::uint8_t* pReceiveBuffer, std::uint32_t dwSize,
                      std::uint32_t* pdwReceived) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    const bool bSocket = LOG_CHECK(NULL != pSocket);
    if (!LOG_CHECK(NULL != pReceiveBuffer) || !bSocket || pdwReceived == nullptr) {
        return IPSC_TRANSFER_ERROR;
    }
    *pdwReceived = 0;
    PltSocketReady tReady;
    const int nReady = pSocket->socketDescr == IPSC_INVALID_SOCKET
                           ? -1
                           : PltSocketPoll(Handle(pSocket), true, false, dwPollTimeoutUs, &tReady);
    if (nReady < 0 || tReady.bError) {
        LogError("IpsRead", IPSC_ERROR, "Socket error on select, errno=%d", PltSocketLastError());
        if (dwSize > 0) {
            pReceiveBuffer[0] = 0;
        }
        return IPSC_TRANSFER_ERROR;
    }
    if (nReady == 0 || !tReady.bReadable || dwSize == 0) {
        if (dwSize > 0) {
            pReceiveBuffer[0] = 0;
        }
        return IPSC_OK;
    }
    const long nReceived = PltSocketRecv(Handle(pSocket), pReceiveBuffer, dwSize);
    if (nReceived < 0 && PltSocketWouldBlock(PltSocketLastError())) {
        return IPSC_OK; // readiness without data: nothing yet
    }
    if (nReceived <= 0) {
        LogError("IpsRead", IPSC_ERROR, "Socket error, errno=%d",
                 nReceived == 0 ? 0 : PltSocketLastError());
        return IPSC_TRANSFER_ERROR;
    }
    *pdwReceived = static_cast<std::uint32_t>(nReceived);
    return IPSC_OK;
}

std::uint16_t IpsIpAddress(const char* pszHost, char* lpszIpAddress) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    if (!LOG_CHECK(NULL != lpszIpAddress)) {
        return IPSC_ERROR;
    }
    char szHostName[IPSC_HOST_NAME_SIZE] = {};
    const char* pszName = pszHost;
    if (pszName == nullptr || pszName[0] == '\0') {
        pszName = PltSocketHostName(szHostName, sizeof szHostName) ? szHostName : "localhost";
    }
    std::uint32_t dwAddress = 0;
    if (!PltSocketResolve(pszName, &dwAddress)) {
        LogError("IpsIpAddress", IPSC_ERROR, "Could not resolve host, errno=%d",
                 PltSocketLastError());
        return IPSC_ERROR;
    }
    std::snprintf(lpszIpAddress, IPSC_ADDRESS_SIZE, "%u.%u.%u.%u", (dwAddress >> 24) & 0xFFu,
                  (dwAddress >> 16) & 0xFFu, (dwAddress >> 8) & 0xFFu, dwAddress & 0xFFu);
    return IPSC_OK;
}

std::uint16_t IpsLocalPort(const IpsSocket* pSocket) {
    if (pSocket == nullptr || pSocket->socketDescr == IPSC_INVALID_SOCKET) {
        return 0;
    }
    return PltSocketLocalPort(Handle(pSocket));
}

std::uint16_t IpsOpenSocketCount() {
    return wOpenSockets;
}

void IpsSetPollTimeout(std::uint32_t dwMicroseconds) {
    dwPollTimeoutUs = dwMicroseconds;
}

void IpsResetForTest() {
    IpsReapResolvers(1000); // no resolver of an earlier test outlives it
    bInitialised = false;
    dwPollTimeoutUs = IPSC_POLL_TIMEOUT_US;
    wOpenSockets = 0;
}

std::uint16_t IpsConnectTo(const PltSocketAddress& tAddress, IpsSocket* pSocket, char* pszReason) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    *pSocket = IpsSocket{};
    const PltSocketHandle hSocket = PltSocketCreateFor(tAddress);
    int nError = 0;
    if (hSocket == PLTC_INVALID_SOCKET) {
        nError = PltSocketLastError();
    } else {
        Keep(pSocket, hSocket);
        if (!SetModes(hSocket, "IpsConnectTo")) {
            nError = PltSocketLastError();
        } else {
            nError = PltSocketConnectTo(hSocket, tAddress);
        }
    }
    if (nError != 0) {
        nLastConnectError = nError;
        LogError("IpsConnectTo", IPSC_ERROR, "Connect failure, errno=%d", nError);
        if (pszReason != nullptr) {
            std::snprintf(pszReason, IPSC_REASON_SIZE, "%s", PltSocketErrorText(nError));
        }
        if (pSocket->socketDescr != IPSC_INVALID_SOCKET) {
            static_cast<void>(IpsCloseSocket(pSocket)); // a failure is logged there
        }
        return IPSC_ERROR;
    }
    pSocket->tType = IpsType::Connecting;
    return IPSC_OK;
}

const char* IpsLastErrorText() {
    const int nError = PltSocketLastError();
    return nError == 0 ? "the socket did not take it" : PltSocketErrorText(nError);
}

const char* IpsLastConnectError() {
    return PltSocketErrorText(nLastConnectError);
}

std::uint16_t IpsListenOn(const PltSocketAddress& tAddress, IpsSocket* pSocket) {
    LOG_CHECK_TEXT(bInitialised, "bIsInitialised", __FILE__);
    *pSocket = IpsSocket{};
    const PltSocketHandle hSocket = PltSocketCreateFor(tAddress);
    if (hSocket == PLTC_INVALID_SOCKET) {
        LogError("IpsListenOn", IPSC_ERROR, "Could not construct socket, errno=%d",
                 PltSocketLastError());
        return IPSC_ERROR;
    }
    Keep(pSocket, hSocket);
    if (!SetModes(hSocket, "IpsListenOn") || !PltSocketSetReuseAddress(hSocket) ||
        !PltSocketBindTo(hSocket, tAddress) || !PltSocketListen(hSocket, IPSC_LISTEN_BACKLOG)) {
        LogError("IpsListenOn", IPSC_ERROR, "Could not listen, errno=%d", PltSocketLastError());
        static_cast<void>(IpsCloseSocket(pSocket)); // a failure is logged there
        return IPSC_ERROR;
    }
    pSocket->tType = IpsType::Passive;
    return IPSC_OK;
}

void IpsAddressText(const PltSocketAddress& tAddress, char* pszText) {
    PltSocketAddressText(tAddress, pszText, PLTC_ADDRESS_TEXT);
}
