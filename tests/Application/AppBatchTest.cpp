#include "Application/AppBatch.h"

#include <regex>

#include "AppTestFixture.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppScript.h"
#include "Application/AppStamp.h"
#include "Application/AppStreams.h"
#include "Runtime/Mds.h"

namespace {

using apptest::FNID_PING;
using apptest::FNID_SETVAL;
using apptest::ReadWholeFile;
using apptest::Sent;
using apptest::WriteWholeFile;

class AppBatchTest : public apptest::AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        BatchResetForTest();
    }
    void TearDown() override {
        BatchResetForTest();
        AppTest::TearDown();
    }

    void Options(std::initializer_list<const char*> args) {
        for (const char* pszArg : args) {
            ASSERT_EQ(BatchOption::Taken, BatchApplyOption(pszArg)) << pszArg;
        }
    }

    // Starts a script as the start-up line does.
    void StartScript(const std::string& text) {
        WriteWholeFile(Path("run.scr"), text);
        std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "SCRIPT %s",
                      Path("run.scr").c_str());
        ASSERT_FALSE(BatchStart(false));
        Type(AppStartupLine());
        ASSERT_TRUE(ScriptIsRunning()) << Console();
    }

    // The unit's answer: FnId, error code and one byte.
    void AnswerWith(std::uint16_t wFnId, std::uint16_t wError) {
        const std::uint8_t message[] = {
            static_cast<std::uint8_t>(wFnId), static_cast<std::uint8_t>(wFnId >> 8),
            static_cast<std::uint8_t>(wError), static_cast<std::uint8_t>(wError >> 8), 7};
        static_cast<void>(
            MdsExecuteMsgHandler(AppLinkChannel(), MDSC_MSG_RFS_RESPONSE, sizeof message, message));
    }

    // Runs the script and batch tasks as the scheduler does, answering each call as given.
    void RunToEnd(std::uint16_t wError) {
        for (int i = 0; i < 50 && ScriptIsRunning(); ++i) {
            const std::size_t wBefore = Sent().size();
            ScriptProcess();
            if (Sent().size() > wBefore) {
                const auto& data = Sent().back().data;
                AnswerWith(static_cast<std::uint16_t>(data[0] | (data[1] << 8)), wError);
            }
            BatchProcess();
        }
        BatchProcess(); // finds the script ended
    }
};

TEST_F(AppBatchTest, OptionValuesAreCheckedAndTheTimeoutIsBounded) {
    EXPECT_EQ(0u, BatchAnswerTimeout()); // without -W and -B: no time-out, as before
    for (const char* pszBad : {"-W0", "-W3601", "-W12x", "-W", "-W-5", "-W99999999999"}) {
        EXPECT_EQ(BatchOption::Refused, BatchApplyOption(pszBad)) << pszBad;
    }
    EXPECT_NE(std::string::npos, Console().find("Answer time-out must be 1 to 3600 seconds: -W0"));
    EXPECT_EQ(BatchOption::Other, BatchApplyOption("-Bx"));
    EXPECT_EQ(BatchOption::Other, BatchApplyOption("-X"));
    EXPECT_EQ(BatchOption::Refused, BatchApplyOption("-J"));
    const std::string unwritable = "-J" + Path("no/such/dir.jsonl");
    EXPECT_EQ(BatchOption::Refused, BatchApplyOption(unwritable.c_str()));
    EXPECT_NE(std::string::npos, Console().find("Can't open JSON file : " + Path("no/such")));

    Options({"-b"});
    EXPECT_TRUE(BatchMode());
    EXPECT_EQ(APPC_BATCH_DEFAULT_TIMEOUT, BatchAnswerTimeout());
    EXPECT_EQ(1u, BatchCheckOptions()); // a batch run without a script has nothing to run
    EXPECT_NE(std::string::npos, Console().find("Batch mode (-B) needs a script file"));
    Options({"-W3600"});
    EXPECT_EQ(3600u, BatchAnswerTimeout());
    std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "SCRIPT X.SCR");
    EXPECT_EQ(0u, BatchCheckOptions());
}

TEST_F(AppBatchTest, UnansweredCallTimesOutAndTheScriptGoesOn) {
    Options({"-W2"});
    StartScript("PING 1\nSETVAL 2 3\n");
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    Console();
    OssAdvanceTime(1999);
    BatchProcess();
    EXPECT_EQ(FNID_PING, GetPendingFnId());
    OssAdvanceTime(1);
    BatchProcess();
    EXPECT_EQ("\nNo answer to 0x0101 (PING) within 2 s\n", Console());
    EXPECT_EQ(APPC_NO_FNID, GetPendingFnId());

    ScriptProcess(); // the next line goes out at once
    ASSERT_EQ(2u, Sent().size());
    EXPECT_EQ(FNID_SETVAL, GetPendingFnId());
    AnswerWith(FNID_PING, 0); // the late answer to the first call is not counted
    AnswerWith(FNID_SETVAL, 0);
    const BatchCounts counts = BatchGetCounts();
    EXPECT_EQ(2u, counts.dwCalls);
    EXPECT_EQ(1u, counts.dwAnswered);
    EXPECT_EQ(1u, counts.dwTimeouts);
    EXPECT_EQ(APPC_EXIT_FAILURES, BatchExitStatus(0));
}

TEST_F(AppBatchTest, WaitOfASecondCallOfTheSameFunctionStartsAtItsOwnCall) {
    Options({"-W5"});
    StartScript("PING 1\nPING 2\n");
    ScriptProcess();
    OssAdvanceTime(4000);
    AnswerWith(FNID_PING, 0);
    ScriptProcess(); // the same FnId again, 4 s into the time-out of the first call
    OssAdvanceTime(4000);
    BatchProcess();
    EXPECT_EQ(FNID_PING, GetPendingFnId());
    EXPECT_EQ(0u, BatchGetCounts().dwTimeouts);
}

TEST_F(AppBatchTest, BatchEndsWithItsScriptAndTheStatusTellsHowItWent) {
    Options({"-B"});
    StartScript("PING 1\nSETVAL 2 3\n");
    RunToEnd(0);
    EXPECT_FALSE(ScriptIsRunning());
    EXPECT_EQ(0, OssGetExitCode());
    const BatchCounts counts = BatchGetCounts();
    EXPECT_EQ(2u, counts.dwCalls);
    EXPECT_EQ(2u, counts.dwAnswered);
    EXPECT_EQ(0, BatchExitStatus(0));
    Console();
    BatchFinish();
    EXPECT_EQ(
        "\nSummary: 2 calls, 2 answered, 0 error answers, 0 without answer, 0 link failures\n",
        Console());
    EXPECT_EQ(0, OssGetExitCode());
    // Signals end a batch run with 128 plus their number, whatever the counts.
    EXPECT_EQ(130, BatchExitStatus(2));
    EXPECT_EQ(143, BatchExitStatus(15));
    EXPECT_EQ(129, BatchExitStatus(1));
}

TEST_F(AppBatchTest, AnErrorCodeInAnAnswerFailsTheBatch) {
    Options({"-B"});
    StartScript("PING 1\n");
    RunToEnd(1);
    EXPECT_EQ(1u, BatchGetCounts().dwErrorAnswers);
    BatchFinish();
    EXPECT_NE(std::string::npos, Console().find("1 calls, 1 answered, 1 error answers, 0 without"));
    EXPECT_EQ(APPC_EXIT_FAILURES, OssGetExitCode());
}

TEST_F(AppBatchTest, ScriptThatCannotBeOpenedFailsTheBatch) {
    Options({"-B"});
    std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "SCRIPT %s",
                  Path("missing.scr").c_str());
    ASSERT_FALSE(BatchStart(false));
    Type(AppStartupLine());
    BatchProcess();
    EXPECT_EQ(APPC_EXIT_FAILURES, BatchExitStatus(0));
}

TEST_F(AppBatchTest, LinkFailuresAreCountedOnceEachAndNotAfterTheSummary) {
    BatchTcpEvent(1); // no connection yet: closing it is no failure
    BatchTcpEvent(0);
    BatchTcpEvent(3); // lost, then reported again as the session closes
    BatchTcpEvent(1);
    EXPECT_EQ(1u, BatchGetCounts().dwLinkFailures);
    BatchTcpEvent(2);
    BatchSerialEvent(1);
    BatchSerialEvent(2);
    BatchSerialEvent(3);
    EXPECT_EQ(4u, BatchGetCounts().dwLinkFailures);
    BatchFinish();
    BatchTcpEvent(0);
    BatchTcpEvent(1); // the program's own close of the link
    EXPECT_EQ(4u, BatchGetCounts().dwLinkFailures);
}

TEST_F(AppBatchTest, BatchOverTcpWaitsForTheLinkAtMostTheTimeout) {
    Options({"-B", "-W3"});
    WriteWholeFile(Path("run.scr"), "PING 1\n");
    std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "SCRIPT %s", Path("run.scr").c_str());
    ASSERT_TRUE(BatchStart(true));
    OssAdvanceTime(2999);
    BatchProcess();
    EXPECT_FALSE(ScriptIsRunning());
    BatchTcpEvent(0);
    BatchProcess(); // the link is up: the start-up line goes to the interpreter
    EXPECT_TRUE(ScriptIsRunning());
    ScriptStop();

    BatchResetForTest();
    Options({"-B", "-W3"});
    ASSERT_TRUE(BatchStart(true));
    OssAdvanceTime(3000);
    Console();
    BatchProcess();
    EXPECT_EQ("No connection to  within 3 s\n", Console());
    EXPECT_EQ(APPC_EXIT_NO_LINK, OssGetExitCode());
    EXPECT_EQ(APPC_EXIT_NO_LINK, BatchExitStatus(0));
}

std::uint64_t FixedClock() {
    return 1796812267412; // 2026-12-09 10:31:07.412 UTC
}

TEST_F(AppBatchTest, StampsGoOnTheFirstLineOfWhatArrives) {
    StampSetClockForTest(FixedClock);
    std::array<char, APPC_STAMP_SIZE> szUtc{};
    StampUtcText(FixedClock(), szUtc.data(), szUtc.size());
    EXPECT_STREQ("2026-12-09T10:31:07.412Z", szUtc.data());

    StampWrite(console, "\n  RS232 Connection Established ....\n");
    EXPECT_EQ("\n  RS232 Connection Established ....\n", Console()); // without -t: unchanged
    Options({"-t"});
    StampWrite(console, "\n  RS232 Connection Established ....\n");
    const std::regex stamped("\n\\[[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.412\\]   RS232 Connection "
                             "Established ....\n");
    EXPECT_TRUE(std::regex_match(Console(), stamped));
    AnswerWith(FNID_PING, 0);
    const std::regex display("\n\\[[0-9:]{8}\\.412\\] RFS_RESPONSE \\(4\\) Message, 5 bytes in "
                             "length...\nFnId    : 0x0101,  PING,[^\\[]*");
    EXPECT_TRUE(std::regex_match(Console(), display));
    StampSetClockForTest(nullptr);
}

} // namespace
