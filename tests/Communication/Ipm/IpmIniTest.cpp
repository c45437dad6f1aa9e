#include "Communication/Ipm/IpmIni.h"

#include <cstring>

#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

class IpmIniTest : public IpFixture {};

TEST_F(IpmIniTest, ListeningAndConnectingSessionsExchangeMessages) {
    std::uint16_t wPort = 0;
    const std::uint8_t byListen = OpenListener(IPMC_PROTOCOL_OIP, &wPort);
    ASSERT_EQ(0, byListen);
    ASSERT_NE(0, wPort);
    const std::uint8_t byActive = IpmOpen(wPort, "127.0.0.1", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(1, byActive);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 2; }));
    // The accepted connection took the lowest free slot, with the listener's callback and
    // protocol; the listener goes on listening.
    const IpmSessionData* ptAccepted = IpmSessionForTest(2);
    EXPECT_EQ(2, ptAccepted->bySessionId);
    EXPECT_EQ(IpsType::Accepted, ptAccepted->tSocket.tType);
    EXPECT_EQ(IPMC_PROTOCOL_OIP, ptAccepted->tProtocol);
    EXPECT_EQ(0, ptAccepted->wPort);
    EXPECT_EQ(IpsType::Passive, IpmSessionForTest(byListen)->tSocket.tType);
    EXPECT_EQ(IpsType::Connected, IpmSessionForTest(byActive)->tSocket.tType);
    EXPECT_STREQ("127.0.0.1", IpmSessionForTest(byActive)->szIpAddress.data());

    const std::uint8_t request[] = {0x12, 0x00, 1, 2, 3};
    ASSERT_EQ(0, MdsExecuteResponseHandler(Channel(byActive), 3, sizeof request, request));
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(Channel(2), messages[0].byChannel);
    EXPECT_EQ(3, messages[0].byType);
    EXPECT_EQ(Bytes(request, request + sizeof request), messages[0].data);

    const std::uint8_t answer[] = {0x12, 0x00, 9};
    ASSERT_EQ(0, MdsExecuteResponseHandler(Channel(2), 4, sizeof answer, answer));
    ASSERT_TRUE(Pump([] { return messages.size() == 2; }));
    EXPECT_EQ(Channel(byActive), messages[1].byChannel);
    EXPECT_EQ(Bytes(answer, answer + sizeof answer), messages[1].data);
}

TEST_F(IpmIniTest, IdleWaitWatchesListeningAndConnectedSessions) {
    std::uint16_t wPort = 0;
    ASSERT_EQ(0, OpenListener(IPMC_PROTOCOL_OIP, &wPort));
    PltWaitSet set;
    IpmAddWaitHandles(set);
    EXPECT_EQ(1u, set.wCount);
    ASSERT_EQ(1, IpmOpen(wPort, "127.0.0.1", IPMC_PROTOCOL_OIP, Callback));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 2; }));
    set = PltWaitSet{};
    IpmAddWaitHandles(set);
    EXPECT_EQ(3u, set.wCount); // the listener, the connected and the accepted session
    // A message from the peer wakes the wait on the accepted session's socket.
    const std::uint8_t request[] = {0x12, 0x00};
    ASSERT_EQ(0, MdsExecuteResponseHandler(Channel(1), 3, sizeof request, request));
    EXPECT_GE(PltWaitReadable(set, 2000), 1);
}

TEST_F(IpmIniTest, FiftySeventhOpenIsRefusedAndChangesNothing) {
    for (std::uint8_t i = 0; i < IPMC_MAX_NR_OF_SESSIONS; ++i) {
        ASSERT_EQ(i, IpmOpen(0, nullptr, IPMC_PROTOCOL_TERMINAL, Callback));
    }
    EXPECT_EQ(IPMC_NO_SESSION, IpmOpen(0, nullptr, IPMC_PROTOCOL_TERMINAL, Callback));
    EXPECT_TRUE(Logged("IpmOpen : 0x3138;Too many sessions"));
    EXPECT_EQ(0, IpmClose(7));
    EXPECT_EQ(7, IpmOpen(0, nullptr, IPMC_PROTOCOL_TERMINAL, Callback));
}

TEST_F(IpmIniTest, FullTableAcceptsNothingUntilASlotFrees) {
    std::uint16_t wPort = 0;
    ASSERT_EQ(0, OpenListener(IPMC_PROTOCOL_TERMINAL, &wPort));
    for (std::uint8_t i = 1; i < IPMC_MAX_NR_OF_SESSIONS; ++i) {
        ASSERT_EQ(i, IpmOpen(0, nullptr, IPMC_PROTOCOL_TERMINAL, Callback));
    }
    Track(PeerConnect(wPort)); // waits in the listen backlog
    Passes(40);
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTED));
    EXPECT_EQ(IPMC_OK, IpmClose(30));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 1; }));
    EXPECT_EQ(30, events.back().bySession);
}

TEST_F(IpmIniTest, CloseRaisesDisconnectedOnlyForConnectedSessions) {
    std::uint8_t byAccepted = 0;
    ConnectPeer(IPMC_PROTOCOL_TERMINAL, &byAccepted);
    EXPECT_EQ(0, IpmClose(20)); // free slot: nothing
    EXPECT_EQ(0, IpmClose(0));  // the listening session
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(IpsType::Accepted, IpmSessionForTest(byAccepted)->tSocket.tType);
    onEvent = [](std::uint16_t, std::uint8_t bySession) {
        // The socket is closed and the protocol state released before the event.
        EXPECT_EQ(IPSC_INVALID_SOCKET, IpmSessionForTest(bySession)->tSocket.socketDescr);
        EXPECT_EQ(nullptr, IpmSessionForTest(bySession)->pvProtocolData);
    };
    EXPECT_EQ(0, IpmClose(byAccepted));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(IPMC_EVENT_DISCONNECTED, events[0].wEvent);
    EXPECT_EQ(byAccepted, events[0].bySession);
    EXPECT_EQ(nullptr, IpmSessionForTest(byAccepted)->pfCallback);
    EXPECT_EQ(0, IpmClose(byAccepted));
    EXPECT_EQ(1u, events.size());
}

TEST_F(IpmIniTest, ChannelIdsAndOutOfRangeIds) {
    std::uint8_t byChannel = 0;
    EXPECT_EQ(0, IpmGetChannelId(55, &byChannel));
    EXPECT_EQ(99, byChannel);
    EXPECT_EQ(0, IpmGetChannelId(0, &byChannel));
    EXPECT_EQ(44, byChannel);
    RouteChecks();
    byChannel = 1;
    EXPECT_EQ(IPMC_ERROR, IpmGetChannelId(56, &byChannel));
    EXPECT_EQ(IPMC_ERROR, IpmClose(200));
    EXPECT_EQ(1, byChannel);
    ASSERT_EQ(2u, printed.size());
    EXPECT_EQ(
        0u, printed[1].find("Assertion failed: (BYTE)tSessionId < IPMC_MAX_NR_OF_SESSIONS, file "));
}

TEST_F(IpmIniTest, ConnectRefusedIsNeverReportedAsConnectedAndIsRetried) {
    std::uint16_t wPort = ClosedPort();
    const std::uint8_t bySession = IpmOpen(wPort, "127.0.0.1", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    ASSERT_TRUE(Pump([] { return Logged("Connect failure"); }));
    Passes(40);
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTED));
    EXPECT_EQ(0, IpmSessionForTest(bySession)->bActive);
    // A send before the connection stands writes nothing and fails.
    const std::uint8_t msg[] = {1, 2};
    EXPECT_EQ(IPMC_ERROR, MdsExecuteResponseHandler(Channel(bySession), 3, 2, msg));

    // The unit comes up: the next attempt, two seconds later, connects with a new socket.
    const int listener = Track(PeerListen(&wPort));
    ASSERT_GE(listener, 0);
    Passes(40);
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECTED));
    Advance(IPMC_RECONNECT_INTERVAL_MS);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 1; }));
    EXPECT_EQ(IpsType::Connected, IpmSessionForTest(bySession)->tSocket.tType);
}

TEST_F(IpmIniTest, InvalidProtocolOpensNothing) {
    EXPECT_EQ(IPMC_NO_SESSION, IpmOpen(0, nullptr, 7, Callback));
    EXPECT_TRUE(Logged("IpmFailed : 0x3138;Invalid protocol 7"));
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(0)->bySessionId);
}

TEST_F(IpmIniTest, TerminateClosesEverySessionAndRemovesTheTasks) {
    std::uint8_t byAccepted = 0;
    ConnectPeer(IPMC_PROTOCOL_MULTI, &byAccepted);
    EXPECT_EQ(0, IpmTerminate());
    EXPECT_EQ(1, CountEvents(IPMC_EVENT_DISCONNECTED));
    for (std::uint8_t i = 0; i < IPMC_MAX_NR_OF_SESSIONS; ++i) {
        EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(i)->bySessionId);
    }
    EXPECT_EQ(0, IpmInit());
}

} // namespace
