// Batch runs of the real talvo_rc against talvo_sim: the exit status and summary line, the answer
// time-out, a link that never comes, an interrupted run, and the JSON Lines file read back by
// Python's json module.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
constexpr int kRunLimitMs = 60000;
const std::string kCalls = "GETVERSION\n"
                           "SETOUTPUT 3 1\n"
                           "READLOG 5 2\n"
                           "PULSEOUTPUT 3 250\n";

struct BatchRun {
    RunResult result;
    double dSeconds = 0;
};

// Runs talvo_rc -B with the script (no EXIT: the end of the file ends the run) and no input.
BatchRun RunBatch(const std::string& name, const std::string& body,
                  const std::vector<std::string>& options,
                  const std::string& definitionFile = kDefinitionFile,
                  const std::vector<std::string>& env = {}) {
    WriteFile(TempPath(name + ".SCR"), body);
    std::vector<std::string> args = {"-B"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("-D" + definitionFile);
    args.push_back(name + ".SCR");
    const auto start = std::chrono::steady_clock::now();
    BatchRun run;
    run.result = RunProgram(TALVO_RC_BIN, args, "", kRunLimitMs, env, TempDirectory());
    run.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

// The simulator on a free TCP port of the loopback.
class SimOverTcp {
  public:
    explicit SimOverTcp(std::vector<std::string> args) : m_sim(TALVO_SIM_BIN, WithTcp(args)) {}
    bool Ready() {
        m_nPort = ListeningPort(m_sim);
        return m_nPort != 0;
    }
    std::string Link() const { return "-I127.0.0.1:" + std::to_string(m_nPort); }
    std::string Output() { return m_sim.Output(); }

  private:
    static std::vector<std::string> WithTcp(std::vector<std::string> args) {
        args.insert(args.begin(), {"--tcp", "--port", "0", "--quiet", "-D", kDefinitionFile});
        return args;
    }
    BackgroundProgram m_sim;
    unsigned m_nPort = 0;
};

// A loopback port nothing listens on: one the system hands out, closed again at once.
unsigned ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bBound = fd >= 0 &&
                        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return bBound ? ntohs(address.sin_port) : 0u;
}

TEST(BatchTest, EveryCallAnsweredEndsWithZeroAndTheJsonFileHoldsEachCallAndAnswer) {
    SimOverTcp sim({});
    ASSERT_TRUE(sim.Ready()) << sim.Output();
    const std::string jsonPath = TempPath("ALL.jsonl");
    const BatchRun run = RunBatch("ALL", kCalls, {sim.Link(), "-J" + jsonPath});
    ASSERT_FALSE(run.result.bTimedOut);
    EXPECT_EQ(0, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "\nSummary: 4 calls, 4 answered, 0 error answers, "
                                             "0 without answer, 0 link failures\n"))
        << run.result.output;

    const RunResult check = RunProgram("/bin/sh",
                                       {"-c", "exec python3 \"$0\" \"$1\"",
                                        TALVO_SOURCE_DIR "/tests/e2e/check_jsonl.py", jsonPath},
                                       "", kRunLimitMs);
    EXPECT_EQ(0, check.iExitCode) << check.output;
    EXPECT_EQ("ok\n", check.output);
}

TEST(BatchTest, AnswerWithAnErrorCodeEndsWithFive) {
    SimOverTcp sim({});
    ASSERT_TRUE(sim.Ready()) << sim.Output();
    // A function the unit does not know: it answers with error code 1.
    const std::string definitionFile = TempPath("EXTRA.DEF");
    WriteFile(definitionFile,
              ReadFile(kDefinitionFile) + "\n#define REQUEST\nNOSUCH 0x0EEE { - } { - }\n");
    const BatchRun run =
        RunBatch("ERR", "GETVERSION\nNOSUCH\n", {sim.Link(), "-t"}, definitionFile);
    EXPECT_EQ(5, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "Error   : 0x0001\n"));
    EXPECT_EQ(1U, CountOf(run.result.output, "Summary: 2 calls, 2 answered, 1 error answers, "
                                             "0 without answer, 0 link failures\n"))
        << run.result.output;
    // -t: the displays carry the time.
    EXPECT_EQ(2U, CountOf(run.result.output, "] RFS_RESPONSE (4) Message"));
}

TEST(BatchTest, SilentUnitTimesOutAfterTheAnswerTimeout) {
    SimOverTcp sim({"--silent-after", "1"});
    ASSERT_TRUE(sim.Ready()) << sim.Output();
    const BatchRun run = RunBatch("SILENT", "GETVERSION\nSETOUTPUT 3 1\n", {sim.Link(), "-W2"});
    EXPECT_EQ(5, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "\nNo answer to 0x0010 (SETOUTPUT) within 2 s\n"))
        << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "Summary: 2 calls, 1 answered, 0 error answers, "
                                             "1 without answer, 0 link failures\n"))
        << run.result.output;
    EXPECT_GE(run.dSeconds, 1.9);
    EXPECT_LT(run.dSeconds, 6.0);
}

TEST(BatchTest, LinkThatNeverComesEndsWithFour) {
    const unsigned nPort = ClosedPort();
    ASSERT_NE(0u, nPort);
    const BatchRun run =
        RunBatch("NOLINK", kCalls, {"-I127.0.0.1:" + std::to_string(nPort), "-W1"});
    EXPECT_EQ(4, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output,
                          "No connection to 127.0.0.1:" + std::to_string(nPort) + " within 1 s\n"))
        << run.result.output;
    EXPECT_LT(run.dSeconds, 5.0);
}

TEST(BatchTest, SerialPortThatCannotBeOpenedEndsWithFour) {
    const BatchRun run = RunBatch("NOSERIAL", kCalls, {"-S/nonexistent/ttyUSB9", "-W1"});
    EXPECT_EQ(4, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "Can't open /nonexistent/ttyUSB9: "))
        << run.result.output;
    EXPECT_LT(run.dSeconds, 5.0);
}

TEST(BatchTest, InterruptedBatchPrintsItsSummaryAndExitsWithTheSignal) {
    WriteFile(TempPath("STOP.SCR"), kCalls);
    const unsigned nPort = ClosedPort(); // the link never comes
    ASSERT_NE(0u, nPort);
    // exec: the signal reaches talvo_rc itself, started in the script's directory.
    BackgroundProgram tool("/bin/sh",
                           {"-c",
                            "cd \"$0\" && exec \"$1\" -B -W30 \"-I127.0.0.1:$3\" "
                            "\"-D$2\" STOP.SCR",
                            TempDirectory(), TALVO_RC_BIN, kDefinitionFile, std::to_string(nPort)});
    ASSERT_NE("", tool.WaitFor("Using TCP/IP communication", 5000)) << tool.Output();
    EXPECT_EQ(143, tool.Stop()); // SIGTERM, while it waits for the link
    EXPECT_EQ(1U, CountOf(tool.Output(), "Summary: 0 calls, 0 answered"));
}

TEST(BatchTest, BatchOverASerialLineStartsAtOnce) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--quiet", "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE(path, "") << sim.Output();
    const BatchRun run =
        RunBatch("SERIAL", kCalls, {"-S2", "-PF"}, kDefinitionFile, {"TALVO_RC_COM2=" + path});
    EXPECT_EQ(0, run.result.iExitCode) << run.result.output;
    EXPECT_EQ(1U, CountOf(run.result.output, "Summary: 4 calls, 4 answered, 0 error answers, "
                                             "0 without answer, 0 link failures\n"))
        << run.result.output;
}

} // namespace
