#include "tests/support/LeakGuard.h"

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace talvo_test {

namespace {

void Count(std::string& text, unsigned nCount, const char* pszWhat) {
    if (nCount == 0) {
        return;
    }
    if (!text.empty()) {
        text += ", ";
    }
    text += std::to_string(nCount) + " " + pszWhat;
}

} // namespace

std::string LeftBehind() {
    std::string text;
    Count(text, OssThreadCount(), "scheduler slot(s)");
    Count(text, GpsTmrCount(), "timer(s)");
    Count(text, MdsHandlerCount(), "handler(s)");
    Count(text, RsmOpenPortCount(), "serial port(s) of the manager");
    Count(text, UasOpenPortCount(), "serial port(s) of the driver");
    Count(text, IpmOpenSessionCount(), "session(s)");
    Count(text, IpsOpenSocketCount(), "socket(s)");
    return text;
}

void ClearLeftBehind() {
    RsmResetForTest(); // closes its ports through the driver
    UasResetForTest();
    IpmResetForTest();
    IpsResetForTest();
    for (std::uint16_t wSlot = 0; wSlot < OSSC_MAX_THREADS; ++wSlot) {
        static_cast<void>(OssDeleteThread(wSlot)); // an empty slot reports 1: nothing to do
    }
    GpsTmrResetForTest();
    MdsResetForTest();
}

} // namespace talvo_test
