#include "Runtime/GpsTmr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Runtime/Log.h"
#include "Runtime/Oss.h"

namespace {

std::vector<int> fired;
std::vector<std::uint32_t> arguments;

void FireA() {
    fired.push_back(1);
}
void FireB() {
    fired.push_back(2);
}
void FireShort(std::uint16_t w) {
    arguments.push_back(w);
}
void FireLong(std::uint32_t dw) {
    arguments.push_back(dw);
}

class GpsTmrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(1);
        static_cast<void>(LogTerminate());
        static_cast<void>(LogInit());
        LogResetForTest();
        GpsTmrResetForTest();
        fired.clear();
        arguments.clear();
    }
    void TearDown() override {
        GpsTmrResetForTest();
        OssFreezeTime(0);
    }
    static void Advance(std::uint32_t ms) {
        while (ms > 0) {
            const std::uint16_t step = static_cast<std::uint16_t>(ms > 1000 ? 1000 : ms);
            OssAdvanceTime(step);
            ms -= step;
        }
    }
    static int KeptRecords() {
        char text[LOGC_RECORD_SIZE];
        int n = 0;
        for (std::uint16_t mode = LOGC_READ_FIRST; LogReadEntry(mode, text) == 0;
             mode = LOGC_READ_NEXT) {
            ++n;
        }
        return n;
    }
};

TEST_F(GpsTmrTest, OneShotFiresOnceAndFreesItsEntry) {
    const std::uint16_t id = GpsTmrCreateOnce(FireA, 3);
    Advance(95);
    GpsTmrProcess();
    EXPECT_TRUE(fired.empty());
    Advance(1);
    GpsTmrProcess();
    Advance(200);
    GpsTmrProcess();
    EXPECT_EQ((std::vector<int>{1}), fired);
    EXPECT_EQ(GPSTMRC_NO_TIMER, GpsTmrStop(id));
    EXPECT_EQ(0, KeptRecords()); // a freed entry below the used range is no error
}

TEST_F(GpsTmrTest, CyclicCountsFromTheFiringRunAndHonoursTheDelay) {
    static_cast<void>(
        GpsTmrCreateCyclic(FireA, 2, 1)); // first at 96 ms, then every 64 ms after the firing run
    Advance(95);
    GpsTmrProcess();
    EXPECT_TRUE(fired.empty());
    Advance(10); // fires late, at 105
    GpsTmrProcess();
    EXPECT_EQ(1u, fired.size());
    Advance(63);
    GpsTmrProcess();
    EXPECT_EQ(1u, fired.size());
    Advance(1);
    GpsTmrProcess();
    EXPECT_EQ(2u, fired.size());
}

TEST_F(GpsTmrTest, PeriodZeroCountsAsOneUnit) {
    static_cast<void>(GpsTmrCreateOnce(FireA, 0));
    Advance(31);
    GpsTmrProcess();
    EXPECT_TRUE(fired.empty());
    Advance(1);
    GpsTmrProcess();
    EXPECT_EQ(1u, fired.size());
}

TEST_F(GpsTmrTest, StoppedTimerFiresAtFirstRunAfterResume) {
    const std::uint16_t id = GpsTmrCreateCyclic(FireA, 1);
    EXPECT_EQ(0, GpsTmrStop(id));
    Advance(500);
    GpsTmrProcess();
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(0, GpsTmrResume(id));
    GpsTmrProcess();
    EXPECT_EQ(1u, fired.size());
}

TEST_F(GpsTmrTest, DueTimersFireInIndexOrderWithTheirArguments) {
    static_cast<void>(GpsTmrCreateOnce(FireB, 1));
    static_cast<void>(GpsTmrCreateOnce(FireA, 1));
    static_cast<void>(GpsTmrCreateOnceShort(FireShort, 0xBEEF, 1));
    static_cast<void>(GpsTmrCreateCyclicLong(FireLong, 0x12345678u, 1));
    Advance(32);
    GpsTmrProcess();
    EXPECT_EQ((std::vector<int>{2, 1}), fired);
    EXPECT_EQ((std::vector<std::uint32_t>{0xBEEF, 0x12345678u}), arguments);
}

TEST_F(GpsTmrTest, FullTableRefusesTheHundredAndFirstAndReusesTheLowestFreeIndex) {
    for (std::uint16_t i = 0; i < GPSTMRC_MAX_ENTRIES; ++i) {
        ASSERT_EQ(i, GpsTmrCreateCyclic(FireA, 10));
    }
    EXPECT_EQ(GPSTMRC_NO_TIMER, GpsTmrCreateOnce(FireA, 1));
    EXPECT_EQ(1, KeptRecords());
    EXPECT_EQ(0, GpsTmrDelete(40));
    EXPECT_EQ(0, GpsTmrDelete(7));
    EXPECT_EQ(7, GpsTmrCreateOnce(FireA, 1));
    EXPECT_EQ(40, GpsTmrCreateOnce(FireA, 1));
}

TEST_F(GpsTmrTest, ControlWithAnIdBeyondTheUsedRangeIsLogged) {
    static_cast<void>(GpsTmrCreateOnce(FireA, 1));
    static_cast<void>(GpsTmrCreateOnce(FireA, 1));
    static_cast<void>(GpsTmrCreateOnce(FireA, 1));
    EXPECT_EQ(GPSTMRC_NO_TIMER, GpsTmrDelete(150));
    char text[LOGC_RECORD_SIZE];
    ASSERT_EQ(0, LogReadEntry(LOGC_READ_FIRST, text));
    EXPECT_NE(nullptr, std::strstr(text, "E GpsTmrFindEntry : 0xffff;"));
    EXPECT_EQ(0, GpsTmrDelete(1));
    EXPECT_EQ(GPSTMRC_NO_TIMER, GpsTmrDelete(1));
}

TEST_F(GpsTmrTest, CallbackMayDeleteItselfAndCreateAnother) {
    static std::uint16_t self = 0;
    self = GpsTmrCreateCyclic(
        [] {
            fired.push_back(9);
            static_cast<void>(GpsTmrDelete(self));
            static_cast<void>(GpsTmrCreateOnce(FireA, 0));
        },
        1);
    Advance(32);
    GpsTmrProcess(); // the new one-shot reuses the entry, but is not due yet
    EXPECT_EQ((std::vector<int>{9}), fired);
    Advance(32);
    GpsTmrProcess();
    EXPECT_EQ((std::vector<int>{9, 1}), fired);
}

TEST_F(GpsTmrTest, TimerTaskActsOncePer32MsThroughTheScheduler) {
    static_cast<void>(GpsTmrTerminate());
    static_cast<void>(GpsTmrInit());
    static_cast<void>(GpsTmrCreateCyclic(FireA, 1));
    for (int step = 0; step < 10; ++step) {
        Advance(16);
        for (int pass = 0; pass < 4; ++pass) {
            OssSchedule();
        }
    }
    EXPECT_GE(fired.size(), 4u);
    EXPECT_LE(fired.size(), 5u);
    static_cast<void>(GpsTmrTerminate());
}

TEST_F(GpsTmrTest, TimeToNextExpiryTracksTheEarliestRunningTimer) {
    EXPECT_EQ(UINT32_MAX, GpsTmrTimeToNextExpiry());
    static_cast<void>(GpsTmrCreateOnce(FireA, 10));
    const std::uint16_t id = GpsTmrCreateOnce(FireA, 2);
    EXPECT_EQ(64u, GpsTmrTimeToNextExpiry());
    static_cast<void>(GpsTmrStop(id));
    EXPECT_EQ(320u, GpsTmrTimeToNextExpiry());
    Advance(400);
    EXPECT_EQ(0u, GpsTmrTimeToNextExpiry());
}

} // namespace
