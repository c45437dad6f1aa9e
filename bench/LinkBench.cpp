// talvo_linkbench: runs the real talvo_rc against the real talvo_sim and prints, in one run, the
// idle processor share and wake-ups per second of each idle set-up (the tool on a silent serial
// line with each protocol, on a TCP link to a silent unit and to a quiet talvo_sim, the simulator
// itself, and picocom on a silent line as the reference when it is installed), the latency from a
// unit's answer to its display, scripted calls per second over TCP loopback and over a
// pseudo-terminal with the Full protocol, the paced serial line's use at 115200 baud, and the cost
// of a link capture.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
constexpr int kIdleSeconds = 10;
constexpr int kLatencyCalls = 40;
constexpr int kLatencyGapMs = 30; // the tool goes back to sleep between two calls
constexpr std::uint16_t kUnitPort = 9451;
constexpr int kCallCount = 5000;
constexpr int kPacedCallCount = 1000;
constexpr std::uint32_t kPacedBaud = 115200;
constexpr double kBitsPerByte = 10.0;
// One GETVERSION call on the Full line: request frame (8 bytes of framing and 2 of FnId), its
// ACK (5), the answer frame (8 + FnId, error code, S16 and W3 = 26) and its ACK (5).
constexpr double kFullBytesPerCall = (8 + 2) + 5 + (8 + 26) + 5;

using Clock = std::chrono::steady_clock;

// The programs under test: the ones built with this benchmark, or those named by the
// environment variables TALVO_RC_BIN and TALVO_SIM_BIN (to compare two builds).
std::string Program(const char* pszVariable, const char* pszBuilt) {
    const char* pszValue = std::getenv(pszVariable);
    return pszValue != nullptr && *pszValue != '\0' ? pszValue : pszBuilt;
}

// Processor time of a process in seconds (user + system), from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ullUser = 0;
    unsigned long long ullSystem = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            ullUser = std::stoull(field);
        } else if (i == 15) {
            ullSystem = std::stoull(field);
        }
    }
    return static_cast<double>(ullUser + ullSystem) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Link {
    std::vector<std::string> simArgs;
    std::vector<std::string> toolArgs;
    bool bSerial = false;
    const char* pszReady = nullptr; // the tool's line that says the link is up
};

Link TcpLink() {
    return {{"--tcp", "--quiet"}, {"-I127.0.0.1"}, false, "TCP/IP Connection Established"};
}

Link PtyLink(std::uint32_t dwBaud, bool bPaced) {
    Link link{{"--pty", "--quiet"},
              {"-S2:" + std::to_string(dwBaud), "-PF"},
              true,
              "RS232 Connection Established"};
    if (bPaced) {
        link.simArgs.push_back("--baud");
        link.simArgs.push_back(std::to_string(dwBaud));
    }
    return link;
}

// A running pair: the simulator and the tool, the tool's input a pipe like an idle keyboard.
class Session {
  public:
    explicit Session(const Link& link) {
        std::vector<std::string> simArgs = link.simArgs;
        simArgs.push_back("-D");
        simArgs.push_back(kDefinitionFile);
        m_sim =
            std::make_unique<BackgroundProgram>(Program("TALVO_SIM_BIN", TALVO_SIM_BIN), simArgs);
        std::vector<std::string> env;
        if (link.bSerial) {
            const std::string path = m_sim->WaitForLine("pty: ", 5000);
            env.push_back("TALVO_RC_COM2=" + path);
        } else {
            m_sim->WaitFor("listening", 5000);
        }
        std::vector<std::string> toolArgs = link.toolArgs;
        toolArgs.push_back("-D" + kDefinitionFile);
        m_tool = std::make_unique<BackgroundProgram>(Program("TALVO_RC_BIN", TALVO_RC_BIN),
                                                     toolArgs, env, true);
        // The Full protocol connects with the first message, so one call brings either link up.
        if (!link.bSerial) {
            m_tool->WaitFor(link.pszReady, 10000);
        }
        m_tool->Send("GETVERSION\n");
        m_bUp = m_tool->WaitFor("GETVERSION,  OutStruc", 10000) != "";
    }
    ~Session() {
        m_tool->Send("EXIT\n");
        m_tool->Stop();
        m_sim->Stop();
    }
    bool Up() const { return m_bUp; }
    BackgroundProgram& Tool() { return *m_tool; }
    BackgroundProgram& Sim() { return *m_sim; }

  private:
    std::unique_ptr<BackgroundProgram> m_sim;
    std::unique_ptr<BackgroundProgram> m_tool;
    bool m_bUp = false;
};

// Context switches of every thread of a process: each time one of them went to sleep or was
// put off the processor. A program that sleeps until it has work switches once per wake-up.
unsigned long long ContextSwitches(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long ullTotal = 0;
    DIR* pDir = opendir(base.c_str());
    if (pDir == nullptr) {
        return 0;
    }
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') {
            continue;
        }
        std::ifstream status(base + "/" + pEntry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                ullTotal += std::stoull(line.substr(line.find(':') + 1));
            }
        }
    }
    closedir(pDir);
    return ullTotal;
}

// Processor time of every thread of a process in seconds, to the nanosecond (schedstat), so that
// an idle share far below the clock tick of /proc/<pid>/stat still shows.
double ThreadCpuSeconds(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* pDir = opendir(base.c_str());
    if (pDir == nullptr) {
        return CpuSeconds(pid);
    }
    unsigned long long ullNs = 0;
    bool bFound = false;
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') {
            continue;
        }
        std::ifstream schedstat(base + "/" + pEntry->d_name + "/schedstat");
        unsigned long long ullThread = 0;
        if (schedstat >> ullThread) {
            ullNs += ullThread;
            bFound = true;
        }
    }
    closedir(pDir);
    return bFound ? static_cast<double>(ullNs) / 1e9 : CpuSeconds(pid);
}

// Processor share and wake-ups per second of a running process over kIdleSeconds.
void PrintIdle(const char* pszName, pid_t pid, BackgroundProgram* pDrain = nullptr) {
    const double dStart = ThreadCpuSeconds(pid);
    const unsigned long long ullStart = ContextSwitches(pid);
    const Clock::time_point end = Clock::now() + std::chrono::seconds(kIdleSeconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (pDrain != nullptr) {
            (void)pDrain->Output(); // keep its output pipe drained
        }
    }
    const double dUsed = ThreadCpuSeconds(pid) - dStart;
    const unsigned long long ullSwitches = ContextSwitches(pid) - ullStart;
    std::printf("  %-40s %7.4f %% of one core %8.1f wake-ups/s\n", pszName,
                100.0 * dUsed / kIdleSeconds, static_cast<double>(ullSwitches) / kIdleSeconds);
    std::fflush(stdout);
}

// A pseudo-terminal whose far end nobody writes: a serial line to a unit that is switched off.
class SilentPty {
  public:
    SilentPty() {
        m_fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd >= 0 && grantpt(m_fd) == 0 && unlockpt(m_fd) == 0) {
            m_path = ptsname(m_fd);
        }
    }
    ~SilentPty() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    SilentPty(const SilentPty&) = delete;
    SilentPty& operator=(const SilentPty&) = delete;
    const std::string& Path() const { return m_path; }
    int Fd() const { return m_fd; }

  private:
    int m_fd = -1;
    std::string m_path;
};

void MeasureSilentSerial(const char* pszName, const char* pszProtocol) {
    SilentPty line;
    BackgroundProgram tool(Program("TALVO_RC_BIN", TALVO_RC_BIN),
                           {"-S2:19200", pszProtocol, "-D" + kDefinitionFile},
                           {"TALVO_RC_COM2=" + line.Path()}, true);
    if (tool.WaitFor("Protocol", 5000).empty()) {
        std::printf("  %-40s did not start\n", pszName);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PrintIdle(pszName, tool.Pid(), &tool);
    tool.Send("EXIT\n");
}

// A unit that accepts the connection and then says nothing: the tool's heartbeats go unanswered.
void MeasureSilentTcp(const char* pszName) {
    const int iListener = socket(AF_INET, SOCK_STREAM, 0);
    const int iOn = 1;
    setsockopt(iListener, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof iOn);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kUnitPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (iListener < 0 ||
        bind(iListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(iListener, 1) != 0) {
        std::printf("  %-40s port %u not free\n", pszName, kUnitPort);
        if (iListener >= 0) {
            close(iListener);
        }
        return;
    }
    std::atomic<bool> bStop{false};
    std::thread unit([&] {
        pollfd listenPoll{iListener, POLLIN, 0};
        while (!bStop && poll(&listenPoll, 1, 100) <= 0) {
        }
        const int iPeer = bStop ? -1 : accept(iListener, nullptr, nullptr);
        char abyDrain[256];
        while (!bStop && iPeer >= 0) {
            pollfd peerPoll{iPeer, POLLIN, 0};
            if (poll(&peerPoll, 1, 100) > 0 && read(iPeer, abyDrain, sizeof abyDrain) <= 0) {
                break;
            }
        }
        if (iPeer >= 0) {
            close(iPeer);
        }
    });
    {
        BackgroundProgram tool(Program("TALVO_RC_BIN", TALVO_RC_BIN),
                               {"-I127.0.0.1", "-D" + kDefinitionFile}, {}, true);
        if (tool.WaitFor("TCP/IP Connection Established", 10000).empty()) {
            std::printf("  %-40s link did not come up\n", pszName);
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            PrintIdle(pszName, tool.Pid(), &tool);
        }
        tool.Send("EXIT\n");
    }
    bStop = true;
    unit.join();
    close(iListener);
}

void MeasureQuietLink(const char* pszTool, const char* pszSim, const Link& link) {
    Session session(link);
    if (!session.Up()) {
        std::printf("  %-40s link did not come up\n", pszTool);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PrintIdle(pszTool, session.Tool().Pid(), &session.Tool());
    PrintIdle(pszSim, session.Sim().Pid());
}

// picocom on the same kind of silent line, its own terminal a second pseudo-terminal: the figure
// of a serial terminal that sleeps until something happens.
void MeasurePicocom() {
    if (system("command -v picocom >/dev/null 2>&1") != 0) {
        std::printf("  %-40s not installed\n", "picocom, silent pty (reference)");
        return;
    }
    SilentPty line;
    SilentPty terminal;
    const std::string terminalPath = terminal.Path();
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int iTty = open(terminalPath.c_str(), O_RDWR);
        dup2(iTty, 0);
        dup2(iTty, 1);
        dup2(iTty, 2);
        execlp("picocom", "picocom", "-q", "-b", "19200", line.Path().c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    std::thread drain([&] { // its terminal's output, read as a screen would
        char abyDrain[256];
        pollfd ttyPoll{terminal.Fd(), POLLIN, 0};
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (poll(&ttyPoll, 1, 200) > 0 && read(terminal.Fd(), abyDrain, sizeof abyDrain) <= 0) {
                break;
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    PrintIdle("picocom, silent pty (reference)", pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    drain.join();
}

// Median and mean time from sending one call to its answer on the display, the tool idle before
// each: the wake-up on the unit's answer is part of it.
void MeasureLatency(const char* pszName, const Link& link) {
    Session session(link);
    if (!session.Up()) {
        std::printf("  %-40s link did not come up\n", pszName);
        return;
    }
    std::vector<double> latencies;
    for (int i = 0; i < kLatencyCalls; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLatencyGapMs));
        session.Tool().Mark();
        const Clock::time_point start = Clock::now();
        session.Tool().Send("GETVERSION\n");
        if (!session.Tool().WaitForCount("GETVERSION,  OutStruc", 1, 5000)) {
            std::printf("  %-40s no answer\n", pszName);
            return;
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    double dSum = 0;
    for (const double d : latencies) {
        dSum += d;
    }
    std::printf("  %-40s median %6.3f ms, mean %6.3f ms (%d calls)\n", pszName,
                latencies[latencies.size() / 2], dSum / static_cast<double>(latencies.size()),
                kLatencyCalls);
}

// Runs a script of calls and returns the calls per second from the script's start to the last
// answer, or 0 when it did not finish.
double MeasureCalls(const Link& link, int iCalls) {
    const std::string script = TempPath("bench_calls.scr");
    std::string body;
    for (int i = 0; i < iCalls; ++i) {
        body += "GETVERSION\n";
    }
    WriteFile(script, body);
    Session session(link);
    if (!session.Up()) {
        return 0.0;
    }
    session.Tool().Mark();
    const Clock::time_point start = Clock::now();
    session.Tool().Send("SCRIPT " + script + "\n");
    if (!session.Tool().WaitForCount("GETVERSION,  OutStruc", static_cast<std::size_t>(iCalls),
                                     120000)) {
        return 0.0;
    }
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return iCalls / dSeconds;
}

// The same link with both programs writing a capture of every frame (-C, --capture).
Link Captured(Link link) {
    link.toolArgs.push_back("-C" + TempPath("bench_rc.pcap"));
    link.simArgs.push_back("--capture");
    link.simArgs.push_back(TempPath("bench_sim.pcap"));
    return link;
}

// Calls per second without and with the capture, best of kCaptureRounds alternating runs each
// (the machine's load varies more than the capture costs). Returns false when a run failed.
bool MeasureCapture(const char* pszName, const Link& link) {
    constexpr int kCaptureRounds = 5;
    double dOff = 0.0;
    double dOn = 0.0;
    for (int i = 0; i < kCaptureRounds; ++i) {
        dOff = std::max(dOff, MeasureCalls(link, kCallCount));
        dOn = std::max(dOn, MeasureCalls(Captured(link), kCallCount));
    }
    std::printf("  %-31s %8.0f calls/s off, %8.0f on: %+.1f %%\n", pszName, dOff, dOn,
                dOff > 0 ? 100.0 * (dOn - dOff) / dOff : 0.0);
    return dOff > 0 && dOn > 0;
}

} // namespace

int main() {
    std::printf("talvo_rc against talvo_sim (%s)\n\n",
                Program("TALVO_RC_BIN", TALVO_RC_BIN).c_str());
    std::printf("Idle processor share and wake-ups (context switches of all threads) over %d s:\n",
                kIdleSeconds);
    MeasureSilentSerial("talvo_rc, Full, silent pty", "-PF");
    MeasureSilentSerial("talvo_rc, Simple, silent pty", "-PS");
    MeasureSilentSerial("talvo_rc, Terminal, silent pty", "-PT");
    MeasureSilentTcp("talvo_rc, TCP/IP (Oip), silent unit");
    MeasureQuietLink("talvo_rc, TCP/IP (Oip) to talvo_sim", "talvo_sim, TCP/IP (Oip), quiet",
                     TcpLink());
    MeasureQuietLink("talvo_rc, Full pty to talvo_sim", "talvo_sim, Full pty, quiet",
                     PtyLink(19200, false));
    MeasurePicocom();

    std::printf("\nLatency from call to displayed answer, the tool idle before each call:\n");
    MeasureLatency("TCP/IP (Oip) on loopback", TcpLink());
    MeasureLatency("serial, Full, unpaced pty", PtyLink(115200, false));

    std::printf("\nScripted calls (GETVERSION, one at a time, each answer awaited):\n");
    const double dTcp = MeasureCalls(TcpLink(), kCallCount);
    std::printf("  TCP/IP (Oip) on loopback          %8.0f calls/s (%d calls)\n", dTcp, kCallCount);
    const double dPty = MeasureCalls(PtyLink(115200, false), kCallCount);
    std::printf("  serial, Full, unpaced pty         %8.0f calls/s (%d calls)\n", dPty, kCallCount);
    const double dPaced = MeasureCalls(PtyLink(kPacedBaud, true), kPacedCallCount);
    const double dLimit = kPacedBaud / kBitsPerByte / kFullBytesPerCall;
    std::printf("  serial, Full, paced at %u   %8.0f calls/s (%d calls)\n", kPacedBaud, dPaced,
                kPacedCallCount);
    std::printf("    line limit %.0f calls/s (%.0f bytes a call both ways, 10 bits a byte): "
                "%.0f %% of it\n",
                dLimit, kFullBytesPerCall, 100.0 * dPaced / dLimit);

    std::printf("\nLink capture (every frame into a pcap file, both programs), best of 5:\n");
    const bool bCaptureTcp = MeasureCapture("TCP/IP (Oip) on loopback", TcpLink());
    const bool bCapturePty = MeasureCapture("serial, Full, unpaced pty", PtyLink(115200, false));
    return (dTcp > 0 && dPty > 0 && dPaced > 0 && bCaptureTcp && bCapturePty) ? 0 : 1;
}
