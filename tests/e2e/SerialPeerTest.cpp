// talvo_rc against hostile serial peers: a test-driven pseudo-terminal stands in for the unit.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
using Clock = std::chrono::steady_clock;

// The master side of a pseudo-terminal pair; talvo_rc opens the other side as its serial port.
class PtyUnit {
  public:
    PtyUnit() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            return;
        }
        const char* pszName = ptsname(m_master);
        m_path = pszName != nullptr ? pszName : "";
        // Kept open by the test as well, so that the line never hangs up between runs.
        m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY);
        termios modes{};
        tcgetattr(m_slave, &modes);
        cfmakeraw(&modes);
        tcsetattr(m_slave, TCSANOW, &modes);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyUnit() {
        close(m_slave);
        close(m_master);
    }
    const std::string& Path() const { return m_path; }
    // Writes what the line takes now.
    void Offer(const std::vector<std::uint8_t>& bytes) const {
        (void)!write(m_master, bytes.data(), bytes.size());
    }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// A peer that floods SYNC reset requests and never reads fills the line with the answers (two
// SYNCs each). Each further write used to block the main thread for up to 5 s: a PFNID typed
// during such a flood was answered 11 s later.
TEST(SerialPeerTest, ConsoleStaysResponsiveWhilePeerFloodsResetsAndNeverReads) {
    PtyUnit unit;
    ASSERT_NE(unit.Path(), "");
    BackgroundProgram tool(TALVO_RC_BIN, {"-S2", "-PF", "-D" + kDefinitionFile},
                           {"TALVO_RC_COM2=" + unit.Path()}, true);
    ASSERT_NE(tool.WaitFor("Function ==> ", 5000), "") << tool.Output();
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        std::vector<std::uint8_t> resets;
        for (int i = 0; i < 200; ++i) {
            resets.insert(resets.end(), {0xC8, 0x3F, 0x80, 0x00, 0x78});
        }
        while (flooding.load()) {
            unit.Offer(resets);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the line and the writer fill up
    long fastest = 100000;
    long slowest = 0;
    for (int i = 1; i <= 3; ++i) {
        tool.Mark();
        const Clock::time_point sent = Clock::now();
        tool.Send("PFNID\n");
        const bool answered = tool.WaitForCount("Current Pending Fnid", 1, 10000);
        const long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
        EXPECT_TRUE(answered) << i;
        fastest = std::min(fastest, ms);
        slowest = std::max(slowest, ms);
    }
    flooding = false;
    flood.join();
    EXPECT_LT(fastest, 100) << "ms";
    EXPECT_LT(slowest, 1000) << "ms";
}

// A Full-protocol frame as a peer sends it: start, kind, sequence, the body, the pad rule and the
// checksum (bodies here hold no 0xC8 byte, so nothing is stuffed).
std::vector<std::uint8_t> Frame(std::uint8_t kind, std::uint8_t seq,
                                const std::vector<std::uint8_t>& body = {}) {
    std::vector<std::uint8_t> out = {0xC8, kind, seq};
    out.insert(out.end(), body.begin(), body.end());
    std::uint8_t sum = 0;
    for (const std::uint8_t b : out) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    const std::uint8_t last = sum == 0x37 ? 0x13 : 0x00;
    out.push_back(last);
    out.push_back(static_cast<std::uint8_t>(~(sum + last)));
    return out;
}

// In the start-up exchange the connecting side sends its reset request after its first data
// frame. When that frame's ACK was lost, its retransmission came after the reset and the
// simulator executed the call a second time.
TEST(SerialPeerTest, RetransmittedFirstCallAfterTheStartUpResetIsExecutedOnce) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE(path, "") << sim.Output();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios modes{};
    tcgetattr(fd, &modes);
    cfmakeraw(&modes);
    tcsetattr(fd, TCSANOW, &modes);
    auto send = [fd](const std::vector<std::vector<std::uint8_t>>& frames) {
        for (const auto& frame : frames) {
            (void)!write(fd, frame.data(), frame.size());
        }
    };
    const std::vector<std::uint8_t> call = Frame(0x24, 0, {0x03, 0x02, 0x00, 0x01, 0x00});
    send({Frame(0x3F, 0x80), Frame(0x3F, 0), Frame(0x3F, 0), call});
    ASSERT_TRUE(sim.WaitForCount("<- RFS_REQUEST (3)", 1, 5000)) << sim.Output();
    // The tool's answer to the unit's SYNCs, then the call again: its ACK never arrived.
    send({Frame(0x3F, 0x80), Frame(0x3F, 0), Frame(0x3F, 0)});
    std::this_thread::sleep_for(std::chrono::milliseconds(2000)); // the tool's retry time
    send({Frame(0x3F, 0), call});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    close(fd);
    EXPECT_EQ(CountOf(sim.Output(), "<- RFS_REQUEST (3)"), 1U) << sim.Output();
}

} // namespace
