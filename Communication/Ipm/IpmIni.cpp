// IpmIni: the IP session manager's table, its two tasks and the protocol table.
#include "Communication/Ipm/IpmIni.h"

#include <cstdio>
#include <cstring>

#include "Communication/Ipm/IpmMulti.h"
#include "Communication/Ipm/IpmOip.h"
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

constexpr std::array<IpmProtocolEntry, 3> atProtocols = {{
    {IpmTerminalProcess, IpmTerminalSend, IpmTerminalInit, IpmTerminalClose},
    {IpmOipProcess, IpmOipSend, IpmOipInit, IpmOipClose},
    {IpmMultiProcess, IpmMultiSend, IpmMultiInit, IpmMultiClose},
}};

bool bIpmInitialized = false;
std::uint16_t wConnectionThread = OSSC_NO_THREAD;
std::uint16_t wSessionThread = OSSC_NO_THREAD;
std::int32_t nSessionCount = 0;
std::array<IpmSessionData, IPMC_MAX_NR_OF_SESSIONS> atSessions;

bool ValidProtocol(std::int32_t tProtocol) {
    return tProtocol >= 0 && static_cast<std::size_t>(tProtocol) < atProtocols.size();
}

bool IsConnected(const IpmSessionData& tSession) {
    return tSession.bActive != 0 && (tSession.tSocket.tType == IpsType::IPSC_CONNECTED ||
                                     tSession.tSocket.tType == IpsType::IPSC_ACCEPTED);
}

// Releases the protocol state of a slot, if one is installed.
void RemoveProtocol(IpmSessionData& tSession) {
    IpmTraceSessionEnded(tSession);
    if (tSession.pvProtocolData != nullptr && ValidProtocol(tSession.tProtocol)) {
        atProtocols[static_cast<std::size_t>(tSession.tProtocol)].pfClose(&tSession);
    }
    tSession.pvProtocolData = nullptr;
    tSession.pfProcess = nullptr;
    tSession.pfSend = nullptr;
}

// Drops the resolved addresses and gives up a resolver still at work.
void ForgetAddresses(IpmSessionData& tSession) {
    IpsResolveAbandon(tSession.ptResolver);
    tSession.ptResolver = nullptr;
    tSession.tAddresses = IpsAddressList{};
    tSession.byAddress = 0;
    tSession.szFailure.fill('\0');
}

// Gives a slot back to the free pool after a failed open or accept.
void ReleaseSlot(IpmSessionData& tSession) {
    if (tSession.tSocket.socketDescr != 0) {
        IpsCloseSocket(&tSession.tSocket);
    }
    tSession.tSocket = IpsSocket{};
    RemoveProtocol(tSession);
    ForgetAddresses(tSession);
    tSession.bActive = 0;
    tSession.bConnecting = 0;
    tSession.wPort = 0;
    tSession.pfCallback = nullptr;
    tSession.szIpAddress.fill('\0');
    tSession.bySessionId = IPMC_NO_SESSION;
}

// One connect attempt has failed on every address: say why and wait for the next one.
void AttemptFailed(IpmSessionData& tSession, const char* pszReason) {
    std::snprintf(tSession.szFailure.data(), tSession.szFailure.size(), "%s", pszReason);
    if (tSession.tSocket.socketDescr != 0) {
        IpsCloseSocket(&tSession.tSocket);
    }
    tSession.tSocket = IpsSocket{};
    tSession.dwRetryTime = OssGetTime();
    IpmNotify(&tSession, IPMC_EVENT_CONNECT_FAILED); // last action: may close the session
}

// Starts the connect to the next resolved address that takes one; after the last, the attempt
// has failed.
void TryNextAddress(IpmSessionData& tSession, const char* pszReason) {
    char szReason[IPSC_REASON_SIZE] = {};
    std::snprintf(szReason, sizeof szReason, "%s", pszReason);
    while (tSession.byAddress < tSession.tAddresses.wCount) {
        const PltSocketAddress& tAddress = tSession.tAddresses.atAddress[tSession.byAddress++];
        if (IpsConnectTo(tAddress, &tSession.tSocket, szReason) == IPSC_OK) {
            return;
        }
    }
    AttemptFailed(tSession, szReason);
}

// Starts (again) the connect of an active session: the host text resolved anew (a numeric
// address at once, a name on the resolver's thread), then its addresses in the resolver's order.
void StartConnect(IpmSessionData& tSession) {
    tSession.dwRetryTime = OssGetTime();
    if (tSession.tSocket.socketDescr != 0) {
        IpsCloseSocket(&tSession.tSocket);
    }
    tSession.tSocket = IpsSocket{};
    tSession.byAddress = 0;
    if (IpsResolveNumeric(tSession.szIpAddress.data(), tSession.wPort, false,
                          &tSession.tAddresses) == IPSC_OK) {
        TryNextAddress(tSession, "no address");
        return;
    }
    tSession.tAddresses.wCount = 0;
    if (tSession.ptResolver == nullptr) {
        tSession.ptResolver = IpsResolveStart(tSession.szIpAddress.data(), tSession.wPort);
    }
    if (tSession.ptResolver == nullptr) {
        AttemptFailed(tSession, "no resolver");
    }
}

// A name being resolved: on to its addresses once the resolver has ended.
void PollResolver(IpmSessionData& tSession) {
    char szReason[IPSC_REASON_SIZE] = {};
    const int nResult = IpsResolvePoll(tSession.ptResolver, &tSession.tAddresses, szReason);
    if (nResult == 0) {
        return;
    }
    tSession.ptResolver = nullptr;
    tSession.byAddress = 0;
    if (nResult < 0) {
        AttemptFailed(tSession, szReason);
    } else {
        TryNextAddress(tSession, "no address");
    }
}

void AcceptOn(IpmSessionData& tListen) {
    IpsSocket tAccepted;
    if (IpsAccept(&tListen.tSocket, &tAccepted) != IPSC_OK || tAccepted.socketDescr == 0) {
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
        MdsDeregisterResponseHandler(tNew.byChannelId);
        ReleaseSlot(tNew);
        return;
    }
    ++nSessionCount;
    IpmNotify(&tNew, IPMC_EVENT_CONNECTED);
}

} // namespace

bool IpmCheck(bool bHolds, const char* pszCondition, const char* pszFile, int nLine) {
    if (!bHolds) {
        std::printf("Assertion failed: %s, file %s, line %d\r\n", pszCondition, pszFile, nLine);
    }
    return bHolds;
}

std::uint16_t IpmInit() {
    if (!IPM_CHECK(!bIpmInitialized)) {
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
    bIpmInitialized = true;
    return IPMC_OK;
}

std::uint16_t IpmTerminate() {
    if (!IPM_CHECK(bIpmInitialized)) {
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
        wStatus = static_cast<std::uint16_t>(wStatus + IPMC_ERROR);
    }
    if (OssDeleteThread(wSessionThread) != 0) {
        LogError("IpmTerminate", IPMC_ERROR, "Could not return ProcessSession thread %d",
                 wSessionThread);
        wStatus = static_cast<std::uint16_t>(wStatus + IPMC_ERROR);
    }
    wConnectionThread = OSSC_NO_THREAD;
    wSessionThread = OSSC_NO_THREAD;
    nSessionCount = 0;
    bIpmInitialized = false;
    return wStatus;
}

namespace {

// Opens an active session (pszHost) or a listening one on pszListen (nullptr: every IPv4 address).
std::uint8_t OpenSession(std::uint16_t wPort, const char* pszHost, const char* pszListen,
                         std::int32_t tProtocol, IpmCallback pfCallback) {
    if (!IPM_CHECK(bIpmInitialized)) {
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
        StartConnect(tSession); // the session stands: a failure is reported on it
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

// Checks a session id given by a caller.
static bool ValidSessionId(std::uint8_t tSessionId, int nLine) {
    return IpmCheck(tSessionId < IPMC_MAX_NR_OF_SESSIONS,
                    "(BYTE)tSessionId < IPMC_MAX_NR_OF_SESSIONS", __FILE__, nLine);
}

std::uint16_t IpmClose(std::uint8_t tSessionId) {
    IPM_CHECK(bIpmInitialized);
    if (!ValidSessionId(tSessionId, __LINE__)) {
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
    if (tSession.tSocket.socketDescr != 0 && IpsCloseSocket(&tSession.tSocket) != IPSC_OK) {
        LogError("IpmClose", IPMC_ERROR, "Could not close socket of session %d",
                 tSession.bySessionId);
        wStatus = IPMC_ERROR;
    }
    tSession.tSocket = IpsSocket{};
    RemoveProtocol(tSession);
    ForgetAddresses(tSession);
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
    IPM_CHECK(bIpmInitialized);
    const bool bOut = IPM_CHECK(NULL != pbyChannelId);
    if (!ValidSessionId(tSessionId, __LINE__) || !bOut) {
        return IPMC_ERROR;
    }
    *pbyChannelId = atSessions[tSessionId].byChannelId;
    return IPMC_OK;
}

void IpmAddWaitHandles(PltWaitSet& rSet) {
    for (const IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId == IPMC_NO_SESSION || tSession.tSocket.socketDescr == 0) {
            continue;
        }
        // A connect in progress completes (or fails) on writability.
        if (tSession.bConnecting == 0) {
            PltWaitAdd(rSet, static_cast<int>(tSession.tSocket.socketDescr));
        } else if (tSession.tSocket.tType == IpsType::IPSC_CONNECTING) {
            PltWaitAddWritable(rSet, static_cast<int>(tSession.tSocket.socketDescr));
        }
    }
}

void IpmProcessConnections() {
    for (IpmSessionData& tSession : atSessions) {
        if (tSession.bySessionId == IPMC_NO_SESSION) {
            continue;
        }
        switch (tSession.tSocket.tType) {
        case IpsType::IPSC_PASSIVE:
            if (tSession.bActive != 0 && IpmSessionAvailable()) {
                AcceptOn(tSession);
            }
            break;
        case IpsType::IPSC_CONNECTING:
            if (tSession.bActive == 0) {
                tSession.bActive = static_cast<std::uint8_t>(IpsIsConnected(&tSession.tSocket));
                if (tSession.bActive != 0) {
                    tSession.bConnecting = 0;
                    IpmNotify(&tSession, IPMC_EVENT_CONNECTED);
                } else if (tSession.tSocket.tType != IpsType::IPSC_CONNECTING) {
                    // The connect failed (the socket layer has logged why): the next address,
                    // or after the last one a new attempt later.
                    IpsCloseSocket(&tSession.tSocket);
                    TryNextAddress(tSession, IpsLastConnectError());
                }
            }
            break;
        case IpsType::IPSC_NONE:
            if (tSession.bConnecting != 0 && tSession.ptResolver != nullptr) {
                PollResolver(tSession);
            } else if (tSession.bConnecting != 0 &&
                       OssTimeSince(tSession.dwRetryTime) >= IPMC_RECONNECT_INTERVAL_MS) {
                StartConnect(tSession);
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
        } else if (tSession.bConnecting != 0 && tSession.tSocket.tType == IpsType::IPSC_NONE) {
            OssDeclareDeadline(tSession.dwRetryTime + IPMC_RECONNECT_INTERVAL_MS);
        }
    }
}

void IpmProcessSessions() {
    if (!bIpmInitialized) {
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
    const bool bLength = IPM_CHECK(0 != wMsgLen);
    if (!IPM_CHECK(NULL != ptrMsg) || !bLength || byChannelId < MDSC_TCPIP_SESSION_BASE ||
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
    const IpmProtocolEntry& tEntry = atProtocols[static_cast<std::size_t>(tProtocol)];
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
    if (!IPM_CHECK(pSessionData != NULL)) {
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
            MdsDeregisterResponseHandler(tSession.byChannelId);
        }
        ReleaseSlot(tSession);
    }
    wConnectionThread = OSSC_NO_THREAD;
    wSessionThread = OSSC_NO_THREAD;
    bIpmInitialized = false;
    nSessionCount = 0;
}
