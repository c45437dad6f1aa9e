// Session manager failures injected through the POSIX socket backend's system-call table.
#include "Communication/Ipm/IpmIni.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "Platform/Posix/PltSys.h"
#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

class IpmIniPosixTest : public IpFixture {};

TEST_F(IpmIniPosixTest, UnresolvedHostSaysWhyAndIsTriedAgain) {
    PltSysTable().pfGetAddrInfo = [](const char*, const char*, const addrinfo*, addrinfo**) {
        return EAI_NONAME;
    };
    const std::uint8_t bySession = IpmOpen(9451, "unit-under-test", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    EXPECT_STREQ("unit-under-test", IpmSessionForTest(bySession)->szIpAddress.data());
    // The name is resolved on a thread of its own; its failure comes back as an event.
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECT_FAILED) == 1; }));
    EXPECT_STREQ(gai_strerror(EAI_NONAME), IpmConnectFailure(bySession));
    EXPECT_TRUE(Logged("Could not resolve host"));
    Advance(IPMC_RECONNECT_INTERVAL_MS);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECT_FAILED) == 2; }));
    EXPECT_EQ(0, IpmSessionForTest(bySession)->bActive);
    // Names longer than the old 30 characters (IPv6 address texts are) fit; 254 do not.
    EXPECT_NE(IPMC_NO_SESSION,
              IpmOpen(9451, std::string(200, 'h').c_str(), IPMC_PROTOCOL_OIP, Callback));
    EXPECT_EQ(IPMC_NO_SESSION,
              IpmOpen(9451, std::string(254, 'h').c_str(), IPMC_PROTOCOL_OIP, Callback));
}

// The fake resolver's answer: a closed port first, then the listening one.
std::uint16_t g_wClosed = 0;
std::uint16_t g_wOpen = 0;

int TwoAddresses(const char*, const char*, const addrinfo*, addrinfo** ppResult) {
    static sockaddr_in aAddress[2];
    static addrinfo aInfo[2];
    for (int i = 0; i < 2; ++i) {
        aAddress[i] = sockaddr_in{};
        aAddress[i].sin_family = AF_INET;
        aAddress[i].sin_port = htons(i == 0 ? g_wClosed : g_wOpen);
        aAddress[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        aInfo[i] = addrinfo{};
        aInfo[i].ai_family = AF_INET;
        aInfo[i].ai_socktype = SOCK_STREAM;
        aInfo[i].ai_addrlen = sizeof aAddress[i];
        aInfo[i].ai_addr = reinterpret_cast<sockaddr*>(&aAddress[i]);
        aInfo[i].ai_next = i == 0 ? &aInfo[1] : nullptr;
    }
    *ppResult = &aInfo[0];
    return 0;
}

TEST_F(IpmIniPosixTest, NameWithSeveralAddressesConnectsToTheFirstThatAnswers) {
    g_wClosed = ClosedPort();
    const int holder = Track(PeerListen(&g_wOpen));
    ASSERT_GE(holder, 0);
    ASSERT_NE(0, g_wClosed);
    PltSysTable().pfGetAddrInfo = TwoAddresses;
    PltSysTable().pfFreeAddrInfo = [](addrinfo*) {};
    const std::uint8_t bySession = IpmOpen(9451, "unit-with-two", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 1; }));
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECT_FAILED));
}

// The fake resolver's answer for a name with an IPv6 address only: ::1 at g_wOpen.
int OnlyIpv6(const char*, const char*, const addrinfo*, addrinfo** ppResult) {
    static sockaddr_in6 tAddress;
    static addrinfo tInfo;
    tAddress = sockaddr_in6{};
    tAddress.sin6_family = AF_INET6;
    tAddress.sin6_port = htons(g_wOpen);
    tAddress.sin6_addr = in6addr_loopback;
    tInfo = addrinfo{};
    tInfo.ai_family = AF_INET6;
    tInfo.ai_socktype = SOCK_STREAM;
    tInfo.ai_addrlen = sizeof tAddress;
    tInfo.ai_addr = reinterpret_cast<sockaddr*>(&tAddress);
    *ppResult = &tInfo;
    return 0;
}

TEST_F(IpmIniPosixTest, NameWithOnlyAnIpv6AddressConnects) {
    const int listener = Track(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 tAddress{};
    tAddress.sin6_family = AF_INET6;
    tAddress.sin6_addr = in6addr_loopback;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&tAddress), sizeof tAddress) != 0 ||
        ::listen(listener, 2) != 0) {
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    socklen_t len = sizeof tAddress;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&tAddress), &len);
    g_wOpen = ntohs(tAddress.sin6_port);
    PltSysTable().pfGetAddrInfo = OnlyIpv6;
    PltSysTable().pfFreeAddrInfo = [](addrinfo*) {};
    const std::uint8_t bySession = IpmOpen(9451, "unit-on-v6", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 1; }));
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECT_FAILED));
}

// A name server that takes its time: 1.5 s for a name, no wait for numeric text.
int SlowResolver(const char*, const char*, const addrinfo* ptHints, addrinfo**) {
    if ((ptHints->ai_flags & AI_NUMERICHOST) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    return EAI_AGAIN;
}

TEST_F(IpmIniPosixTest, SlowNameServerDoesNotHoldTheScheduler) {
    PltSysTable().pfGetAddrInfo = SlowResolver;
    const auto start = std::chrono::steady_clock::now();
    const std::uint8_t bySession = IpmOpen(9451, "slow.example", IPMC_PROTOCOL_OIP, Callback);
    Passes(100);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(0, CountEvents(IPMC_EVENT_CONNECT_FAILED));
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECT_FAILED) == 1; }, 5000));
    EXPECT_STREQ(gai_strerror(EAI_AGAIN), IpmConnectFailure(bySession));
}

TEST_F(IpmIniPosixTest, RefusedConnectIsReportedWithItsReason) {
    const std::uint16_t wClosed = ClosedPort();
    ASSERT_NE(0, wClosed);
    const std::uint8_t bySession = IpmOpen(wClosed, "127.0.0.1", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECT_FAILED) == 1; }));
    EXPECT_STREQ("Connection refused", IpmConnectFailure(bySession));
    Passes(20); // one report per attempt: the next attempt waits for the interval
    EXPECT_EQ(1, CountEvents(IPMC_EVENT_CONNECT_FAILED));
}

TEST_F(IpmIniPosixTest, FailedListenReleasesTheSlot) {
    std::uint16_t wPort = 0;
    const int holder = Track(PeerListen(&wPort));
    ASSERT_GE(holder, 0);
    PltSysTable().pfBind = [](int, const sockaddr*, unsigned) {
        errno = EADDRINUSE;
        return -1;
    };
    EXPECT_EQ(IPMC_NO_SESSION, IpmOpen(wPort, nullptr, IPMC_PROTOCOL_MULTI, Callback));
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(0)->bySessionId);
    EXPECT_EQ(nullptr, IpmSessionForTest(0)->pvProtocolData);
    EXPECT_TRUE(Logged("Could not bind to socket"));
}

// With standard input closed an accepted connection gets descriptor 0: a socket like any other.
TEST_F(IpmIniPosixTest, AcceptedSocketOnDescriptorZeroIsServedAndClosed) {
    std::uint16_t wPort = 0;
    ASSERT_EQ(0, OpenListener(IPMC_PROTOCOL_TERMINAL, &wPort));
    const int fd = Track(PeerConnect(wPort)); // waits in the listen backlog
    struct StdinClosed {
        int saved = ::dup(0);
        StdinClosed() { ::close(0); }
        ~StdinClosed() {
            ::dup2(saved, 0);
            ::close(saved);
        }
    } stdinClosed;
    ASSERT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) == 1; }));
    const std::uint8_t byAccepted = events.back().bySession;
    ASSERT_EQ(0u, IpmSessionForTest(byAccepted)->tSocket.socketDescr);
    EXPECT_EQ(2, IpmOpenSessionCount());
    EXPECT_EQ(2, IpsOpenSocketCount());
    PeerSend(fd, {'o', 'k', 13});
    ASSERT_TRUE(Pump([] { return messages.size() == 1; }));
    EXPECT_EQ(IPMC_OK, IpmClose(byAccepted));
    EXPECT_EQ(-1, ::fcntl(0, F_GETFD));
    EXPECT_EQ(IPMC_OK, IpmClose(0));
    EXPECT_EQ(0, IpmOpenSessionCount());
    EXPECT_EQ(0, IpsOpenSocketCount());
}

} // namespace
