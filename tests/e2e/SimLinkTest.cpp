// The real talvo_rc against the real talvo_sim: scripts of calls over each link, checked through
// the response file.
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
constexpr int kRunLimitMs = 60000;

// Calls whose answers the checks below look for, and what the simulator answers to them.
// TERM waits for no answer: the calls after it keep the tool running until its answer is in.
const std::string kCalls = "TERM hello\n"
                           "GETVERSION\n"
                           "SETOUTPUT 3 1\n"
                           "READLOG 5 2\n"
                           "PULSEOUTPUT 9\n"; // short of a value: sent with 0, not stalled

struct Session {
    RunResult result;
    std::string responses; // the response file
};

// Runs talvo_rc with a script that writes its response file, then EXIT. Script lines are upper
// case, so the files live in the working directory under upper-case names.
Session RunScript(const std::string& name, const std::vector<std::string>& linkArgs,
                  const std::string& body, const std::vector<std::string>& env = {},
                  int iLimitMs = kRunLimitMs) {
    const std::string scriptName = name + ".SCR";
    const std::string resultName = name + ".RES";
    WriteFile(TempPath(scriptName), "RESFILE " + resultName + "\n" + body + "EXIT\n");
    std::vector<std::string> args = linkArgs;
    args.push_back("-D" + kDefinitionFile);
    args.push_back(scriptName);
    Session session;
    session.result = RunProgram(TALVO_RC_BIN, args, "", iLimitMs, env, TempDirectory());
    session.responses = ReadFile(TempPath(resultName));
    return session;
}

// The path of the simulator's pseudo-terminal, from its "pty: <path>" line; "" when none came.
std::string PtyPath(BackgroundProgram& rSim) {
    return rSim.WaitForLine("pty: ", 5000);
}

void ExpectStandardAnswers(const Session& session) {
    EXPECT_EQ(session.result.iExitCode, 0) << session.result.output;
    EXPECT_FALSE(session.result.bTimedOut);
    EXPECT_EQ(CountOf(session.responses, "PULSEOUTPUT,  OutStruc={ B W  }\n"
                                         "Error   : 0x0000\n"
                                         " BYTE     : 9 \n"
                                         " WORD     : 0 \n"),
              1U)
        << session.responses;
    EXPECT_EQ(session.result.output.find("Expecting more"), std::string::npos);
    // The unit's answer to the terminal line is shown as text, never decoded as a function.
    EXPECT_NE(session.result.output.find("talvo_sim: HELLO"), std::string::npos)
        << session.result.output;
    EXPECT_EQ(session.result.output.find("FnId    : 0x6174"), std::string::npos);
    EXPECT_EQ(CountOf(session.responses, "FnId    : 0x0001,  GETVERSION,  OutStruc={ S16 W3  }\n"
                                         "Error   : 0x0000\n"
                                         " String   : SIM"),
              1U)
        << session.responses;
    EXPECT_EQ(CountOf(session.responses, "FnId    : 0x0010,  SETOUTPUT,  OutStruc={ B B  }\n"
                                         "Error   : 0x0000\n"
                                         " BYTE     : 3 \n"
                                         " BYTE     : 1 \n"),
              1U)
        << session.responses;
    EXPECT_EQ(CountOf(session.responses, "READLOG,  OutStruc={ W B (D H W)4  }\n"
                                         "Error   : 0x0000\n"
                                         " WORD     : 5 \n"
                                         " BYTE     : 2 \n"),
              1U)
        << session.responses;
}

TEST(SimLinkTest, ScriptOverTcpWithOip) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--port", "0", "-D", kDefinitionFile});
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort) << sim.Output();
    // The connection comes up while the script pauses; calls before it would wait forever.
    // Written on Windows: CR LF line ends read as LF.
    std::string crlfCalls;
    for (const char c : "PAUSE 1\n" + kCalls) {
        crlfCalls += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const Session session = RunScript("TCP", {"-I127.0.0.1:" + std::to_string(nPort)}, crlfCalls);
    ExpectStandardAnswers(session);
    EXPECT_NE(sim.Output().find("<- RFS_REQUEST (3) 5 bytes, FnId 0x0031 READLOG"),
              std::string::npos);
}

// Text fields of an answer used to reach the terminal raw: a unit could retitle the window or
// clear the screen. The simulator echoes a string with escape sequences back.
TEST(SimLinkTest, EscapeSequencesInAnAnswerAreShownHarmless) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--port", "0", "-D", kDefinitionFile});
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort) << sim.Output();
    const Session session = RunScript("ESCAPE", {"-I127.0.0.1:" + std::to_string(nPort)},
                                      "PAUSE 1\nECHO \"\x1B]2;OWNED\x07\x1B[2J\"\n");
    EXPECT_EQ(session.result.iExitCode, 0) << session.result.output;
    EXPECT_NE(session.responses.find(" String   : .]2;OWNED..[2J"), std::string::npos)
        << session.responses;
    EXPECT_EQ(session.responses.find('\x1B'), std::string::npos);
    EXPECT_EQ(session.responses.find('\x07'), std::string::npos);
}

// A response file on a full disk swallowed the header, the answers and the link events in
// silence. The failure is reported once, with its reason, and the answers come to the console.
TEST(SimLinkTest, FailedResponseFileIsReportedOnceAndAnswersComeToTheConsole) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--port", "0", "-D", kDefinitionFile});
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort) << sim.Output();
    WriteFile(TempPath("FULL.SCR"), "PAUSE 1\nGETVERSION\nPAUSE 1\nSETOUTPUT 3 1\nPAUSE 1\nEXIT\n");
    const RunResult result = RunProgram(
        TALVO_RC_BIN, {"-I127.0.0.1:" + std::to_string(nPort), "-D" + kDefinitionFile, "FULL.SCR"},
        "RESFILE /dev/full\n", kRunLimitMs, {}, TempDirectory());
    EXPECT_EQ(result.iExitCode, 0) << result.output;
    EXPECT_EQ(CountOf(result.output, "Can't write response file : No space left on device"), 1U)
        << result.output;
    EXPECT_EQ(CountOf(result.output, " String   : SIM"), 1U) << result.output;
    EXPECT_EQ(CountOf(result.output, "SETOUTPUT,  OutStruc"), 1U) << result.output;
}

class SerialProtocolTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(SerialProtocolTest, ScriptOverPseudoTerminal) {
    const auto [pszSimProtocol, pszToolOption] = GetParam();
    BackgroundProgram sim(TALVO_SIM_BIN,
                          {"--pty", "--protocol", pszSimProtocol, "-D", kDefinitionFile});
    const std::string path = PtyPath(sim);
    ASSERT_NE(path, "") << sim.Output();
    const Session session =
        RunScript(std::string("SER") + pszToolOption, {"-S2", std::string("-P") + pszToolOption},
                  kCalls, {"TALVO_RC_COM2=" + path});
    ExpectStandardAnswers(session);
}

// Processor time (user and system, clock ticks) the process has used so far.
long CpuTicks(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

// The simulator ended under a connected talvo_rc: its line hangs up. The tool used to spin at a
// full core on a read that returned 0 again and again, and never said a word.
TEST_P(SerialProtocolTest, HungUpLineIsReportedOnceAndCostsNoProcessorTime) {
    const auto [pszSimProtocol, pszToolOption] = GetParam();
    auto sim = std::make_unique<BackgroundProgram>(
        TALVO_SIM_BIN,
        std::vector<std::string>{"--pty", "--protocol", pszSimProtocol, "-D", kDefinitionFile});
    const std::string path = PtyPath(*sim);
    ASSERT_NE(path, "") << sim->Output();
    BackgroundProgram tool(TALVO_RC_BIN,
                           {"-S2", std::string("-P") + pszToolOption, "-D" + kDefinitionFile},
                           {"TALVO_RC_COM2=" + path}, true);
    ASSERT_NE(tool.WaitFor("Function ==> ", 5000), "") << tool.Output();
    tool.Send("GETVERSION\n");
    ASSERT_NE(tool.WaitFor("String   : SIM", 5000), "") << tool.Output();
    sim.reset();
    ASSERT_NE(tool.WaitFor("RS232 Connection Lost", 5000), "") << tool.Output();
    const long before = CpuTicks(tool.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = CpuTicks(tool.Pid()) - before;
    EXPECT_LT(used, 20) << "ticks of processor time in one second";
    EXPECT_EQ(CountOf(tool.Output(), "RS232 Connection Lost"), 1U) << tool.Output();
    // The program goes on without the line.
    tool.Send("PFNID\n");
    EXPECT_NE(tool.WaitFor("Current Pending Fnid", 5000), "") << tool.Output();
}

// A tool that starts over sends the same first call with the same sequence at once: that is a
// new call, not a retransmission, and is answered again.
TEST(SimLinkTest, SameFirstCallFromATimelyRestartedToolIsAnsweredAgain) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "-D", kDefinitionFile});
    const std::string path = PtyPath(sim);
    ASSERT_NE(path, "") << sim.Output();
    for (int run = 0; run < 3; ++run) {
        const Session session =
            RunScript("AGAIN", {"-S2", "-PF"}, "GETVERSION\n", {"TALVO_RC_COM2=" + path}, 20000);
        EXPECT_EQ(session.result.iExitCode, 0) << run;
        EXPECT_EQ(CountOf(session.responses, "GETVERSION,  OutStruc"), 1U) << run;
    }
}

// Named after the framing (".../Full"): ctest runs each case by its name.
INSTANTIATE_TEST_SUITE_P(AllFramings, SerialProtocolTest,
                         ::testing::Values(std::make_pair("full", "F"),
                                           std::make_pair("simple", "S"),
                                           std::make_pair("terminal", "T")),
                         FramingName());

// With the retries raised on both sides, a line that loses a tenth of the unit's frames and
// corrupts another twentieth still delivers every answer exactly once, and the unit executes every
// request exactly once (a retransmission after the start-up reset used to run a call twice).
TEST(SimLinkTest, FullProtocolDeliversEveryAnswerOnceOverALossyLine) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--drop", "10", "--corrupt", "5",
                                          "--faults-after", "1", "-D", kDefinitionFile});
    const std::string path = PtyPath(sim);
    ASSERT_NE(path, "") << sim.Output();
    std::string body = "PROTOCOL BOTHPARAMS 5 10 1\nGETVERSION\n";
    constexpr int kCallCount = 400;
    for (int i = 0; i < kCallCount; ++i) {
        body += "PULSEOUTPUT " + std::to_string(i % 16) + " " + std::to_string(i) + "\n";
    }
    // The simulator's trace is drained while the script runs, so that it never waits on a full
    // pipe.
    auto run = std::async(std::launch::async, [&] {
        return RunScript("LOSSY", {"-S2", "-PF"}, body, {"TALVO_RC_COM2=" + path}, 280000);
    });
    while (run.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        (void)sim.Output();
    }
    const Session session = run.get();
    ASSERT_FALSE(session.result.bTimedOut) << session.responses.substr(0, 2000);
    EXPECT_EQ(session.result.iExitCode, 0);
    EXPECT_EQ(CountOf(session.responses, "Remote params Responce"), 1U);
    EXPECT_EQ(CountOf(session.responses, "GETVERSION,  OutStruc"), 1U);
    EXPECT_EQ(CountOf(session.responses, "PULSEOUTPUT,  OutStruc"),
              static_cast<std::size_t>(kCallCount));
    for (int i = 0; i < kCallCount; ++i) {
        // Each answer echoes its own call, so none was mixed up with another.
        EXPECT_EQ(CountOf(session.responses, " WORD     : " + std::to_string(i) + " \n"), 1U) << i;
    }
    EXPECT_EQ(session.responses.find("Message Lost"), std::string::npos);
    EXPECT_EQ(session.result.output.find("Message Lost"), std::string::npos);
    const std::string simOutput = sim.Output();
    EXPECT_EQ(CountOf(simOutput, "<- RFS_REQUEST (3)"), static_cast<std::size_t>(kCallCount + 1));
}

} // namespace
