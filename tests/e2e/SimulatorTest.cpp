// talvo_sim on its own and with its faults: the command line, the TCP stream protocols spoken by
// a raw peer, and the faults and notifications as talvo_rc sees them.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
using Bytes = std::vector<std::uint8_t>;

// A plain TCP client on the loopback.
class RawPeer {
  public:
    explicit RawPeer(unsigned nPort) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawPeer() { close(m_fd); }
    bool Connected() const { return m_bConnected; }
    void Send(const Bytes& bytes) { (void)!write(m_fd, bytes.data(), bytes.size()); }
    // Reads until at least count bytes came or the time is up.
    Bytes Receive(std::size_t count, int iTimeoutMs) {
        Bytes received;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
        while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) == 1) {
                std::uint8_t buffer[1024];
                const ssize_t n = read(m_fd, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                received.insert(received.end(), buffer, buffer + n);
            }
        }
        return received;
    }

  private:
    int m_fd = -1;
    bool m_bConnected = false;
};

RunResult RunTool(const std::string& name, unsigned nPort, const std::string& body,
                  int iLimitMs = 30000) {
    WriteFile(TempPath(name + ".SCR"), "RESFILE " + name + ".RES\n" + body + "EXIT\n");
    return RunProgram(
        TALVO_RC_BIN,
        {"-I127.0.0.1:" + std::to_string(nPort), "-D" + kDefinitionFile, name + ".SCR"}, "",
        iLimitMs, {}, TempDirectory());
}

// talvo_sim on TCP at a free port, with the extra arguments.
std::vector<std::string> TcpSim(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--tcp", "--port", "0", "-D", kDefinitionFile};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(SimulatorTest, HelpAndBadOptions) {
    RunResult help = RunProgram(TALVO_SIM_BIN, {"--help"}, "", 5000);
    EXPECT_EQ(0, help.iExitCode);
    EXPECT_EQ(0u, help.output.rfind("Usage: talvo_sim", 0)) << help.output;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--tcp", "--bogus"},
                                                 {"--tcp", "--drop", "101"},
                                                 {"--tcp", "--protocol", "full"},
                                                 {"--pty", "--protocol", "oip"},
                                                 {"--port", "7"},
                                                 {"--tcp", "--port"}}) {
        const RunResult bad = RunProgram(TALVO_SIM_BIN, args, "", 5000);
        EXPECT_EQ(2, bad.iExitCode) << args.back();
        EXPECT_NE(std::string::npos, bad.output.find("(try --help)")) << bad.output;
    }
}

TEST(SimulatorTest, EndsCleanlyOnSigterm) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({}));
    ASSERT_NE(0u, ListeningPort(sim));
    EXPECT_EQ(0, sim.Stop());
}

// The local address of the listening socket on port 9451 from /proc/net/tcp, in its hex form
// ("0100007F" is 127.0.0.1), or "" when none listens.
std::string ListeningAddress() {
    std::istringstream table(ReadFile("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == ":24EB") {
            return local.substr(0, local.size() - 5);
        }
    }
    return "";
}

// A simulator started for a quick try was reachable from the whole network, and a taken port
// was reported without its reason.
TEST(SimulatorTest, ListensOnTheLoopbackUnlessToldAndSaysWhyThePortIsTaken) {
    {
        BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "-D", kDefinitionFile});
        ASSERT_NE("", sim.WaitFor("listening on TCP port 9451 of 127.0.0.1\n", 5000))
            << sim.Output();
        EXPECT_EQ("0100007F", ListeningAddress());
        const RunResult second =
            RunProgram(TALVO_SIM_BIN, {"--tcp", "-D", kDefinitionFile}, "", 5000);
        EXPECT_EQ(1, second.iExitCode);
        EXPECT_NE(std::string::npos,
                  second.output.find("talvo_sim: cannot listen on TCP port 9451 of 127.0.0.1: "
                                     "Address already in use\n"))
            << second.output;
    }
    BackgroundProgram everywhere(TALVO_SIM_BIN,
                                 {"--tcp", "--listen", "0.0.0.0", "-D", kDefinitionFile});
    ASSERT_NE("", everywhere.WaitFor("listening on TCP port 9451 of 0.0.0.0\n", 5000))
        << everywhere.Output();
    EXPECT_EQ("00000000", ListeningAddress());
    const RunResult bad = RunProgram(TALVO_SIM_BIN, {"--tcp", "--listen", "localhost"}, "", 5000);
    EXPECT_EQ(2, bad.iExitCode);
    EXPECT_NE(std::string::npos, bad.output.find("(try --help)")) << bad.output;
}

TEST(SimulatorTest, TerminalStreamLinesGetTextAnswers) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({"--protocol", "terminal"}));
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort);
    RawPeer peer(nPort);
    ASSERT_TRUE(peer.Connected());
    peer.Send({'S', 'T', 'A', 'T', 'X', 8, 'U', 'S', '\r'});
    const std::string expected = "talvo_sim: STATUS";
    const Bytes answer = peer.Receive(expected.size(), 3000);
    EXPECT_EQ(expected, std::string(answer.begin(), answer.end()).substr(0, expected.size()));
}

TEST(SimulatorTest, MultiPackagesCarryCallsAndAnswers) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({"--protocol", "multi"}));
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort);
    RawPeer peer(nPort);
    ASSERT_TRUE(peer.Connected());
    // SETOUTPUT (0x0010) 3 1 as a message package: preamble, type 1, message type 3, length 4.
    peer.Send({0xAA, 0x55, 0x01, 0x03, 0x04, 0x00, 0x10, 0x00, 0x03, 0x01});
    Bytes received = peer.Receive(6 + 6, 3000);
    // Keep-alives (AA 55 02 00 00 00) may come first; find the message package.
    const Bytes header = {0xAA, 0x55, 0x01, 0x04, 0x06, 0x00};
    auto it = std::search(received.begin(), received.end(), header.begin(), header.end());
    if (it == received.end() || received.end() - it < 12) {
        const Bytes more = peer.Receive(12, 1000);
        received.insert(received.end(), more.begin(), more.end());
        it = std::search(received.begin(), received.end(), header.begin(), header.end());
    }
    ASSERT_NE(it, received.end());
    ASSERT_GE(received.end() - it, 12);
    EXPECT_EQ((Bytes{0x10, 0x00, 0x00, 0x00, 0x03, 0x01}), Bytes(it + 6, it + 12));
}

TEST(SimulatorTest, CloseAfterDropsTheConnectionAfterItsAnswers) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({"--close-after", "2"}));
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort);
    const RunResult result = RunTool("CLOSE", nPort, "PAUSE 1\nGETVERSION\nGETTIME\nPAUSE 2\n");
    const std::string responses = ReadFile(TempPath("CLOSE.RES"));
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_EQ(1u, CountOf(responses, "GETVERSION,  OutStruc"));
    EXPECT_EQ(1u, CountOf(responses, "GETTIME,  OutStruc"));
    EXPECT_NE(std::string::npos, responses.find(".... TCP/IP Connection Lost.")) << responses;
}

TEST(SimulatorTest, DelayHoldsAnswersBack) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({"--delay", "1500"}));
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort);
    const auto start = std::chrono::steady_clock::now();
    const RunResult result = RunTool("DELAY", nPort, "PAUSE 1\nGETVERSION\nGETTIME\n");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_EQ(1u, CountOf(ReadFile(TempPath("DELAY.RES")), "GETTIME,  OutStruc"));
    EXPECT_GE(elapsed, std::chrono::milliseconds(3000)); // two answers, 1.5 s each
}

TEST(SimulatorTest, NotificationsArriveOnTheirPeriod) {
    BackgroundProgram sim(TALVO_SIM_BIN, TcpSim({"--notify", "1"}));
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort);
    const RunResult result = RunTool("NOTIFY", nPort, "PAUSE 1\nGETVERSION\nPAUSE 3\n");
    const std::string responses = ReadFile(TempPath("NOTIFY.RES"));
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_NE(std::string::npos, responses.find("PC_NOTIFY (5) Message")) << responses;
}

TEST(SimulatorTest, SilentUnitIsDeclaredLostOverTheFullProtocol) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--silent-after", "1", "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE("", path);
    WriteFile(TempPath("SILENT.SCR"),
              "RESFILE SILENT.RES\nPROTOCOL LOCALPARAMS 1 2 1\nGETVERSION\nPAUSE 4\nEXIT\n");
    const RunResult result = RunProgram(TALVO_RC_BIN, {"-S2", "-D" + kDefinitionFile, "SILENT.SCR"},
                                        "", 30000, {"TALVO_RC_COM2=" + path}, TempDirectory());
    const std::string responses = ReadFile(TempPath("SILENT.RES"));
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_EQ(1u, CountOf(responses, "GETVERSION,  OutStruc"));
    EXPECT_NE(std::string::npos, responses.find(".... RS232 Connection Lost.")) << responses;
}

} // namespace
