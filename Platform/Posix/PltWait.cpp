#include "Platform/PltWait.h"

#include <cerrno>
#include <poll.h>

bool PltWaitAdd(PltWaitSet& rSet, int iHandle) {
    if (iHandle < 0) {
        return true;
    }
    if (rSet.wCount >= PLTC_MAX_WAIT_HANDLES) {
        return false;
    }
    rSet.aHandles[rSet.wCount++] = iHandle;
    return true;
}

int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs) {
    pollfd aPoll[PLTC_MAX_WAIT_HANDLES];
    for (std::size_t i = 0; i < rSet.wCount; ++i) {
        aPoll[i] = pollfd{rSet.aHandles[i], POLLIN, 0};
    }
    const int iTimeout = dwTimeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(dwTimeoutMs);
    const int iReady = poll(aPoll, static_cast<nfds_t>(rSet.wCount), iTimeout);
    if (iReady < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return iReady;
}
