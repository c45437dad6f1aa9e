#include "Platform/PltWait.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The wake pipe: PltWaitWake writes a byte, every wait watches the read end. Made before main so
// that a signal handler never finds it missing.
struct WakePipe {
    int aFds[2] = {-1, -1};
    WakePipe() {
        if (pipe2(aFds, O_CLOEXEC | O_NONBLOCK) != 0) {
            aFds[0] = -1;
            aFds[1] = -1;
        }
    }
};
const WakePipe wakePipe;

void DrainWakePipe() {
    char abyDrain[64];
    while (read(wakePipe.aFds[0], abyDrain, sizeof abyDrain) > 0) {
    }
}

bool Add(PltWaitSet& rSet, int iHandle, bool bWritable) {
    if (iHandle < 0) {
        return true;
    }
    if (rSet.wCount >= PLTC_MAX_WAIT_HANDLES) {
        return false;
    }
    rSet.abWritable[rSet.wCount] = bWritable;
    rSet.aHandles[rSet.wCount++] = iHandle;
    return true;
}

} // namespace

bool PltWaitAdd(PltWaitSet& rSet, int iHandle) {
    return Add(rSet, iHandle, false);
}

bool PltWaitAddWritable(PltWaitSet& rSet, int iHandle) {
    return Add(rSet, iHandle, true);
}

int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs) {
    pollfd aPoll[PLTC_MAX_WAIT_HANDLES + 1];
    for (std::size_t i = 0; i < rSet.wCount; ++i) {
        aPoll[i] =
            pollfd{rSet.aHandles[i], static_cast<short>(rSet.abWritable[i] ? POLLOUT : POLLIN), 0};
    }
    aPoll[rSet.wCount] = pollfd{wakePipe.aFds[0], POLLIN, 0}; // poll skips it when it is -1
    const int iTimeout = dwTimeoutMs == PLTC_WAIT_FOREVER ? -1
                         : dwTimeoutMs > 0x7FFFFFFFu      ? 0x7FFFFFFF
                                                          : static_cast<int>(dwTimeoutMs);
    int iReady = poll(aPoll, static_cast<nfds_t>(rSet.wCount + 1), iTimeout);
    if (iReady < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (aPoll[rSet.wCount].revents != 0) {
        DrainWakePipe();
        --iReady;
    }
    return iReady;
}

void PltWaitWake() {
    if (wakePipe.aFds[1] >= 0) {
        const char byWake = 1;
        (void)!write(wakePipe.aFds[1], &byWake, 1); // a full pipe already wakes the wait
    }
}
