// talvo_linkbench: runs the real talvo_rc against the real talvo_sim and prints, in one run, the
// tool's idle processor share with each link open, scripted calls per second over TCP loopback and
// over a pseudo-terminal with the Full protocol, and the paced serial line's use at 115200 baud.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
constexpr int kIdleSeconds = 10;
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

  private:
    std::unique_ptr<BackgroundProgram> m_sim;
    std::unique_ptr<BackgroundProgram> m_tool;
    bool m_bUp = false;
};

void MeasureIdle(const char* pszName, const Link& link) {
    Session session(link);
    if (!session.Up()) {
        std::printf("%-34s link did not come up\n", pszName);
        return;
    }
    const double dStart = CpuSeconds(session.Tool().Pid());
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    session.Tool().Output(); // keep its output pipe drained
    const double dUsed = CpuSeconds(session.Tool().Pid()) - dStart;
    std::printf("%-34s %6.2f %% of one core over %d s\n", pszName, 100.0 * dUsed / kIdleSeconds,
                kIdleSeconds);
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
    std::printf("Idle processor share of talvo_rc with the link open:\n");
    MeasureIdle("  TCP/IP (Oip) on loopback", TcpLink());
    MeasureIdle("  serial, Full, pseudo-terminal", PtyLink(19200, false));

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
