// IpsResolve: name resolution of the socket layer, numeric at once or on a resolver thread of its
// own so that a slow name server never stops the scheduler.
#include "Communication/Ips/Ips.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "Platform/PltSocket.h"
#include "Platform/PltThread.h"
#include "Runtime/Log.h"

// The resolver thread's work: shared by the thread and its owner; whoever lets go last frees it.
struct IpsResolver {
    std::string host;
    std::uint16_t wPort = 0;
    IpsAddressList tList;
    int nError = 0;
    std::atomic<bool> bDone{false};
    PltThread* ptThread = nullptr;
};

namespace {

// Resolvers given up while at work: joined once they have ended.
std::vector<IpsResolver*> apOrphans;

std::uint32_t ResolveRoutine(void* pvParam) {
    auto* ptResolver = static_cast<IpsResolver*>(pvParam);
    ptResolver->tList.wCount = PltSocketResolveAll(
        ptResolver->host.c_str(), ptResolver->wPort, 0, ptResolver->tList.atAddress.data(),
        ptResolver->tList.atAddress.size(), &ptResolver->nError);
    ptResolver->bDone.store(true);
    return 0;
}

// Ends a resolver whose thread has finished: true when it is joined and freed.
bool Reap(IpsResolver* ptResolver, std::uint32_t dwWaitMs) {
    if (!ptResolver->bDone.load() && dwWaitMs == 0) {
        return false;
    }
    if (!PltThreadJoin(ptResolver->ptThread, dwWaitMs == 0 ? 1000 : dwWaitMs)) {
        return false;
    }
    delete ptResolver;
    return true;
}

} // namespace

void IpsReapResolvers(std::uint32_t dwWaitMs) {
    std::erase_if(apOrphans,
                  [dwWaitMs](IpsResolver* ptResolver) { return Reap(ptResolver, dwWaitMs); });
}

std::uint16_t IpsResolveNumeric(const char* pszHost, std::uint16_t wPort, bool bPassive,
                                IpsAddressList* ptList) {
    int nError = 0;
    ptList->wCount =
        PltSocketResolveAll(pszHost == nullptr ? "" : pszHost, wPort,
                            PLTC_RESOLVE_NUMERIC | (bPassive ? PLTC_RESOLVE_PASSIVE : 0),
                            ptList->atAddress.data(), ptList->atAddress.size(), &nError);
    return ptList->wCount > 0 ? IPSC_OK : IPSC_ERROR;
}

IpsResolver* IpsResolveStart(const char* pszHost, std::uint16_t wPort) {
    IpsReapResolvers(0);
    auto* ptResolver = new (std::nothrow) IpsResolver;
    if (ptResolver == nullptr) {
        return nullptr;
    }
    ptResolver->host = pszHost;
    ptResolver->wPort = wPort;
    std::uint32_t dwId = 0;
    ptResolver->ptThread = PltThreadStart(ResolveRoutine, ptResolver, &dwId);
    if (ptResolver->ptThread == nullptr) {
        LogError("IpsResolveStart", IPSC_ERROR, "Could not start the resolver thread");
        delete ptResolver;
        return nullptr;
    }
    return ptResolver;
}

int IpsResolvePoll(IpsResolver* ptResolver, IpsAddressList* ptList, char* pszReason) {
    if (ptResolver == nullptr || !ptResolver->bDone.load()) {
        return 0;
    }
    const IpsAddressList tList = ptResolver->tList;
    const int nError = ptResolver->nError;
    if (!Reap(ptResolver, 0)) {
        return 0; // finishing: asked again on the next pass
    }
    if (tList.wCount == 0) {
        std::snprintf(pszReason, IPSC_REASON_SIZE, "%s", PltSocketResolveErrorText(nError));
        LogError("IpsResolvePoll", IPSC_ERROR, "Could not resolve host: %s", pszReason);
        return -1;
    }
    *ptList = tList;
    return 1;
}

void IpsResolveAbandon(IpsResolver* ptResolver) {
    if (ptResolver != nullptr && !Reap(ptResolver, 0)) {
        apOrphans.push_back(ptResolver);
    }
}
