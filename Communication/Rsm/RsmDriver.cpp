// The byte driver under the manager: the serial port driver, or the one a test sets, and the link
// trace's tap on its writes and reads while a capture is open.
#include "Communication/Rsm/Rsm.h"

#include "Communication/Rsm/RsmPriv.h"
#include "Driver/Uas/Uas.h"
#include "Runtime/Oss.h"
#include "Runtime/Trace.h"

namespace {

static_assert(RSMC_READ_HUNG_UP == UASC_HUNG_UP, "the driver's hang-up status");

constexpr RsmDriverOps RSMC_UAS_DRIVER = {UasOpen,        UasClose,        UasWriteBuffer,
                                          UasReadBuffer,  UasPurge,        UasIsOpen,
                                          UasSetBaudrate, UasEnableNotify, UasReadHandle};

const RsmDriverOps* pDriver = &RSMC_UAS_DRIVER;

// While a capture is open, the protocols' reads and writes pass the link trace's tap.
std::uint16_t TracedWrite(std::uint8_t byComport, std::uint16_t wCount,
                          const std::uint8_t* pbyData) {
    if (const RsmPort* pPort = RsmFindOpen(byComport); pPort != nullptr) {
        RsmTraceSent(*pPort, wCount, pbyData);
    }
    return pDriver->pfWrite(byComport, wCount, pbyData);
}

std::uint16_t TracedRead(std::uint8_t byComport, std::uint16_t wMax, std::uint8_t* pbyData,
                         std::uint16_t* pwCount) {
    const std::uint16_t wStatus = pDriver->pfRead(byComport, wMax, pbyData, pwCount);
    if (const RsmPort* pPort = RsmFindOpen(byComport); pPort != nullptr) {
        RsmTraceReceived(*pPort, wStatus == 0 ? *pwCount : 0, pbyData, OssGetTime());
    }
    return wStatus;
}

} // namespace

const RsmDriverOps& RsmDriver() {
    if (!TraceActive()) {
        return *pDriver;
    }
    static RsmDriverOps tTraced;
    tTraced = *pDriver;
    tTraced.pfWrite = TracedWrite;
    tTraced.pfRead = TracedRead;
    return tTraced;
}

void RsmSetDriver(const RsmDriverOps* pOps) {
    pDriver = pOps != nullptr ? pOps : &RSMC_UAS_DRIVER;
}
