// The idle step under the real scheduler with a frozen clock: its wait is replaced by one that
// "sleeps" by moving the clock on by the whole time-out, as if no input came. Every wake-up must
// find something due (a timer fired, a frame went out, the link changed state), and none may come
// late.
#include "Application/AppIdle.h"

#include <gtest/gtest.h>

#include <vector>

#include "Communication/Rsm/Rsm.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Oss.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t TEST_PORT = 2;
const Bytes PEER_SYNC = {0xC8, 0x3F, 0x00, 0x00, 0xF8}; // the far end's heartbeat

struct Watch {
    std::uint32_t dwStart = 0;
    std::uint32_t dwEnd = 0;       // the test stops at this clock reading
    bool bPeerAnswers = false;     // the far end answers each frame with its heartbeat
    std::uint32_t dwPeerUntil = 0; // ... until this clock reading
    int nWakeUps = 0;
    int nIdle = 0; // wake-ups that found nothing to do
    int nTimerFired = 0;
    int nSeenTimer = 0;
    std::size_t nSeenEvents = 0;
    std::uint32_t dwLastTimeout = 0;
    std::vector<std::uint32_t> lostAt;
};

Watch watch;

void CountTimer() {
    ++watch.nTimerFired;
}

void RecordEvent(std::uint16_t wEvent, std::uint8_t byChannel) {
    RsmRecorder::Notify(wEvent, byChannel);
    if (wEvent == RSMC_EVENT_LOST) {
        watch.lostAt.push_back(OssGetTime() - watch.dwStart);
    }
}

int SleepOnTheClock(const PltWaitSet& /*rSet*/, std::uint32_t dwTimeoutMs) {
    watch.dwLastTimeout = dwTimeoutMs;
    const Bytes out = FakeLink::TakeOutput(TEST_PORT);
    const bool bActed = !out.empty() || watch.nTimerFired != watch.nSeenTimer ||
                        RsmRecorder::Events().size() != watch.nSeenEvents;
    if (watch.nWakeUps > 0 && !bActed) {
        if (watch.nIdle++ == 0) { // the first tells; the count says how many
            ADD_FAILURE() << "wake-up at " << OssGetTime() - watch.dwStart
                          << " ms found nothing due";
        }
    }
    watch.nSeenTimer = watch.nTimerFired;
    watch.nSeenEvents = RsmRecorder::Events().size();
    if (!out.empty() && watch.bPeerAnswers && OssGetTime() - watch.dwStart < watch.dwPeerUntil) {
        FakeLink::Inject(TEST_PORT, PEER_SYNC);
    }
    if (dwTimeoutMs == PLTC_WAIT_FOREVER || OssGetTime() - watch.dwStart >= watch.dwEnd) {
        OssExit(0);
        return 0;
    }
    for (std::uint32_t dwLeft = dwTimeoutMs; dwLeft > 0;) {
        const std::uint16_t wStep = dwLeft > 60000 ? 60000 : static_cast<std::uint16_t>(dwLeft);
        OssAdvanceTime(wStep);
        dwLeft -= wStep;
    }
    ++watch.nWakeUps;
    return 0;
}

class AppIdleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(GpsTmrTerminate());
        RsmRecorder::SetUp();
        GpsTmrResetForTest();
        static_cast<void>(GpsTmrInit());
        watch = Watch{};
        AppIdleSetWaitForTest(SleepOnTheClock);
        OssSetIdleHandler(AppIdleWait);
    }
    void TearDown() override {
        OssSetIdleHandler(nullptr);
        AppIdleSetWaitForTest(nullptr);
        RsmRecorder::TearDown();
        static_cast<void>(GpsTmrTerminate());
        GpsTmrResetForTest();
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit()); // a clean scheduler for the tests after this one
    }
    void Run(std::uint32_t dwEndMs) {
        watch.dwStart = OssGetTime();
        watch.dwEnd = dwEndMs;
        OssRun();
    }
};

TEST_F(AppIdleTest, IdleFullLinkAndTimerWakeOnlyWhenSomethingIsDue) {
    // A Full link with a 1 s heartbeat, brought up by the far end's SYNC; a timer of 320 ms.
    ASSERT_EQ(0, RsmOpen(TEST_PORT, 115200, RSMC_PROTOCOL_FULL, RecordEvent));
    RsmCommParams params{1, 2, 2, 0};
    ASSERT_EQ(0, RsmSetCommunicationParams(TEST_PORT, &params));
    FakeLink::Inject(TEST_PORT, PEER_SYNC);
    RsmRecorder::Step();
    ASSERT_EQ(1u, RsmRecorder::Events().size());
    (void)FakeLink::TakeOutput(TEST_PORT);
    static_cast<void>(GpsTmrCreateCyclic(CountTimer, 10));

    // The far end answers for 4 s, then falls silent: the link must be lost 2 s after its last
    // word.
    watch.bPeerAnswers = true;
    watch.dwPeerUntil = 4000;
    Run(8000);

    EXPECT_EQ(0, watch.nIdle);
    EXPECT_EQ(8000 / 320, watch.nTimerFired);
    ASSERT_EQ(1u, watch.lostAt.size());
    EXPECT_GE(watch.lostAt[0], 5000u);
    EXPECT_LE(watch.lostAt[0], 6100u);
    // 25 timer runs, about 6 heartbeats and the loss; nothing near the hundreds of a fixed cap.
    EXPECT_LE(watch.nWakeUps, 25 + 6 + 2);
}

TEST_F(AppIdleTest, PartFrameOnSimpleLineWakesOnceForItsTimeOutThenSleepsForGood) {
    ASSERT_EQ(0, RsmOpen(TEST_PORT, 115200, RSMC_PROTOCOL_SIMPLE, RecordEvent));
    FakeLink::Inject(TEST_PORT, {0x1B, 0x24, 0x0D, 0x03, 0x02});
    Run(60000);
    EXPECT_EQ(0, watch.nIdle);
    EXPECT_EQ(1, watch.nWakeUps); // the frame time-out, which answers with the NAK message
    EXPECT_EQ(PLTC_WAIT_FOREVER, watch.dwLastTimeout);
}

} // namespace
