#include "Platform/PltWait.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "Platform/PltClock.h"

namespace {

class PltWaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, pipe(fds));
        const PltWaitSet none;
        (void)PltWaitReadable(none, 0); // uses up a wake left by an earlier test's stop signal
    }
    void TearDown() override {
        close(fds[0]);
        close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST_F(PltWaitTest, WakesAtOnceWhenInputArrivesAndTimesOutWithout) {
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, fds[0]));
    std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 30));
    EXPECT_GE(PltGetTickCount() - dwStart, 25u);

    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)!write(fds[1], "x", 1);
    });
    dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, 5000));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    writer.join();
}

TEST_F(PltWaitTest, NegativeHandlesAreSkippedAndAFullSetSaysSo) {
    PltWaitSet set;
    EXPECT_TRUE(PltWaitAdd(set, -1));
    EXPECT_EQ(0u, set.wCount);
    for (std::size_t i = 0; i < PLTC_MAX_WAIT_HANDLES; ++i) {
        ASSERT_TRUE(PltWaitAdd(set, fds[0]));
    }
    EXPECT_FALSE(PltWaitAdd(set, fds[0]));
    EXPECT_EQ(PLTC_MAX_WAIT_HANDLES, set.wCount);
}

// A stop signal may reach another thread than the sleeping one: the wake must end a wait that
// has no time-out.
TEST_F(PltWaitTest, WakeFromAnotherThreadEndsAWaitWithoutTimeOut) {
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, fds[0]));
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PltWaitWake();
    });
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, PLTC_WAIT_FOREVER));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    waker.join();
    EXPECT_EQ(0, PltWaitReadable(set, 0)); // the wake is used up
}

} // namespace
