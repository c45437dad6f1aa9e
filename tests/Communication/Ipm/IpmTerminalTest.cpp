#include "Communication/Ipm/IpmTerminal.h"

#include <string>

#include "Runtime/Mds.h"
#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

class IpmTerminalTest : public IpFixture {
  protected:
    void SetUp() override {
        IpFixture::SetUp();
        peer = ConnectPeer(IPMC_PROTOCOL_TERMINAL, &session);
        ASSERT_NE(IPMC_NO_SESSION, session);
    }
    void Type(const std::string& text) {
        PeerSend(peer, Bytes(text.begin(), text.end()));
        ASSERT_TRUE(SessionReadable(session));
        IpmProcessSessions();
    }
    static std::string Line(std::size_t i) {
        return std::string(messages[i].data.begin(), messages[i].data.end());
    }
    int peer = -1;
    std::uint8_t session = IPMC_NO_SESSION;
};

TEST_F(IpmTerminalTest, LinesAreDeliveredAsTerminalRequests) {
    Type("\r");
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(MDSC_MSG_TERMINAL_REQUEST, messages[0].byType);
    EXPECT_EQ(Channel(session), messages[0].byChannel);
    EXPECT_EQ("", Line(0));
    Type("XY\bZ\r\b\b\bA\r");
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("XZ", Line(1));
    EXPECT_EQ("A", Line(2));
}

TEST_F(IpmTerminalTest, LineSpreadOverReadsAndLineFeedStartsTheNextLine) {
    Type("HEL");
    Type("P\r\nLOG");
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("HELP", Line(0));
    Type(" ON\r");
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("\nLOG ON", Line(1));
}

TEST_F(IpmTerminalTest, CharactersBeyond199AreDropped) {
    const std::string text(250, 'k');
    PeerSend(peer, Bytes(text.begin(), text.end()));
    PeerSend(peer, Bytes{'\r'});
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(std::string(199, 'k'), Line(0));
}

TEST_F(IpmTerminalTest, FailedDispatchIsReportedAndTheNextLineStartsEmpty) {
    static_cast<void>(MdsDeregisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST));
    Type("LOST\r");
    char expected[64];
    std::snprintf(expected, sizeof expected, "Error MdsExecuteMsgHandler %d", Channel(session));
    EXPECT_TRUE(Logged(expected));
    static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, Capture));
    Type("NEXT\r");
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("NEXT", Line(0));
}

TEST_F(IpmTerminalTest, SendWritesTheBytesAsTheyAre) {
    const std::uint8_t text[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(0, MdsExecuteResponseHandler(Channel(session), 4, sizeof text, text));
    EXPECT_EQ(Bytes(text, text + 5), PeerReceive(peer, 5));
    EXPECT_EQ(0u, PeerPending(peer));
}

TEST_F(IpmTerminalTest, PeerCloseRaisesConnectionLost) {
    testos::RawShutdown(peer);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTION_LOST) > 0; }));
}

} // namespace
