// The real talvo_rc against the real talvo_sim: scripts of calls over each link, checked through
// the response file.
#include <gtest/gtest.h>

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

// Named after the framing (".../Full"): ctest runs each case by its name.
INSTANTIATE_TEST_SUITE_P(AllFramings, SerialProtocolTest,
                         ::testing::Values(std::make_pair("full", "F"),
                                           std::make_pair("simple", "S"),
                                           std::make_pair("terminal", "T")),
                         [](const ::testing::TestParamInfo<SerialProtocolTest::ParamType>& info) {
                             std::string name = info.param.first;
                             name[0] = static_cast<char>(name[0] - 'a' + 'A');
                             return name;
                         });

// With the retries raised on both sides, a line that loses a tenth of the unit's frames and
// corrupts another twentieth still delivers every answer exactly once.
TEST(SimLinkTest, FullProtocolDeliversEveryAnswerOnceOverALossyLine) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--quiet", "--drop", "10", "--corrupt", "5",
                                          "--faults-after", "1", "-D", kDefinitionFile});
    const std::string path = PtyPath(sim);
    ASSERT_NE(path, "") << sim.Output();
    std::string body = "PROTOCOL BOTHPARAMS 5 10 1\nGETVERSION\n";
    constexpr int kCallCount = 200;
    for (int i = 0; i < kCallCount; ++i) {
        body += "PULSEOUTPUT " + std::to_string(i % 16) + " " + std::to_string(i) + "\n";
    }
    const Session session =
        RunScript("LOSSY", {"-S2", "-PF"}, body, {"TALVO_RC_COM2=" + path}, 240000);
    ASSERT_FALSE(session.result.bTimedOut) << session.responses.substr(0, 2000);
    EXPECT_EQ(session.result.iExitCode, 0);
    EXPECT_EQ(CountOf(session.responses, "Remote params Responce"), 1U);
    EXPECT_EQ(CountOf(session.responses, "GETVERSION,  OutStruc"), 1U);
    EXPECT_EQ(CountOf(session.responses, "PULSEOUTPUT,  OutStruc"),
              static_cast<std::size_t>(kCallCount));
    for (int i = 0; i < kCallCount; i += 37) {
        // Each answer echoes its own call, so none was mixed up with another.
        EXPECT_EQ(CountOf(session.responses, " WORD     : " + std::to_string(i) + " \n"), 1U) << i;
    }
    EXPECT_EQ(session.responses.find("Message Lost"), std::string::npos);
    EXPECT_EQ(session.result.output.find("Message Lost"), std::string::npos);
}

} // namespace
