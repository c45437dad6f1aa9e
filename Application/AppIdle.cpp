// The idle step shared by the tool and the simulator.
#include "Application/AppIdle.h"

#include <cstdio>

#include "Application/AppStreams.h"
#include "Communication/Ipm/IpmIni.h"
#include "Communication/Rsm/Rsm.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trace.h"
#include "Runtime/Trm.h"

namespace {

AppIdleWaitFunction pfIdleWait = nullptr;
std::uint32_t dwLastActivity = 0;

void IdleStep(bool bConsole) {
    // After a round in which a message was sent or received more may follow at once (a script's
    // next call, a protocol's answer): go round again without sleeping.
    const std::uint32_t dwActivity = MdsActivityCount();
    if (dwActivity != dwLastActivity) {
        dwLastActivity = dwActivity;
        return;
    }
    const std::uint32_t dwTimeout = OssTimeToNextDeadline();
    if (dwTimeout == 0) {
        return;
    }
    // A task late in the pass may have printed; nothing waits in a stdio buffer while we sleep,
    // and the capture's gathered records reach the file.
    AppFlushStreams();
    TraceFlush();
    PltWaitSet waitSet;
    bool bComplete = !bConsole || PltWaitAdd(waitSet, TrmInputDescriptor());
    RsmAddWaitHandles(waitSet);
    IpmAddWaitHandles(waitSet);
    // A set that overflowed misses handles: look again soon rather than sleep past their input.
    bComplete = bComplete && waitSet.wCount < PLTC_MAX_WAIT_HANDLES;
    const std::uint32_t dwLongest = dwTimeout == OSSC_NO_DEADLINE ? PLTC_WAIT_FOREVER : dwTimeout;
    const std::uint32_t dwWait = bComplete ? dwLongest : 1;
    (void)(pfIdleWait != nullptr ? pfIdleWait : PltWaitReadable)(waitSet, dwWait);
}

} // namespace

void AppIdleWait() {
    IdleStep(false);
}

void AppIdleWaitWithConsole() {
    IdleStep(true);
}

void AppIdleSetWaitForTest(AppIdleWaitFunction pfWait) {
    pfIdleWait = pfWait;
}
