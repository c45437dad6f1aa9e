#include "Application/AppScript.h"

#include "AppTestFixture.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "Platform/PltClock.h"
#include "Platform/PltFile.h"

namespace {

using apptest::ERROR_LINE;
using apptest::FNID_PING;
using apptest::PROMPT;
using apptest::ReadWholeFile;
using apptest::Sent;
using apptest::WriteWholeFile;

std::uint32_t fakeSeconds = 0;
std::uint32_t FakeSeconds() {
    return fakeSeconds;
}

class AppScriptTest : public apptest::AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        fakeSeconds = 1000;
        ScriptSetClockForTest(FakeSeconds);
    }

    // Writes a script and starts it with the SCRIPT command.
    void Start(const std::string& name, const std::string& text) {
        WriteWholeFile(Path(name), text);
        Type("SCRIPT " + Path(name));
        ASSERT_TRUE(ScriptIsRunning()) << Console();
        Console();
    }

    std::vector<std::uint8_t> Ping(std::uint8_t value) { return {0x01, 0x01, value}; }
};

TEST_F(AppScriptTest, OneLinePerRunAndEachCallWaitsForItsAnswer) {
    Start("calls.scr", "PING 1\nping 2\n");
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(Ping(1), Sent()[0].data);
    EXPECT_EQ(FNID_PING, GetPendingFnId());
    ScriptProcess();
    ScriptProcess();
    EXPECT_EQ(1u, Sent().size()); // no time-out: only the answer releases the script

    Answer(FNID_PING);
    EXPECT_EQ(APPC_NO_FNID, GetPendingFnId());
    ScriptProcess();
    ASSERT_EQ(2u, Sent().size());
    EXPECT_EQ(Ping(2), Sent()[1].data);
    Answer(FNID_PING);
    Console();

    ScriptProcess(); // reads nothing: the interpreter prints its prompt once more
    EXPECT_EQ(PROMPT, Console());
    EXPECT_TRUE(ScriptIsRunning());
    ScriptProcess(); // finds the end of the file
    EXPECT_FALSE(ScriptIsRunning());
    EXPECT_EQ("", Console());
}

TEST_F(AppScriptTest, ScriptTaskRunsFromTheScheduler) {
    Start("sched.scr", "PING 3\n");
    for (int pass = 0; pass < 4; ++pass) {
        OssSchedule();
    }
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(Ping(3), Sent()[0].data);
}

TEST_F(AppScriptTest, PauseHeldTheNextLineForLessThanItsSeconds) {
    Start("pause.scr", "PAUSE 3\nHELP\n");
    ScriptProcess();
    EXPECT_EQ("", Console());
    fakeSeconds += 3; // the calendar second moves on; the pause is measured by the service clock
    OssAdvanceTime(2999);
    ScriptProcess();
    EXPECT_EQ("", Console());
    OssAdvanceTime(1);
    ScriptProcess();
    EXPECT_NE(std::string::npos, Console().find("Commands present in the system:"));
}

TEST_F(AppScriptTest, ScriptLineShortOfNumbersStalledTheScript) {
    // The line end of a script line is text that is no number: the missing values are zeros.
    Start("short.scr", "SETVAL 5\nPING 1\n");
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x02, 0x01, 5, 0, 0}), Sent()[0].data);
    EXPECT_EQ(std::string::npos, Console().find("Expecting more"));
    Answer(apptest::FNID_SETVAL);
    ScriptProcess();
    ASSERT_EQ(2u, Sent().size());
    EXPECT_EQ(Ping(1), Sent()[1].data);
}

TEST_F(AppScriptTest, CrLfScriptLinesReadAsTextMode) {
    Start("dos.scr", "TERM ab\r\nPAUSE 1\r\nSETVAL 1 2\r\n");
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(std::string("AB\n", 4), std::string(Sent()[0].data.begin(), Sent()[0].data.end()));
    ScriptProcess(); // PAUSE 1
    ScriptProcess();
    EXPECT_EQ(1u, Sent().size());
    OssAdvanceTime(1000);
    ScriptProcess();
    ASSERT_EQ(2u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x02, 0x01, 1, 2, 0}), Sent()[1].data);
}

TEST_F(AppScriptTest, OverlongCommentLineWasSplitIntoACall) {
    const std::string comment = ";" + std::string(APPC_SCRIPT_LINE_SIZE - 3, 'x') + " PING 7\n";
    Start("long.scr", comment + "PING 2\n");
    ScriptProcess();
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ("Script line longer than 2499 characters skipped: " + Path("long.scr") + ", line 1\n",
              Console());
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(Ping(2), Sent()[0].data);
}

TEST_F(AppScriptTest, CommentLinesAreSkippedButOnlyInColumnOne) {
    Start("comments.scr", "; a comment\n// another\n  ; indented\n");
    ScriptProcess();
    ScriptProcess();
    EXPECT_EQ("", Console());
    ScriptProcess();
    EXPECT_NE(std::string::npos, Console().find("Remote Function ';' not present"));
}

TEST_F(AppScriptTest, BuiltInCommandLineDoesNotWait) {
    Start("builtin.scr", "REPEAT OFF\nHELP\n");
    ScriptProcess();
    EXPECT_EQ(APPC_NO_FNID, GetPendingFnId());
    Console();
    ScriptProcess();
    EXPECT_NE(std::string::npos, Console().find("Commands present in the system:"));
}

TEST_F(AppScriptTest, RepeatStartsAgainFromTheTop) {
    Type("REPEAT");
    EXPECT_EQ("\nRepeat state = OFF\n" + PROMPT, Console());
    Type("REPEAT ON");
    Type("REPEAT");
    EXPECT_NE(std::string::npos, Console().find("Repeat state = ON\n"));
    Type("REPEAT MAYBE");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());

    Start("again.scr", "PING 7");
    for (int round = 0; round < 3; ++round) {
        ScriptProcess(); // the line (its end of file is reached while reading it)
        Answer(FNID_PING);
        ScriptProcess(); // back to the top
    }
    EXPECT_EQ(3u, Sent().size());
    EXPECT_TRUE(ScriptIsRunning());
    Type("REPEAT OFF");
    ScriptProcess();
    Answer(FNID_PING);
    ScriptProcess();
    EXPECT_FALSE(ScriptIsRunning());
}

TEST_F(AppScriptTest, ScriptWithoutNameEndsTheScript) {
    Start("stop.scr", "PING 1\nPING 2\n");
    ScriptProcess();
    Console();
    Type("script");
    EXPECT_EQ("\nCurrent Script '" + Path("stop.scr") + "' closed ...\n" + PROMPT, Console());
    EXPECT_FALSE(ScriptIsRunning());
    Answer(FNID_PING);
    OssSchedule();
    OssSchedule();
    OssSchedule();
    OssSchedule();
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(AppScriptTest, MissingOrOverlongScriptIsRefused) {
    Type("SCRIPT " + Path("none.scr"));
    EXPECT_EQ("\nCan't open scriptfile : " + Path("none.scr") + "\n" + ERROR_LINE + PROMPT,
              Console());
    const std::string longName = Path(std::string(PltPathMax(), 'a'));
    Type("SCRIPT " + longName);
    EXPECT_EQ("\nCan't open scriptfile : " + longName + "\n" + ERROR_LINE + PROMPT, Console());
    EXPECT_FALSE(ScriptIsRunning());
}

TEST_F(AppScriptTest, FailedScriptCommandLeavesTheRunningScriptAlone) {
    Start("first.scr", "PING 1\nPING 2\n");
    Type("SCRIPT " + Path("none.scr"));
    EXPECT_TRUE(ScriptIsRunning());
    EXPECT_EQ(Path("first.scr"), AppStartupLine());
    ScriptProcess();
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(AppScriptTest, NewScriptInheritedPendingFnIdAndPause) {
    Start("paused.scr", "PAUSE 100\nPING 1\n");
    ScriptProcess();
    SetPendingFnId(FNID_PING); // as if a call of the old script had never been answered
    Start("fresh.scr", "PING 2\n");
    EXPECT_EQ(APPC_NO_FNID, GetPendingFnId());
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(Ping(2), Sent()[0].data);
}

TEST_F(AppScriptTest, UnreadableScriptLoopedOnEmptyLines) {
    // A directory opens for reading but gives a read error, never an end of file.
    ASSERT_TRUE(std::filesystem::create_directory(Path("folder.scr")));
    Type("SCRIPT " + Path("folder.scr"));
    EXPECT_EQ("\nCan't open scriptfile : " + Path("folder.scr") + "\n" + ERROR_LINE + PROMPT,
              Console());
    EXPECT_FALSE(ScriptIsRunning());
}

TEST_F(AppScriptTest, ScriptFileNameUpperCasedAndNotFound) {
    Start("MixedCase.scr", "SCRIPT " + Path("lower.scr") + "\n");
    WriteWholeFile(Path("lower.scr"), "PING 4\n");
    ScriptProcess(); // a script line starting another script keeps its case too
    EXPECT_EQ(Path("lower.scr"), AppStartupLine());
    ScriptProcess();
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(Ping(4), Sent()[0].data);
}

TEST_F(AppScriptTest, NoFreeTaskSlotIsReported) {
    WriteWholeFile(Path("full.scr"), "PING 1\n");
    while (OssCreateThread([] {}, 3) != OSSC_NO_THREAD) {
    }
    Type("SCRIPT " + Path("full.scr"));
    EXPECT_EQ("\nOssThread for proccessing ScriptFile not started !!\n\n" + PROMPT, Console());
    EXPECT_FALSE(ScriptIsRunning());
}

TEST_F(AppScriptTest, ResponseFileTakesTheDisplaysWithADatedHeader) {
    fakeSeconds = 1173960000; // 15 March 2007, about noon
    testos::SetEnv("TZ", "UTC");
    tzset();
    Type("RESFILE " + Path("Out.txt"));
    EXPECT_EQ("\n" + PROMPT, Console());
    const std::string header = "TALVO_RC Response file\t\tDate : 03/15/07\n\n";
    EXPECT_EQ(header, ReadWholeFile(Path("Out.txt")));
    ASSERT_NE(stdout, AppResponseStream());
    ASSERT_NE(console, AppResponseStream());

    Answer(FNID_PING);
    const std::string withDisplay = ReadWholeFile(Path("Out.txt"));
    ASSERT_GT(withDisplay.size(), header.size());
    EXPECT_EQ('\n', withDisplay.back()); // already in the file: nothing waits in a buffer
    EXPECT_EQ(std::string::npos, Console().find(withDisplay.substr(header.size())));

    Type("RESFILE");
    EXPECT_EQ(stdout, AppResponseStream());
}

TEST_F(AppScriptTest, ResponseFileLineStuckInItsBuffer) {
    // Link events are written without a flush: every finished line must still reach the file.
    Type("RESFILE " + Path("events.txt"));
    std::fputs("\n  RS232 Connection Established ....\n", AppResponseStream());
    EXPECT_NE(std::string::npos,
              ReadWholeFile(Path("events.txt")).find("\n  RS232 Connection Established ....\n"));
}

TEST_F(AppScriptTest, FailedResfileKeepsTheCurrentTarget) {
    Type("RESFILE " + Path("first.txt"));
    std::FILE* first = AppResponseStream();
    Type("RESFILE " + Path("no/such/dir.txt"));
    EXPECT_EQ("\n" + PROMPT + "\nCan't open response file : " + Path("no/such/dir.txt") + "\n" +
                  ERROR_LINE + PROMPT,
              Console());
    EXPECT_EQ(first, AppResponseStream());
}

TEST_F(AppScriptTest, NewResfileClosesThePreviousOne) {
    Type("RESFILE " + Path("first.txt"));
    std::fputs("one\n", AppResponseStream());
    Type("RESFILE " + Path("second.txt"));
    std::fputs("two\n", AppResponseStream());
    EXPECT_NE(std::string::npos, ReadWholeFile(Path("first.txt")).find("one\n"));
    EXPECT_EQ(std::string::npos, ReadWholeFile(Path("first.txt")).find("two\n"));
    EXPECT_NE(std::string::npos, ReadWholeFile(Path("second.txt")).find("two\n"));
    ScriptCloseResfile();
    EXPECT_EQ(stdout, AppResponseStream());
}

} // namespace
