// The application's link over a real loopback connection: calls made while the connect is under
// way wait for it in order, a full queue and a failed connect say which calls were not sent.
#include "Application/AppLink.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "AppTestCapture.h"
#include "Application/AppFnTab.h"
#include "Application/AppMain.h"
#include "Application/AppStreams.h"
#include "Communication/Ipm/IpmOip.h"
#include "Platform/Posix/PltSys.h"
#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

const std::string kDefinitionOption = std::string("-D") + TALVO_SOURCE_DIR "/examples/FNID.DEF";

class AppLinkTest : public IpFixture {
  protected:
    void SetUp() override {
        IpFixture::SetUp();
        AppResetForTest();
        AppSetConsole(m_tConsole.File());
        AppSetResponseStream(m_tConsole.File()); // the link events too
    }
    void TearDown() override {
        AppLinkClose();
        FnTabRelease();
        AppResetForTest();
        IpFixture::TearDown();
    }
    void OpenTo(std::uint16_t wPort) {
        std::string host = "-I127.0.0.1:" + std::to_string(wPort);
        std::string program = "talvo_rc";
        std::string definitions = kDefinitionOption;
        char* argv[] = {program.data(), host.data(), definitions.data()};
        ASSERT_EQ(APPC_EXIT_OK, AppParseOptions(3, argv));
        ASSERT_EQ(0, AppLinkOpen());
    }
    static std::uint16_t Call(std::uint8_t byNumber) {
        const std::uint8_t abyCall[] = {byNumber, 0x00};
        return AppLinkSend(AppLinkChannel(), 3, sizeof abyCall, abyCall);
    }
    std::string Console() const { return m_tConsole.All(); }
    CapturedStream m_tConsole;
};

TEST_F(AppLinkTest, CallsMadeWhileConnectingWaitInOrderInABoundedQueue) {
    std::uint16_t wPort = 0;
    const int listener = Track(PeerListen(&wPort));
    ASSERT_GE(listener, 0);
    OpenTo(wPort);
    ASSERT_EQ(AppLinkState::Opening, AppLinkGetState()); // the scheduler has not run yet
    EXPECT_TRUE(AppLinkWaiting());
    for (std::uint8_t i = 0; i < APPC_LINK_QUEUE_SIZE; ++i) {
        EXPECT_EQ(0, Call(i));
    }
    EXPECT_NE(0, Call(0xEE));
    EXPECT_EQ(1u, CountOf(Console(), "Call not sent: too many calls wait for the link\n"));

    ASSERT_TRUE(Pump([] { return AppLinkGetState() == AppLinkState::Up; }));
    const int peer = Track(::accept(listener, nullptr, nullptr));
    ASSERT_GE(peer, 0);
    const std::size_t wEach = IPMC_OIP_HEADER_SIZE + 2;
    const Bytes received = PeerReceive(peer, APPC_LINK_QUEUE_SIZE * wEach);
    ASSERT_EQ(APPC_LINK_QUEUE_SIZE * wEach, received.size());
    for (std::size_t i = 0; i < APPC_LINK_QUEUE_SIZE; ++i) {
        EXPECT_EQ(i, received[i * wEach + IPMC_OIP_HEADER_SIZE]) << i;
    }
}

TEST_F(AppLinkTest, FailedConnectReportsItsWaitingCallsAndSaysWhyOnce) {
    const std::uint16_t wPort = ClosedPort();
    ASSERT_NE(0, wPort);
    OpenTo(wPort);
    EXPECT_EQ(0, Call(1));
    EXPECT_EQ(0, Call(2));
    ASSERT_TRUE(Pump([] { return AppLinkGetState() == AppLinkState::Down; }));
    Advance(IPMC_RECONNECT_INTERVAL_MS);
    Passes(200); // the retry after the interval fails too, silently
    const std::string text = Console();
    EXPECT_EQ(2u, CountOf(text, "No link: call not sent\n")) << text;
    EXPECT_EQ(1u, CountOf(text, "Can't connect to 127.0.0.1:" + std::to_string(wPort) +
                                    ": Connection refused, retrying every 2 s\n"))
        << text;
    EXPECT_FALSE(AppLinkWaiting()); // without -R a script goes on
    EXPECT_NE(0, Call(3));
    EXPECT_EQ(3u, CountOf(Console(), "No link: call not sent\n"));
}

TEST_F(AppLinkTest, CallWhoseWriteFailsSaysWhy) {
    std::uint16_t wPort = 0;
    const int listener = Track(PeerListen(&wPort));
    ASSERT_GE(listener, 0);
    OpenTo(wPort);
    ASSERT_TRUE(Pump([] { return AppLinkGetState() == AppLinkState::Up; }));
    Track(::accept(listener, nullptr, nullptr));
    PltSysTable().pfSend = [](int, const void*, std::size_t, int) -> long {
        errno = EPIPE;
        return -1;
    };
    EXPECT_NE(0, Call(7));
    EXPECT_EQ(1u, CountOf(Console(), "Call not sent: Broken pipe\n")) << Console();
}

} // namespace
