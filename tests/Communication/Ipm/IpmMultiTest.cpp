#include "Communication/Ipm/IpmMulti.h"

#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

Bytes Package(std::uint8_t packageType, std::uint8_t msgType, const Bytes& data,
              std::int32_t length = -1, std::uint16_t preamble = 0x55AA) {
    const auto wLength = static_cast<std::uint16_t>(length >= 0 ? length : data.size());
    Bytes out = {static_cast<std::uint8_t>(preamble & 0xFF),
                 static_cast<std::uint8_t>(preamble >> 8),
                 packageType,
                 msgType,
                 static_cast<std::uint8_t>(wLength & 0xFF),
                 static_cast<std::uint8_t>(wLength >> 8)};
    for (const std::uint8_t byte : data) {
        out.push_back(byte); // not insert(): GCC 12 at -O3 warns about it (-Warray-bounds)
    }
    return out;
}

Bytes Data(std::size_t n, std::uint8_t seed) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    return data;
}

const Bytes kKeepAlive = {0xAA, 0x55, 0x02, 0x00, 0x00, 0x00};

class IpmMultiTest : public IpFixture {
  protected:
    void SetUp() override {
        IpFixture::SetUp();
        peer = ConnectPeer(IPMC_PROTOCOL_MULTI, &session);
        ASSERT_NE(IPMC_NO_SESSION, session);
    }
    // Runs one receive pass once the session has data waiting.
    void OnePass() {
        ASSERT_TRUE(SessionReadable(session));
        IpmProcessSessions();
    }
    int peer = -1;
    std::uint8_t session = IPMC_NO_SESSION;
};

TEST_F(IpmMultiTest, MessagesBothWays) {
    PeerSend(peer, Package(1, 4, {0x12, 0x00, 7}));
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(Channel(session), messages[0].byChannel);
    EXPECT_EQ(4, messages[0].byType);
    EXPECT_EQ(Bytes({0x12, 0x00, 7}), messages[0].data);
    const std::uint8_t msg[] = {0x34, 0x12, 0xFF};
    ASSERT_EQ(0, MdsExecuteResponseHandler(Channel(session), 3, sizeof msg, msg));
    EXPECT_EQ(Package(1, 3, {0x34, 0x12, 0xFF}), PeerReceive(peer, 9));
}

TEST_F(IpmMultiTest, KeepAliveAfter250MsWithoutSendingAndSendingResetsIt) {
    Advance(250);
    EXPECT_EQ(0u, PeerPending(peer));
    PeerSend(peer, kKeepAlive); // keeps the session from timing out
    Advance(1);
    EXPECT_EQ(kKeepAlive, PeerReceive(peer, 6));
    Advance(200);
    const std::uint8_t msg[] = {1};
    static_cast<void>(MdsExecuteResponseHandler(Channel(session), 3, 1, msg));
    EXPECT_EQ(7u, PeerReceive(peer, 7).size());
    Advance(200);
    EXPECT_EQ(0u, PeerPending(peer)); // 200 ms since the message
}

TEST_F(IpmMultiTest, SilenceOver500MsLosesTheSession) {
    Advance(300);
    PeerSend(peer, kKeepAlive);
    OnePass(); // refreshes the receive time; nothing is delivered
    EXPECT_TRUE(messages.empty());
    Advance(500);
    Passes(4);
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    Advance(1);
    IpmProcessSessions();
    EXPECT_EQ(1, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    char expected[64];
    std::snprintf(expected, sizeof expected, "Timeout on session %u", session);
    EXPECT_TRUE(Logged(expected));
}

TEST_F(IpmMultiTest, WrongPreambleIsIgnored) {
    PeerSend(peer, Package(1, 3, {}, 0, 0x55AB));
    OnePass();
    EXPECT_TRUE(Logged("W IpmMultiProcessHeader : 0x0000;Preamble incorrect"));
    PeerSend(peer, Package(1, 3, {5}));
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(Bytes({5}), messages[0].data);
}

TEST_F(IpmMultiTest, UnknownPackageTypes) {
    PeerSend(peer, Package(7, 0, {}));
    OnePass();
    EXPECT_TRUE(Logged("Unknown package type; assume it's a keep-alive"));
    EXPECT_TRUE(messages.empty());
    PeerSend(peer, Package(7, 9, {1, 2, 3, 4, 5}));
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_TRUE(Logged("Unknown package type; assume it's a message"));
    EXPECT_EQ(9, messages[0].byType);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5}), messages[0].data);
}

TEST_F(IpmMultiTest, MessageOf3000BytesIsReadInPiecesAndDeliveredOnce) {
    const Bytes data = Data(3000, 1);
    PeerSend(peer, Package(1, 4, data));
    OnePass(); // header and the first 1200 bytes
    EXPECT_TRUE(messages.empty());
    OnePass(); // 1200 more
    EXPECT_TRUE(messages.empty());
    OnePass(); // the last 600
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(data, messages[0].data);
}

TEST_F(IpmMultiTest, MultiShortReadsLoseNoByteWhateverTheSplit) {
    Bytes stream = Package(1, 3, Data(10, 2));
    const Bytes second = Package(2, 0, {});
    const Bytes third = Package(1, 5, Data(4, 9));
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.end());
    for (std::size_t split = 1; split < stream.size(); ++split) {
        messages.clear();
        PeerSend(peer, Bytes(stream.begin(), stream.begin() + split));
        OnePass();
        PeerSend(peer, Bytes(stream.begin() + split, stream.end()));
        ASSERT_TRUE(Pump([] { return messages.size() == 2; })) << "split " << split;
        EXPECT_EQ(Data(10, 2), messages[0].data);
        EXPECT_EQ(5, messages[1].byType);
        EXPECT_EQ(Data(4, 9), messages[1].data);
    }
    EXPECT_FALSE(Logged("Preamble incorrect"));
}

TEST_F(IpmMultiTest, MultiOversizedPackageDeclaresTheSessionLost) {
    PeerSend(peer, Package(1, 3, {}, 8193));
    OnePass();
    EXPECT_EQ(1, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    EXPECT_TRUE(Logged("Package length 8193 exceeds the message buffer"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(IpmMultiTest, LargestPackageFitsTheBuffer) {
    const Bytes data = Data(8192, 3);
    PeerSend(peer, Package(1, 3, data));
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(data, messages[0].data);
}

TEST_F(IpmMultiTest, MultiEmptyMessageIsDeliveredAtOnce) {
    PeerSend(peer, Package(1, 6, {}));
    OnePass();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(6, messages[0].byType);
    EXPECT_TRUE(messages[0].data.empty());
}

TEST_F(IpmMultiTest, SendPackageOfUnknownTypeWritesNothing) {
    EXPECT_EQ(IPMC_ERROR, IpmMultiSendPackage(IpmSessionForTest(session), 3, 0, 0, nullptr));
    EXPECT_TRUE(Logged("E IpmMultiSendPackage : 0x3138;Unknown package type"));
    EXPECT_EQ(0u, PeerPending(peer, 0));
}

TEST_F(IpmMultiTest, PeerCloseRaisesConnectionLost) {
    testos::RawShutdown(peer);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTION_LOST) > 0; }));
}

TEST_F(IpmMultiTest, HeaderRoundTripIsLeastSignificantByteFirst) {
    IpmMultiHeader tHeader;
    tHeader.wPreamble = IPMC_MULTI_PREAMBLE;
    tHeader.byPackageType = 1;
    tHeader.byMsgType = 4;
    tHeader.wLength = 0x0BB8;
    std::uint8_t buffer[6] = {};
    EXPECT_EQ(6, IpmMultiBuildHeader(&tHeader, buffer));
    EXPECT_EQ(Bytes({0xAA, 0x55, 1, 4, 0xB8, 0x0B}), Bytes(buffer, buffer + 6));
    IpmMultiHeader tParsed;
    IpmMultiParseHeader(buffer, &tParsed);
    EXPECT_EQ(0x55AA, tParsed.wPreamble);
    EXPECT_EQ(0x0BB8, tParsed.wLength);
}

} // namespace
