// IpmConnect: the connect attempts of an active session. Its host text is resolved anew at every
// attempt (a numeric address at once, a name on the resolver's thread), its addresses are tried
// in the resolver's order, and after the last one the attempt has failed and waits for the next.
#include <cstdio>

#include "Communication/Ipm/IpmPriv.h"
#include "Runtime/Oss.h"

namespace {

// One connect attempt has failed on every address: say why and wait for the next one.
void AttemptFailed(IpmSessionData& tSession, const char* pszReason) {
    std::snprintf(tSession.szFailure.data(), tSession.szFailure.size(), "%s", pszReason);
    IpmDropSocket(tSession);
    tSession.dwRetryTime = OssGetTime();
    IpmNotify(&tSession, IPMC_EVENT_CONNECT_FAILED); // last action: may close the session
}

} // namespace

// Drops the resolved addresses and gives up a resolver still at work.
void IpmForgetAddresses(IpmSessionData& tSession) {
    IpsResolveAbandon(tSession.ptResolver);
    tSession.ptResolver = nullptr;
    tSession.tAddresses = IpsAddressList{};
    tSession.byAddress = 0;
    tSession.szFailure.fill('\0');
}

// Closes the session's socket, if it has one, and empties the record.
void IpmDropSocket(IpmSessionData& tSession) {
    if (tSession.tSocket.socketDescr != IPSC_INVALID_SOCKET) {
        static_cast<void>(IpsCloseSocket(&tSession.tSocket)); // a failure is logged there
    }
    tSession.tSocket = IpsSocket{};
}

// Starts the connect to the next resolved address that takes one; after the last, the attempt
// has failed.
void IpmTryNextAddress(IpmSessionData& tSession, const char* pszReason) {
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
void IpmStartConnect(IpmSessionData& tSession) {
    tSession.dwRetryTime = OssGetTime();
    IpmDropSocket(tSession);
    tSession.byAddress = 0;
    if (IpsResolveNumeric(tSession.szIpAddress.data(), tSession.wPort, false,
                          &tSession.tAddresses) == IPSC_OK) {
        IpmTryNextAddress(tSession, "no address");
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
void IpmPollResolver(IpmSessionData& tSession) {
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
        IpmTryNextAddress(tSession, "no address");
    }
}
