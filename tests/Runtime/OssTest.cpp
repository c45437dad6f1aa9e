#include "Runtime/Oss.h"

#include "Platform/PltClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

std::vector<int> ran;

template <int N> void Task() {
    ran.push_back(N);
}

int exitingTaskRuns = 0;
void ExitingTask() {
    ++exitingTaskRuns;
    OssExit(5);
}

class OssTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(0);
        OssDisableWait(0);
        ran.clear();
        // Align the pass counter to 0 so that passes are numbered from 0 in each test.
        while (OssGetPassCounter() != 0) {
            OssSchedule();
        }
    }
    void TearDown() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(0);
    }
    std::vector<int> Pass() {
        ran.clear();
        OssSchedule();
        return ran;
    }
};

TEST_F(OssTest, PassMaskSpreadsTypeThreeTasksOverFourPhases) {
    ASSERT_EQ(0, OssCreateThread(Task<0>, 3));
    ASSERT_EQ(1, OssCreateThread(Task<1>, 3));
    ASSERT_EQ(2, OssCreateThread(Task<2>, 0));
    ASSERT_EQ(3, OssCreateThread(Task<3>, 3));
    static_cast<void>(OssDeleteThread(1));
    EXPECT_EQ((std::vector<int>{0, 2}), Pass());
    EXPECT_EQ((std::vector<int>{2}), Pass());
    EXPECT_EQ((std::vector<int>{2}), Pass());
    EXPECT_EQ((std::vector<int>{2, 3}), Pass());
    EXPECT_EQ((std::vector<int>{0, 2}), Pass());
}

TEST_F(OssTest, TypeOneRunsEverySecondPassByItsSlotParity) {
    for (int i = 0; i < 4; ++i) {
        static_cast<void>(OssCreateThread(Task<100>, 0));
    }
    ASSERT_EQ(4, OssCreateThread(Task<4>, 1));
    ASSERT_EQ(5, OssCreateThread(Task<5>, 1));
    static_cast<void>(OssDeleteThread(0));
    static_cast<void>(OssDeleteThread(1));
    static_cast<void>(OssDeleteThread(2));
    static_cast<void>(OssDeleteThread(3));
    EXPECT_EQ((std::vector<int>{4}), Pass());
    EXPECT_EQ((std::vector<int>{5}), Pass());
    EXPECT_EQ((std::vector<int>{4}), Pass());
    EXPECT_EQ((std::vector<int>{5}), Pass());
}

TEST_F(OssTest, PassCounterWrapKeepsThePhase) {
    static_cast<void>(OssCreateThread(Task<0>, 3));
    int runs = 0;
    for (int pass = 0; pass < 512; ++pass) {
        runs += static_cast<int>(Pass().size());
    }
    EXPECT_EQ(128, runs);
}

TEST_F(OssTest, CreateRefusesBadTypesEmptyEntryAndTheTwentySixthTask) {
    EXPECT_EQ(OSSC_NO_THREAD, OssCreateThread(Task<0>, 2));
    EXPECT_EQ(OSSC_NO_THREAD, OssCreateThread(Task<0>, 7));
    EXPECT_EQ(OSSC_NO_THREAD, OssCreateThread(nullptr, 0));
    for (std::uint16_t i = 0; i < OSSC_MAX_THREADS; ++i) {
        EXPECT_EQ(i, OssCreateThread(Task<0>, 3));
    }
    EXPECT_EQ(OSSC_NO_THREAD, OssCreateThread(Task<0>, 3));
}

TEST_F(OssTest, DeletedSlotIsReusedAndHighestSlotBoundsThePass) {
    for (int i = 0; i < 6; ++i) {
        static_cast<void>(OssCreateThread(Task<7>, 0));
    }
    EXPECT_EQ(0, OssDeleteThread(3));
    EXPECT_EQ(5u, Pass().size());
    EXPECT_EQ(3, OssCreateThread(Task<3>, 0));
    EXPECT_EQ(1, OssDeleteThread(OSSC_MAX_THREADS));
    static_cast<void>(OssDeleteThread(3));
    EXPECT_EQ(1, OssDeleteThread(3));
    for (std::uint16_t i = 0; i < 6; ++i) {
        static_cast<void>(OssDeleteThread(i));
    }
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(0, OssCreateThread(Task<9>, 0));
    EXPECT_EQ((std::vector<int>{9}), Pass());
}

TEST_F(OssTest, TaskAddedDuringThePassRunsInThatPass) {
    static bool added = false;
    added = false;
    static_cast<void>(OssCreateThread(
        [] {
            ran.push_back(1);
            if (!added) {
                added = true;
                static_cast<void>(OssCreateThread(Task<2>, 0));
            }
        },
        0));
    EXPECT_EQ((std::vector<int>{1, 2}), Pass());
}

TEST_F(OssTest, ExitBeforeRunReturnsAtOnceWithTheCode) {
    static_cast<void>(OssCreateThread(Task<1>, 0));
    EXPECT_EQ(7, OssExit(7));
    OssRun();
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(7, OssGetExitCode());
}

TEST_F(OssTest, ExitFromATaskFinishesTheCurrentPass) {
    exitingTaskRuns = 0;
    static_cast<void>(OssCreateThread(ExitingTask, 0));
    static_cast<void>(OssCreateThread(Task<2>, 0));
    OssRun();
    EXPECT_EQ(1, exitingTaskRuns);
    EXPECT_EQ((std::vector<int>{2}), ran);
    EXPECT_EQ(5, OssGetExitCode());
}

TEST_F(OssTest, SecondInitKeepsTasksAndStopFlag) {
    static_cast<void>(OssCreateThread(Task<1>, 0));
    OssExit(3);
    EXPECT_EQ(0, OssInit());
    OssRun(); // the stop flag survived: no pass
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ((std::vector<int>{1}), Pass());
}

TEST_F(OssTest, CurrentThreadIsTheSlotBeingRun) {
    static std::uint16_t seen = 0;
    static_cast<void>(OssCreateThread(Task<0>, 0));
    static_cast<void>(OssCreateThread([] { seen = OssGetCurrentThread(); }, 0));
    Pass();
    EXPECT_EQ(1, seen);
}

TEST_F(OssTest, FrozenClockShowsOnlyTheOffset) {
    OssFreezeTime(1);
    const std::uint32_t base = OssGetTime();
    EXPECT_EQ(base + 500, OssAdvanceTime(500));
    EXPECT_EQ(base + 500, OssGetTime());
    OssFreezeTime(0);
    // Unfrozen, the clock runs on from the offset: never behind it (no wrapped difference).
    EXPECT_LT(OssGetTime() - (base + 500), 0x80000000u);
}

TEST_F(OssTest, UnsignedDifferencesSurviveTheClockWrap) {
    OssFreezeTime(1);
    // Bring the offset just below the wrap.
    while (OssGetTime() < 0xFFFFFF00u) {
        const std::uint32_t left = 0xFFFFFF00u - OssGetTime();
        OssAdvanceTime(static_cast<std::uint16_t>(left > 0xFFFF ? 0xFFFF : left));
    }
    const std::uint32_t before = OssGetTime();
    OssAdvanceTime(0x200);
    EXPECT_LT(OssGetTime(), before);
    EXPECT_EQ(0x200u, OssGetTime() - before);
    OssFreezeTime(0);
}

TEST_F(OssTest, WaitReturnsAtOnceForZeroAndWhenDisabled) {
    OssWait(0);
    OssDisableWait(1);
    OssFreezeTime(1); // a frozen clock would never let a real wait end
    OssWait(100000);
    OssDisableWait(0);
    OssFreezeTime(0);
    const std::uint32_t start = OssGetTime();
    OssWait(5);
    EXPECT_GE(OssGetTime() - start, 5u);
}

TEST_F(OssTest, NativeThreadRunsAndJoins) {
    static std::atomic<int> value{0};
    static int argument = 42;
    OssThreadHandle handle = nullptr;
    std::uint32_t id = 0;
    ASSERT_EQ(0, OssStartNativeThread(
                     &handle,
                     [](void* pv) -> std::uint32_t {
                         value = *static_cast<int*>(pv);
                         return 0;
                     },
                     &argument, &id));
    EXPECT_NE(0u, id);
    EXPECT_EQ(0, OssJoinNativeThread(handle));
    EXPECT_EQ(42, value.load());
}

TEST_F(OssTest, JoinGivesUpOnAThreadThatDoesNotEnd) {
    static std::atomic<bool> release{false};
    release = false; // a repeated run starts with a thread that does not end
    OssThreadHandle handle = nullptr;
    ASSERT_EQ(0, OssStartNativeThread(
                     &handle,
                     [](void*) -> std::uint32_t {
                         while (!release) {
                             PltSleepMicroseconds(1000);
                         }
                         return 0;
                     },
                     nullptr, nullptr));
    EXPECT_EQ(1, OssJoinNativeThread(handle));
    release = true;
    EXPECT_EQ(0, OssJoinNativeThread(handle));
}

} // namespace
