// The unit tests' main: runs every test with a guard, in the manner of lwIP's unit-test
// teardown, that fails a test which leaves something of the shared modules behind for the next:
// a scheduler slot, a timer, a message or response handler, a serial port, a session or a socket.
#include <gtest/gtest.h>

#include <string>

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

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

// "" when nothing is left, else e.g. "2 scheduler slot(s), 1 timer(s)".
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

// Puts the modules back to their first state, so that one leak fails one test only.
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

class LeakGuard : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& /*info*/) override {
        const std::string left = LeftBehind();
        if (!left.empty()) {
            ADD_FAILURE() << "the test left behind " << left << " (tear down what the test set up)";
            ClearLeftBehind();
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listeners hear of a test's end in reverse order: the guard, appended after the printer,
    // reports before the printer writes the test's result.
    testing::UnitTest::GetInstance()->listeners().Append(new LeakGuard);
    return RUN_ALL_TESTS();
}
