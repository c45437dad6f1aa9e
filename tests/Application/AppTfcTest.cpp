#include "Application/AppTfc.h"

#include "AppTestFixture.h"

namespace {

using apptest::ERROR_LINE;
using apptest::PROMPT;
using apptest::Sent;

class AppTfcTest : public apptest::AppTest {
  protected:
    // Moves the frozen clock on and lets the timers fire.
    void Advance(std::uint32_t dwMs) {
        while (dwMs > 0) {
            const auto step = static_cast<std::uint16_t>(dwMs > 30000 ? 30000 : dwMs);
            OssAdvanceTime(step);
            dwMs -= step;
        }
        GpsTmrProcess();
    }
};

TEST_F(AppTfcTest, CallRepeatsEveryNTimes1024Ms) {
    Type("TFC 2 ping 7");
    EXPECT_EQ("\n" + PROMPT, Console());
    Advance(2047);
    EXPECT_TRUE(Sent().empty());
    Advance(1);
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x01, 0x01, 0x07}), Sent()[0].data);
    Advance(2048);
    EXPECT_EQ(2u, Sent().size());

    Type("TFC");
    EXPECT_EQ(GPSTMRC_NO_TIMER, TfcTimerId());
    EXPECT_STREQ("", TfcTimedLine());
    Advance(10000);
    EXPECT_EQ(2u, Sent().size());
}

TEST_F(AppTfcTest, TimedLineIsRebuiltFromItsWordsInTypedCase) {
    Type("tfc 1   Ping\t 5  ");
    EXPECT_STREQ("Ping 5", TfcTimedLine());
}

TEST_F(AppTfcTest, TfcAloneWithoutTimedCallOnlyPrompts) {
    Type("TFC");
    EXPECT_EQ("\n" + PROMPT, Console());
}

TEST_F(AppTfcTest, ZeroIntervalFailsAndChangesNothing) {
    Type("TFC 1 PING 1");
    const std::uint16_t timer = TfcTimerId();
    Console();
    Type("TFC 0 PING 2");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());
    Type("TFC X PING 2");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());
    EXPECT_EQ(timer, TfcTimerId());
    EXPECT_STREQ("PING 1", TfcTimedLine());
}

TEST_F(AppTfcTest, TfcPeriodOverflowedTimerUnits) {
    // 2048 s would be 65536 units of 32 ms: a 16-bit period of 0.
    Type("TFC 2048 PING 1");
    EXPECT_NE(std::string::npos, Console().find(ERROR_LINE + PROMPT));
    EXPECT_EQ(GPSTMRC_NO_TIMER, TfcTimerId());
    Type("TFC 65537 PING 1"); // would be kept as 1 in 16 bits
    EXPECT_EQ(GPSTMRC_NO_TIMER, TfcTimerId());
    Type("TFC 2047 PING 1");
    EXPECT_NE(GPSTMRC_NO_TIMER, TfcTimerId());
    Advance(2047u * 1024u - 1);
    EXPECT_TRUE(Sent().empty());
    Advance(1);
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(AppTfcTest, TfcLineOverflowedItsBuffer) {
    const std::string word(APPC_TIMED_LINE_SIZE / 2, 'A');
    Type("TFC 1 " + word + " " + word); // one character more than the buffer holds
    EXPECT_NE(std::string::npos, Console().find(ERROR_LINE + PROMPT));
    EXPECT_EQ(GPSTMRC_NO_TIMER, TfcTimerId());
    const std::string fits(APPC_TIMED_LINE_SIZE - 1, 'B');
    Type("TFC 1 " + fits);
    EXPECT_EQ(fits, TfcTimedLine());
}

TEST_F(AppTfcTest, NewTimedCallReplacesTheActiveOne) {
    Type("TFC 1 PING 1");
    Type("TFC 3 PING 2");
    EXPECT_STREQ("PING 2", TfcTimedLine());
    Advance(3072);
    ASSERT_EQ(1u, Sent().size()); // the first timer is gone
    EXPECT_EQ((std::vector<std::uint8_t>{0x01, 0x01, 0x02}), Sent()[0].data);
    Type("TFC");
    Advance(10000);
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(AppTfcTest, TimedLineMayBeABuiltInCommand) {
    Type("TFC 1 LOG ON");
    char filter[LOGC_FILTER_SIZE] = {};
    LogSetFilter(0, "");
    Advance(1024);
    EXPECT_EQ(LOGC_FILTER_ON, LogGetFilter(filter));
    EXPECT_NE(std::string::npos, Console().find("Logging is turned ON\n"));
}

TEST_F(AppTfcTest, IntervalWithoutWordsDeliversEmptyLines) {
    Type("TFC 1");
    Console();
    Advance(1024);
    EXPECT_EQ(PROMPT, Console());
    Advance(1024);
    EXPECT_EQ(PROMPT, Console());
}

TEST_F(AppTfcTest, TimedLineCompletesAWaitingTermPrompt) {
    Type("TERM");
    Type("TFC 1 hello"); // taken as the terminal string: the interpreter is waiting
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(GPSTMRC_NO_TIMER, TfcTimerId());
}

} // namespace
