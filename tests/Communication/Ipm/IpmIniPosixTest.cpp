// Session manager failures injected through the POSIX socket backend's system-call table.
#include "Communication/Ipm/IpmIni.h"

#include <cerrno>
#include <netdb.h>
#include <string>

#include "Platform/Posix/PltSocketSys.h"
#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

class IpmIniPosixTest : public IpFixture {};

TEST_F(IpmIniPosixTest, UnresolvedHostIsKeptAsTextOnlyWhenItFits) {
    PltSocketCalls().pfGetAddrInfo = [](const char*, const char*, const addrinfo*, addrinfo**) {
        return EAI_NONAME;
    };
    const std::uint8_t bySession = IpmOpen(9451, "unit-under-test", IPMC_PROTOCOL_OIP, Callback);
    ASSERT_EQ(0, bySession);
    EXPECT_STREQ("unit-under-test", IpmSessionForTest(bySession)->szIpAddress.data());
    EXPECT_TRUE(Logged("Could not resolve host"));
    const std::string longName(31, 'h');
    EXPECT_EQ(IPMC_NO_SESSION, IpmOpen(9451, longName.c_str(), IPMC_PROTOCOL_OIP, Callback));
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(1)->bySessionId);
    Advance(IPMC_RECONNECT_INTERVAL_MS);
    Passes(8);
    EXPECT_EQ(0, IpmSessionForTest(bySession)->bActive);
}

TEST_F(IpmIniPosixTest, FailedListenReleasesTheSlot) {
    std::uint16_t wPort = 0;
    const int holder = Track(PeerListen(&wPort));
    ASSERT_GE(holder, 0);
    PltSocketCalls().pfBind = [](int, const sockaddr*, unsigned) {
        errno = EADDRINUSE;
        return -1;
    };
    EXPECT_EQ(IPMC_NO_SESSION, IpmOpen(wPort, nullptr, IPMC_PROTOCOL_MULTI, Callback));
    EXPECT_EQ(IPMC_NO_SESSION, IpmSessionForTest(0)->bySessionId);
    EXPECT_EQ(nullptr, IpmSessionForTest(0)->pvProtocolData);
    EXPECT_TRUE(Logged("Could not bind to socket"));
}

} // namespace
