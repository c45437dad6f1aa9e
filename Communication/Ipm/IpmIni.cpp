// IpmIni: the IP session manager's table, its two tasks and the protocol table.
#include "Communication/Ipm/IpmIni.h"

#include <cstdio>
#include <cstring>

#include "Communication/Ipm/IpmMulti.h"
#include "Communication/Ipm/IpmOip.h"
#include "Communication/Ipm/IpmPriv.h"
#include "Communication/Ipm/IpmTerminal.h"
#include "Communication/Ipm/IpmTrace.h"
#include "Runtime/Log.h"
#include "Runtime/Oss.h"

namespace {

// One entry of the protocol table.
struct IpmProtocolEntry {
    IpmProcessFunction pfProcess;
    IpmSendFunction pfSend;
    std::uint16_t (*pfInstall)(IpmSessionData*);
    void (*pfClose)(IpmSessionData*);
};

constexpr std::array<IpmProtocolEntry, 3> IPMC_PROTOCOLS = {{
    {IpmTerminalProcess, IpmTerminalSend, IpmTerminalInit, IpmTerminalClose},
    {IpmOipProcess, IpmOipSend, IpmOipInit, IpmOipClose},
    {IpmMultiProcess, IpmMultiSend, IpmMultiInit, IpmMultiClose},
}};

bool bInitialised = false;
std::uint16_t wConnectionThread = OSSC_NO_THREAD;
std::uint16_t wSessionThread = OSSC_NO_THREAD;
std::int32_t nSessionCount = 0;
std::array<IpmSessionData, IPMC_MAX_NR_OF_SESSIONS> atSessions;

bool ValidProtocol(std::int32_t tProtocol) {
    return tProtocol >= 0 && static_cast<std::size_t>(tProtocol) < IPMC_PROTOCOLS.size();
}

bool IsConnected(const IpmSessionData& tSession) {
    return tSession.bActive != 0 && (tSession.tSocket.tType == IpsType::Connected ||
                                     tSession.tSocket.tType == IpsType::Accepted);
}

// Releases the protocol state of a slot, if one is installed.
void RemoveProtocol(IpmSessionData& tSession) {
    IpmTraceSessionEnded(tSession);
    if (tSession.pvProtocolData != nullptr && ValidProtocol(tSession.tProtocol)) {
        IPMC_PROTOCOLS[static_cast<std::size_t>(tSession.tProtocol)].pfClose(&tSession);
    }
    tSession.pvProtocolData = nullptr;
    tSession.pfProcess = nullptr;
    tSession.pfSend = nullptr;
}

// Gives a slot back to the free pool after a failed open or accept.
void ReleaseSlot(IpmSessionData& tSession) {
    IpmDropSocket(tSession);
    RemoveProtocol(tSession);
    IpmForgetAddresses(tSession);
    tSession.bActive = 0;
    tSession.bConnecting = 0;
    tSession.wPort = 0;
    tSession.pfCallback = nullptr;
    tSession.szIpAddress.fill('\0');
    tSession.bySessionId = IPMC_NO_SESSION;
}

void AcceptOn(IpmSessionData& tListen) {
    IpsSocket tAccepted;
    if (IpsAccept(&tListen.tSocket, &tAccepted) != IPSC_OK ||
        tAccepted.socketDescr == IPSC_INVALID_SOCKET) {
        return;
    }
    const std::uint8_t bySlot = IpmFindFreeSession();
    if (bySlot >= IPMC_MAX_NR_OF_SESSIONS ||
        MdsRegisterResponseHandler(atSessions[bySlot].byChannelId, IpmResponseHandler) != 0) {
        LogError("IpmProcessConnections", IPMC_ERROR, "Could not register response handler");
        if (IpsCloseSocket(&tAccepted) != IPSC_OK) {
            LogError("IpmProcessConnections", IPMC_ERROR, "Could not close accepted socket");
        }
        return;
    }
    IpmSessionData& tNew = atSessions[bySlot];
    tNew.bActive = 1;
    tNew.tSocket = tAccepted;
    tNew.bySessionId = bySlot;
    tNew.wPort = 0;
    tNew.pfCallback = tListen.pfCallback;
    if (IpmSetProtocol(bySlot, tListen.tProtocol) != IPMC_OK) {
        // No protocol state: the connection cannot be served.
        static_cast<void>(MdsDeregisterResponseHandler(tNew.byChannelId)); // a valid id
        ReleaseSlot(tNew);
        return;
    }
    ++nSessionCount;
    IpmNotify(&tNew, IPMC_EVENT_CONNECTED);
}

} // namespace

std::uint16_t IpmInit() {
    if (!LOG_CHECK_TEXT(!bInitialised, "!bIpmInitialized", __FILE__)) {
        return IPMC_OK;
    }
    wConnectionThread = OssCreateThread(IpmProcessConnections, OSSC_EVERY_FOURTH_PASS);
    if (wConnectionThread == OSSC_NO_THREAD) {
        LogError("IpmInit", IPMC_ERROR, "Could not create connection setup thread");
        return IPMC_ERROR;
    }
    wSessionThread = OssCreateThread(IpmProcessSessions, OSSC_EVERY_PASS);
    if (wSessionThread == OSSC_NO_THREAD) {
        LogError("IpmInit", IPMC_ERROR, "Could not create session processing thread");
        if (OssDeleteThread(wConnectionThread) != 0) {
            LogError("IpmInit", IPMC_ERROR, "Could not return ProcessConnection thread %d",
                     wConnectionThread);
        }
        wConnectionThread = OSSC_NO_THREAD;
        return IPMC_ERROR;
    }
    for (std::size_t i = 0; i < atSessions.size(); ++i) {
        atSessions[i] = IpmSessionData{};
        atSessions[i].bySessionId = IPMC_NO_SESSION;
        atSessions[i].byChannelId = static_cast<std::uint8_t>(MDSC_TCPIP_SESSION_BASE + i);
    }
    nSessionCount = 0;
    bInitialised = true;
    return IPMC_OK;
}

std::uint16_t IpmTerminate() {
    if (!LOG_CHECK_TEXT(bInitialised, "bIpmInitialized", __FILE__)) {
        return IPMC_ERROR;
    }
    std::uint16_t wStatus = IPMC_OK;
    for (std::uint8_t i = 0; i < IPMC_MAX_NR_OF_SESSIONS; ++i) {
        if (atSessions[i].bySessionId != IPMC_NO_SESSION && IpmClose(i) != IPMC_OK) {
            LogError("IpmTerminate", IPMC_ERROR, "Error during closing of sessions");
            wStatus = IPMC_ERROR;
        }
    }
    if (OssDeleteThread(wConnectionThread) != 0) {
        LogError("IpmTerminate", IPMC_ERROR, "Could not return ProcessConnection thread %d",
                 wConnectionThread);
        wStatus = IPMC_ERROR;
    }
    if (OssDeleteThread(wSessionThread) != 0) {
        LogError("IpmTerminate", IPMC_ERROR, "Could not return ProcessSession thread %d",
                 wSessionThread);
        wStatus = IPMC_ERROR;
    }
    wConnectionThread = OSSC_NO_THREAD;
    wSessionThread = OSSC_NO_THREAD;
    nSessionCount = 0;
    bInitialised = false;
    return wStatus;
}

namespace {

// Opens an active session (pszHost) or a listening one on pszListen (nullptr: every IPv4 address).
std::uint8_t OpenSession(std::uint16_t wPort, const char* pszHost, const char* pszListen,
                         std::int32_t tProtocol, IpmCallback pfCallback) {
    if (!LOG_CHECK_TEXT(bInitialised, "bIpmInitialized", __FILE__)) {
        return IPMC_NO_SESSION;
    }
    const std::uint8_t bySlot = IpmFindFreeSession();
    if (bySlot == IPMC_NO_SESSION) {
        LogError("IpmOpen", IPMC_ERROR, "Too many sessions");
        return IPMC_NO_SESSION;
    }
    IpmSessionData& tSession = atSessions[bySlot];
    // Everything that can refuse the open is checked before the slot is taken.
    if (!ValidProtocol(tProtocol)) {
        LogError("IpmFailed", IPMC_ERROR, "Invalid protocol %d", tProtocol);
        return IPMC_NO_SESSION;
    }
    // The host text is kept as given and resolved again at every connect attempt.
    if (pszHost != nullptr && std::strlen(pszHost) >= IPMC_ADDRESS_SIZE) {
        LogError("IpmOpen", IPMC_ERROR, "Host name too long: %.30s...", pszHost);
        return IPMC_NO_SESSION;
    }
    IpsAddressList tListen;
    if (pszHost == nullptr && pszListen != nullptr &&
        IpsResolveNumeric(pszListen, wPort, true, &tListen) != IPSC_OK) {
        LogError("IpmOpen", IPMC_ERROR, "Not a local address: %.60s", pszListen);
        return IPMC_NO_SESSION;
    }
    tSession.pfCallback = pfCallback;
    if (IpmSetProtocol(bySlot, tProtocol) != IPMC_OK) {
        tSession.pfCallback = nullptr;
        return IPMC_NO_SESSION;
    }
    tSession.wPort = wPort;
    if (pszHost != nullptr) {
        tSession.bySessionId = bySlot;
        tSession.bConnecting = 1;
        std::snprintf(tSession.szIpAddress.data(), tSession.szIpAddress.size(), "%s", pszHost);
    } else if (pszListen == nullptr && IpsCreateSocket(&tSession.tSocket) != IPSC_OK) {
        LogError("IpmOpen", IPMC_ERROR, "Could not create socket");
        ReleaseSlot(tSession);
        return IPMC_NO_SESSION;
    } else if ((pszListen == nullptr
                    ? IpsListen(wPort, &tSession.tSocket)
                    : IpsListenOn(tListen.atAddress[0], &tSession.tSocket)) == IPSC_OK) {
        tSession.bActive = 1;
        tSession.bySessionId = bySlot;
    } else {
        ReleaseSlot(tSession);
        return IPMC_NO_SESSION;
    }
    if (MdsRegisterResponseHandler(tSession.byChannelId, IpmResponseHandler) != 0) {
        LogError("IpmOpen", IPMC_ERROR, "Could not register response handler");
        ReleaseSlot(tSession);
        return IPMC_NO_SESSION;
    }
    ++nSessionCount;
    if (pszHost != nullptr) {
        IpmStartConnect(tSession); // the session stands: a failure is reported on it
    }
    return bySlot;
}

} // namespace

std::uint8_t IpmOpen(std::uint16_t wPort, const char* pszHost, std::int32_t tProtocol,
                     IpmCallback pfCallback) {
    return OpenSession(wPort, pszHost, nullptr, tProtocol, pfCallback);
}

std::uint8_t IpmOpenListener(std::uint16_t wPort, const char* pszAddress, std::int32_t tProtocol,
                             IpmCallback pfCallback) {
    const bool bAny = pszAddress == nullptr || pszAddress[0] == '\0';
    return OpenSession(wPort, nullptr, bAny ? nullptr : pszAddress, tProtocol, pfCallback);
}

const char* IpmConnectFailure(std::uint8_t tSessionId) {
    return tSessionId < IPMC_MAX_NR_OF_SESSIONS ? atSessions[tSessionId].szFailure.data() : "";
}

std::uint16_t IpmLocalPort(std::uint8_t tSessionId) {
    return tSessionId < IPMC_MAX_NR_OF_SESSIONS ? IpsLocalPort(&atSessions[tSessionId].tSocket) : 0;
}

std::uint16_t IpmClose(std::uint8_t tSessionId) {
    LOG_CHECK_TEXT(bInitialised, "bIpmInitialized", __FILE__);
    if (!LOG_CHECK_TEXT(tSessionId < IPMC_MAX_NR_OF_SESSIONS,
                        "(BYTE)tSessionId < IPMC_MAX_NR_OF_SESSIONS", __FILE__)) {
        return IPMC_ERROR;
    }
    IpmSessionData& tSession = atSessions[tSessionId];
    if (tSession.bySessionId == IPMC_NO_SESSION) {
        return IPMC_OK;
    }
    std::uint16_t wStatus = IPMC_OK;
    const bool bWasConnected = IsConnected(tSession);
    if (MdsDeregisterResponseHandler(tSession.byChannelId) != 0) {
        LogError("IpmClose", IPMC_ERROR, "Could not deregister response handler");
        wStatus = IPMC_ERROR;
    }
    if (tSession.tSocket.socketDescr != IPSC_INVALID_SOCKET &&
        IpsCloseSocket(&tSession.tSocket) != IPSC_OK) {
        LogError("IpmClose", IPMC_ERROR, "Could not close socket of session %d",
                 tSession.bySessionId);
        wStatus = IPMC_ERROR;
    }
    tSession.tSocket = IpsSocket{};
    RemoveProtocol(tSession);
    IpmForgetAddresses(tSession);
    ++tSession.dwGeneration;
    tSession.bActive = 0;
    tSession.bConnecting = 0;
    tSession.wPort = 0;
    tSession.szIpAddress.fill('\0');
    --nSessionCount;
    if (bWasConnected) {
        IpmNotify(&tSession, IPMC_EVENT_DISCONNECTED);
    }
    tSession.pfCallback = nullptr;
    tSession.bySessionId = IPMC_NO_SESSION;
    return wStatus;
}

std::uint16_t IpmGetChannelId(std::uint8_t tSessionId, std::uint8_t* pbyChannelId) {
    LOG_CHECK_TEXT(bInitialised, "bIpmInitialized", __FILE__);
    const bool bOut = LOG_CHECK(NULL != pbyChannelId);
    if (!LOG_CHECK_TEXT(tSessionId < IPMC_MAX_NR_OF_SESSIONS,
                        "(BYTE)tSessionId < IPMC_MAX_NR_OF_SESSIONS", __FILE__) ||
        !bOut) {
        return IPMC_ERROR;
    }
    *pbyChannelId = atSessions[tSessionId].byChannelId;
    return IPMC_OK;
}

void IpmAddWaitHandles(PltWaitSet& rSet) {
    for (const IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId == IPMC_NO_SESSION ||
            tSession.tSocket.socketDescr == IPSC_INVALID_SOCKET) {
            continue;
        }
        // A connect in progress completes (or fails) on writability.
        // A full set is seen by the idle step, which then looks again soon.
        if (tSession.bConnecting == 0) {
            static_cast<void>(PltWaitAdd(rSet, static_cast<int>(tSession.tSocket.socketDescr)));
        } else if (tSession.tSocket.tType == IpsType::Connecting) {
            static_cast<void>(
                PltWaitAddWritable(rSet, static_cast<int>(tSession.tSocket.socketDescr)));
        }
    }
}

void IpmProcessConnections() {
    for (IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId == IPMC_NO_SESSION) {
            continue;
        }
        switch (tSession.tSocket.tType) {
        case IpsType::Passive:
            if (tSession.bActive != 0 && IpmSessionAvailable()) {
                AcceptOn(tSession);
            }
            break;
        case IpsType::Connecting:
            if (tSession.bActive == 0) {
                tSession.bActive = static_cast<std::uint8_t>(IpsIsConnected(&tSession.tSocket));
                if (tSession.bActive != 0) {
                    tSession.bConnecting = 0;
                    IpmNotify(&tSession, IPMC_EVENT_CONNECTED);
                } else if (tSession.tSocket.tType != IpsType::Connecting) {
                    // The connect failed (the socket layer has logged why): the next address,
                    // or after the last one a new attempt later.
                    static_cast<void>(IpsCloseSocket(&tSession.tSocket)); // logged there
                    IpmTryNextAddress(tSession, IpsLastConnectError());
                }
            }
            break;
        case IpsType::None:
            if (tSession.bConnecting != 0 && tSession.ptResolver != nullptr) {
                IpmPollResolver(tSession);
            } else if (tSession.bConnecting != 0 &&
                       OssTimeSince(tSession.dwRetryTime) >= IPMC_RECONNECT_INTERVAL_MS) {
                IpmStartConnect(tSession);
            }
            break;
        default:
            break;
        }
        // Whatever the step did (a connect that just failed included), the idle step wakes for
        // what this session waits for next.
        if (tSession.bConnecting != 0 && tSession.ptResolver != nullptr) {
            // The name is resolved on a thread of its own: look for its result now and then.
            OssDeclareDeadline(OssGetTime() + IPMC_RESOLVER_POLL_MS);
        } else if (tSession.bConnecting != 0 && tSession.tSocket.tType == IpsType::None) {
            OssDeclareDeadline(tSession.dwRetryTime + IPMC_RECONNECT_INTERVAL_MS);
        }
    }
}

void IpmProcessSessions() {
    if (!bInitialised) {
        return;
    }
    for (IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId != IPMC_NO_SESSION && IsConnected(tSession) &&
            tSession.pfProcess != nullptr) {
            tSession.pfProcess(&tSession);
        }
    }
}

std::uint16_t IpmResponseHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                 std::uint16_t wMsgLen, const std::uint8_t* ptrMsg) {
    const bool bLength = LOG_CHECK(0 != wMsgLen);
    if (!LOG_CHECK(NULL != ptrMsg) || !bLength || byChannelId < MDSC_TCPIP_SESSION_BASE ||
        byChannelId - MDSC_TCPIP_SESSION_BASE >= IPMC_MAX_NR_OF_SESSIONS) {
        return IPMC_ERROR;
    }
    IpmSessionData& tSession = atSessions[byChannelId - MDSC_TCPIP_SESSION_BASE];
    if (tSession.pfSend == nullptr) {
        return IPMC_ERROR;
    }
    return tSession.pfSend(&tSession, byMsgType, wMsgLen, ptrMsg);
}

std::uint16_t IpmSetProtocol(std::uint8_t bySlot, std::int32_t tProtocol) {
    if (bySlot >= IPMC_MAX_NR_OF_SESSIONS) {
        return IPMC_ERROR;
    }
    if (!ValidProtocol(tProtocol)) {
        LogError("IpmFailed", IPMC_ERROR, "Invalid protocol %d", tProtocol);
        return IPMC_ERROR;
    }
    IpmSessionData& tSession = atSessions[bySlot];
    const IpmProtocolEntry& tEntry = IPMC_PROTOCOLS[static_cast<std::size_t>(tProtocol)];
    tSession.tProtocol = tProtocol;
    if (tEntry.pfInstall(&tSession) != IPMC_OK) {
        tSession.pvProtocolData = nullptr;
        return IPMC_ERROR;
    }
    tSession.pfProcess = tEntry.pfProcess;
    tSession.pfSend = tEntry.pfSend;
    return IPMC_OK;
}

void IpmNotify(IpmSessionData* pSessionData, std::uint16_t wEvent) {
    if (!LOG_CHECK(pSessionData != NULL)) {
        return;
    }
    if (pSessionData->pfCallback != nullptr) {
        pSessionData->pfCallback(wEvent, pSessionData->bySessionId);
    }
}

std::uint8_t IpmFindFreeSession() {
    if (!IpmSessionAvailable()) {
        return IPMC_NO_SESSION;
    }
    for (std::uint8_t i = 0; i < IPMC_MAX_NR_OF_SESSIONS; ++i) {
        if (atSessions[i].bySessionId == IPMC_NO_SESSION) {
            return i;
        }
    }
    return IPMC_NO_SESSION;
}

bool IpmSessionAvailable() {
    return nSessionCount < IPMC_MAX_NR_OF_SESSIONS;
}

std::uint16_t IpmOpenSessionCount() {
    return static_cast<std::uint16_t>(nSessionCount);
}

bool IpmDeliver(IpmSessionData* ptSessionData, std::uint8_t byMsgType, std::uint16_t wMsgLen,
                const std::uint8_t* pbyMsg, std::uint16_t* pwStatus) {
    const std::uint32_t dwGeneration = ptSessionData->dwGeneration;
    *pwStatus = MdsExecuteMsgHandler(ptSessionData->byChannelId, byMsgType, wMsgLen, pbyMsg);
    return ptSessionData->dwGeneration == dwGeneration;
}

IpmSessionData* IpmSessionForTest(std::uint8_t bySlot) {
    return bySlot < IPMC_MAX_NR_OF_SESSIONS ? &atSessions[bySlot] : nullptr;
}

void IpmResetForTest() {
    // The scheduler is left alone: tests start it afresh and its slot ids mean nothing now.
    for (IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId != IPMC_NO_SESSION) {
            static_cast<void>(MdsDeregisterResponseHandler(tSession.byChannelId)); // a valid id
        }
        ReleaseSlot(tSession);
    }
    wConnectionThread = OSSC_NO_THREAD;
    wSessionThread = OSSC_NO_THREAD;
    bInitialised = false;
    nSessionCount = 0;
}
