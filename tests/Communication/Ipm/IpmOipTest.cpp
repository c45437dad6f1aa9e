#include "Communication/Ipm/IpmOip.h"

#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

void PutWord(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A wire message with the given message word, length field and body.
Bytes Wire(std::uint32_t word, const Bytes& body, std::uint32_t length = 0) {
    Bytes out;
    PutWord(out, word);
    PutWord(out, length != 0 ? length : static_cast<std::uint32_t>(body.size() + 16));
    PutWord(out, 0);
    PutWord(out, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes App(std::uint8_t type, const Bytes& body) {
    const std::uint32_t word = type | (body.size() > 0 ? body[0] : 0) << 8 |
                               (body.size() > 1 ? body[1] : 0) << 16 | 0x43u << 24;
    return Wire(word, body);
}

Bytes Body(std::size_t n, std::uint8_t seed) {
    Bytes body;
    for (std::size_t i = 0; i < n; ++i) {
        body.push_back(static_cast<std::uint8_t>(seed + i * 7));
    }
    return body;
}

const Bytes kHeartbeat = Wire(IPMC_OIP_HEARTBEAT, {});
const Bytes kLengthError = {0x20, 0x70, 0x44, 0x00, 0x18, 0x00, 0x00, 0x00, 0, 0, 0, 0,
                            0,    0,    0,    0,    0x02, 0xE0, 0x44, 0x00, 4, 0, 0, 0};

class IpmOipTest : public IpFixture {
  protected:
    void SetUp() override {
        IpFixture::SetUp();
        peer = ConnectPeer(IPMC_PROTOCOL_OIP, &session);
        ASSERT_NE(IPMC_NO_SESSION, session);
        // The first pass may send a heartbeat (the clock is shared by all tests): take it now.
        Passes(8);
        if (PeerPending(peer, 0) % kHeartbeat.size() != 0) {
            FAIL() << "unexpected bytes from the session";
        }
    }
    std::uint16_t Send(std::uint8_t type, const Bytes& body) {
        return MdsExecuteResponseHandler(Channel(session), type,
                                         static_cast<std::uint16_t>(body.size()), body.data());
    }
    bool Delivered(std::size_t n) {
        return Pump([&] { return messages.size() >= n; });
    }
    int peer = -1;
    std::uint8_t session = IPMC_NO_SESSION;
};

TEST_F(IpmOipTest, MessageOneBytePerReadDecodesLikeOneRead) {
    const Bytes body = Body(40, 3);
    const Bytes wire = App(3, body);
    for (std::uint8_t byte : wire) {
        PeerSend(peer, {byte});
        ASSERT_TRUE(SessionReadable(session));
        IpmProcessSessions();
    }
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(Channel(session), messages[0].byChannel);
    EXPECT_EQ(3, messages[0].byType);
    EXPECT_EQ(body, messages[0].data);
}

TEST_F(IpmOipTest, StreamSplitAtEveryBytePositionLosesNothing) {
    Bytes stream = App(3, Body(5, 1));
    const Bytes second = App(22, {});
    const Bytes third = App(4, Body(20, 9));
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.end());
    for (std::size_t split = 1; split < stream.size(); ++split) {
        messages.clear();
        PeerSend(peer, Bytes(stream.begin(), stream.begin() + split));
        ASSERT_TRUE(SessionReadable(session));
        IpmProcessSessions();
        PeerSend(peer, Bytes(stream.begin() + split, stream.end()));
        ASSERT_TRUE(Delivered(3)) << "split " << split;
        ASSERT_EQ(3u, messages.size()) << "split " << split;
        EXPECT_EQ(Body(5, 1), messages[0].data);
        EXPECT_EQ(22, messages[1].byType);
        EXPECT_TRUE(messages[1].data.empty());
        EXPECT_EQ(Body(20, 9), messages[2].data);
    }
}

TEST_F(IpmOipTest, SeveralMessagesInOneReadAreDeliveredInOrderInOnePass) {
    Bytes stream;
    for (std::uint8_t i = 0; i < 4; ++i) {
        const Bytes one = App(static_cast<std::uint8_t>(3 + i), Body(10 + i, i));
        stream.insert(stream.end(), one.begin(), one.end());
    }
    PeerSend(peer, stream);
    ASSERT_TRUE(SessionReadable(session));
    IpmProcessSessions();
    ASSERT_EQ(4u, messages.size());
    for (std::uint8_t i = 0; i < 4; ++i) {
        EXPECT_EQ(3 + i, messages[i].byType);
        EXPECT_EQ(Body(10 + i, i), messages[i].data);
    }
}

TEST_F(IpmOipTest, EmptyBodyAtTheEndOfAReadCompletesInThatPass) {
    PeerSend(peer, App(6, {}));
    ASSERT_TRUE(SessionReadable(session));
    IpmProcessSessions();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(6, messages[0].byType);
    EXPECT_TRUE(messages[0].data.empty());
}

TEST_F(IpmOipTest, LargestValidLengthIsAccepted) {
    const Bytes body = Body(32767, 5);
    PeerSend(peer, Wire(0x43000003u, body, 32783));
    ASSERT_TRUE(Delivered(1));
    EXPECT_EQ(body, messages[0].data);
    EXPECT_EQ(0u, PeerPending(peer, 0) % kHeartbeat.size());
}

TEST_F(IpmOipTest, InvalidLengthsAreAnsweredWithProtocolErrorAndSkipped) {
    struct Case {
        std::uint32_t length;
        std::size_t skipped;
    };
    for (const Case c : {Case{15, 7}, Case{32784, 32776}}) {
        LogResetForTest();
        messages.clear();
        // Word and length, then the bytes the length announces beyond those eight.
        Bytes stream;
        PutWord(stream, 0x43000003u);
        PutWord(stream, c.length);
        stream.insert(stream.end(), c.skipped, 0xEE);
        const Bytes next = App(3, Body(4, 2));
        stream.insert(stream.end(), next.begin(), next.end());
        PeerSend(peer, stream);
        EXPECT_EQ(kLengthError, PeerReceive(peer, kLengthError.size())) << "length " << c.length;
        ASSERT_TRUE(Delivered(1)) << "length " << c.length;
        EXPECT_EQ(Body(4, 2), messages[0].data);
        EXPECT_TRUE(Logged("Protocol Error: Length invalid"));
    }
}

TEST_F(IpmOipTest, OipLengthBelowEightDropsNothingBeyondTheFirstEightBytes) {
    Bytes stream;
    PutWord(stream, 0x43000003u);
    PutWord(stream, 3);
    const Bytes next = App(3, Body(6, 4));
    stream.insert(stream.end(), next.begin(), next.end());
    PeerSend(peer, stream);
    ASSERT_TRUE(Delivered(1));
    EXPECT_EQ(Body(6, 4), messages[0].data);
}

TEST_F(IpmOipTest, OipBodyAllocationFailureSkipsTheMessage) {
    IpmOipFailAllocationsForTest(1);
    Bytes stream = App(3, Body(30, 1));
    const Bytes next = App(4, Body(8, 2));
    stream.insert(stream.end(), next.begin(), next.end());
    PeerSend(peer, stream);
    ASSERT_TRUE(Delivered(1));
    Passes(20);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(4, messages[0].byType);
    EXPECT_TRUE(Logged("Allocation Failure"));
    IpmOipFailAllocationsForTest(0);
}

TEST_F(IpmOipTest, PeerProtocolErrorIsLoggedAndRaisesMessagesLost) {
    PeerSend(peer, Bytes(kLengthError.begin(), kLengthError.end()));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_MESSAGES_LOST) == 1; }));
    EXPECT_TRUE(Logged("Protocol Error 0x44E002, errorposition 4"));
    EXPECT_TRUE(messages.empty());
    PeerSend(peer, App(3, {1, 2}));
    EXPECT_TRUE(Delivered(1)); // the session goes on
}

TEST_F(IpmOipTest, OipShortPeerErrorBodyReadsMissingWordsAsZero) {
    PeerSend(peer, Wire(IPMC_OIP_PROTOCOL_ERROR, {0x78, 0x56, 0x34, 0x12, 0x09}));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_MESSAGES_LOST) == 1; }));
    EXPECT_TRUE(Logged("Protocol Error 0x12345678, errorposition 9"));
    LogResetForTest();
    PeerSend(peer, Wire(IPMC_OIP_PROTOCOL_ERROR, {}));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_MESSAGES_LOST) == 2; }));
    EXPECT_TRUE(Logged("Protocol Error 0x0, errorposition 0"));
}

TEST_F(IpmOipTest, SendWritesHeaderWithTypeFnIdAndClassByte) {
    ASSERT_EQ(0, Send(3, {0x34, 0x12, 0xAB}));
    const Bytes expected = {0x03, 0x34, 0x12, 0x43, 19, 0, 0,    0,    0,   0,
                            0,    0,    0,    0,    0,  0, 0x34, 0x12, 0xAB};
    EXPECT_EQ(expected, PeerReceive(peer, expected.size()));
}

TEST_F(IpmOipTest, HeartbeatEvery5000MsAndTimeOutOnlyAfterData) {
    Advance(5001);
    Passes(4);
    EXPECT_EQ(kHeartbeat, PeerReceive(peer, 16));
    Advance(4000);
    EXPECT_EQ(0u, PeerPending(peer));
    // No data has arrived yet: silence never ends the session.
    for (int i = 0; i < 4; ++i) {
        Advance(5001);
        Passes(4);
    }
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    PeerSend(peer, kHeartbeat);
    ASSERT_TRUE(SessionReadable(session));
    IpmProcessSessions();
    Advance(15000);
    Passes(4);
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    Advance(1);
    Passes(1);
    EXPECT_GE(CountEvents(IPMC_EVENT_CONNECTION_LOST), 1);
}

TEST_F(IpmOipTest, PeerCloseRaisesConnectionLostAndCloseFromCallbackIsSafe) {
    onEvent = [](std::uint16_t wEvent, std::uint8_t bySession) {
        if (wEvent == IPMC_EVENT_CONNECTION_LOST) {
            EXPECT_EQ(IPMC_OK, IpmClose(bySession));
        }
    };
    testos::RawShutdown(peer);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_DISCONNECTED) == 1; }));
    EXPECT_EQ(1, CountEvents(IPMC_EVENT_CONNECTION_LOST));
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(session)->bySessionId);
}

TEST_F(IpmOipTest, HeldNotificationsFollowTheResponseInOneWrite) {
    PeerSend(peer, App(3, {1, 0}));
    ASSERT_TRUE(Delivered(1));
    for (std::uint8_t i = 0; i < 3; ++i) {
        ASSERT_EQ(0, Send(5, {static_cast<std::uint8_t>(0x50 + i), 0}));
    }
    EXPECT_EQ(0u, PeerPending(peer));
    ASSERT_EQ(0, Send(4, {1, 0, 7}));
    Bytes expected = App(4, {1, 0, 7});
    for (std::uint8_t i = 0; i < 3; ++i) {
        const Bytes one = App(5, {static_cast<std::uint8_t>(0x50 + i), 0});
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(expected, PeerReceive(peer, expected.size()));
    // No request pending any more: the next notification goes out at once.
    ASSERT_EQ(0, Send(5, {9, 9}));
    EXPECT_EQ(App(5, {9, 9}), PeerReceive(peer, 18));
}

TEST_F(IpmOipTest, TenthHeldNotificationPushesTheOldestOut) {
    PeerSend(peer, App(3, {1, 0}));
    ASSERT_TRUE(Delivered(1));
    for (std::uint8_t i = 0; i < 9; ++i) {
        ASSERT_EQ(0, Send(5, {i, 0}));
    }
    EXPECT_EQ(0u, PeerPending(peer));
    ASSERT_EQ(0, Send(5, {9, 0}));
    EXPECT_EQ(App(5, {0, 0}), PeerReceive(peer, 18));
    EXPECT_EQ(0u, PeerPending(peer));
}

TEST_F(IpmOipTest, CloseReleasesHeldNotificationsUnsent) {
    PeerSend(peer, App(3, {1, 0}));
    ASSERT_TRUE(Delivered(1));
    for (std::uint8_t i = 0; i < 3; ++i) {
        ASSERT_EQ(0, Send(5, {i, 0}));
    }
    EXPECT_EQ(0, IpmClose(session));
    std::uint8_t byte = 0;
    EXPECT_EQ(0, testos::RawRecv(peer, &byte, 1)); // end of stream, nothing written
}

TEST_F(IpmOipTest, HandlerClosingItsSessionMidDeliveryStopsThePass) {
    static std::uint8_t closing = IPMC_NO_SESSION;
    closing = session;
    static_cast<void>(MdsRegisterMsgHandler(
        3, [](std::uint8_t, std::uint8_t, std::uint16_t, const std::uint8_t*) {
            messages.push_back({0, 3, {}});
            return IpmClose(closing);
        }));
    Bytes stream = App(3, Body(3, 1));
    const Bytes second = App(3, Body(3, 2));
    stream.insert(stream.end(), second.begin(), second.end());
    PeerSend(peer, stream);
    ASSERT_TRUE(Delivered(1));
    Passes(10);
    EXPECT_EQ(1u, messages.size());
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(session)->bySessionId);
}

} // namespace
