#include "Communication/Ips/Ips.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <string>

#include "Platform/Posix/PltSys.h"
#include "tests/Communication/IpTestSupport.h"

namespace {

using namespace iptest;

std::vector<std::size_t> sendSizes;
int interruptions = 0;
std::size_t sendLimit = 0;
std::vector<int> closed;

long RecordingSend(int fd, const void* data, std::size_t len, int flags) {
    if (interruptions > 0) {
        --interruptions;
        errno = EINTR;
        return -1;
    }
    const std::size_t n = sendLimit != 0 && len > sendLimit ? sendLimit : len;
    sendSizes.push_back(n);
    return static_cast<long>(::send(fd, data, n, flags));
}

int RecordingClose(int fd) {
    closed.push_back(fd);
    return ::close(fd);
}

class IpsTest : public IpFixture {
  protected:
    void SetUp() override {
        IpFixture::SetUp();
        sendSizes.clear();
        interruptions = 0;
        sendLimit = 0;
        closed.clear();
    }
    void TearDown() override {
        for (IpsSocket* p : {&listening, &accepted, &client}) {
            if (p->socketDescr != IPSC_INVALID_SOCKET) {
                EXPECT_EQ(IPSC_OK, IpsCloseSocket(p));
            }
        }
        IpFixture::TearDown();
    }
    // A connected pair of the layer's own sockets: client and accepted.
    void ConnectPair() {
        ASSERT_EQ(0, IpsCreateSocket(&listening));
        ASSERT_EQ(0, IpsListen(0, &listening));
        ASSERT_EQ(0, IpsCreateSocket(&client));
        ASSERT_EQ(0, IpsConnect(IpsLocalPort(&listening), "127.0.0.1", &client));
        EXPECT_EQ(IpsType::Connecting, client.tType);
        ASSERT_TRUE(Pump([&] { return IpsIsConnected(&client) == 1; }));
        EXPECT_EQ(IpsType::Connected, client.tType);
        ASSERT_TRUE(Pump([&] {
            return IpsAccept(&listening, &accepted) == 0 &&
                   accepted.socketDescr != IPSC_INVALID_SOCKET;
        }));
    }
    // Everything that arrives on the accepted socket within a short while.
    Bytes Drain(std::size_t expected) {
        Bytes data;
        std::uint8_t buffer[4096];
        Pump([&] {
            std::uint32_t count = 0;
            EXPECT_EQ(IPSC_OK, IpsRead(&accepted, buffer, sizeof buffer, &count));
            data.insert(data.end(), buffer, buffer + count);
            return data.size() >= expected;
        });
        return data;
    }
    IpsSocket listening, accepted, client;
};

TEST_F(IpsTest, ReadWithoutDataReturnsNothingAndClearsTheFirstByte) {
    ConnectPair();
    std::uint8_t buffer[8] = {0x55};
    std::uint32_t count = 99;
    EXPECT_EQ(0, IpsRead(&accepted, buffer, sizeof buffer, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, buffer[0]);
}

TEST_F(IpsTest, ReadAfterThePeerClosedIsATransferError) {
    ConnectPair();
    ASSERT_EQ(0, IpsCloseSocket(&client));
    std::uint8_t buffer[8];
    std::uint32_t count = 5;
    ASSERT_TRUE(Pump([&] { return IpsRead(&accepted, buffer, sizeof buffer, &count) != 0; }));
    EXPECT_EQ(0u, count);
    EXPECT_TRUE(Logged("E IpsRead : 0x30d5;Socket error, errno="));
}

TEST_F(IpsTest, WriteGoesOutInPiecesOf1024AndOverShortSendsAndInterruptions) {
    ConnectPair();
    PltSysTable().pfSend = RecordingSend;
    Bytes data(2500);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(0, IpsWrite(&client, data.data(), 2500));
    EXPECT_EQ(std::vector<std::size_t>({1024, 1024, 452}), sendSizes);
    EXPECT_EQ(data, Drain(2500));

    sendSizes.clear();
    sendLimit = 300;
    interruptions = 2;
    ASSERT_EQ(0, IpsWrite(&client, data.data(), 1000));
    EXPECT_EQ(std::vector<std::size_t>({300, 300, 300, 100}), sendSizes);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 1000), Drain(1000));

    sendSizes.clear();
    ASSERT_EQ(0, IpsWrite(&client, data.data(), 0));
    EXPECT_TRUE(sendSizes.empty());
}

TEST_F(IpsTest, FailedSendIsATransferError) {
    ConnectPair();
    PltSysTable().pfSend = [](int, const void*, std::size_t, int) -> long {
        errno = ECONNRESET;
        return -1;
    };
    const std::uint8_t byte = 1;
    EXPECT_EQ(IPSC_TRANSFER_ERROR, IpsWrite(&client, &byte, 1));
    EXPECT_TRUE(Logged("E IpsWrite : 0x30d4;Write to socket failed, errno=104"));
}

TEST_F(IpsTest, AcceptWithNothingPendingGivesNoSocket) {
    ASSERT_EQ(0, IpsCreateSocket(&listening));
    ASSERT_EQ(0, IpsListen(0, &listening));
    EXPECT_EQ(IpsType::Passive, listening.tType);
    accepted.socketDescr = 77;
    EXPECT_EQ(0, IpsAccept(&listening, &accepted));
    EXPECT_EQ(IPSC_INVALID_SOCKET, accepted.socketDescr);
    EXPECT_EQ(IpsType::Accepted, accepted.tType);
}

TEST_F(IpsTest, AcceptedSocketsGetTheLayersModes) {
    ConnectPair();
    const int fd = static_cast<int>(accepted.socketDescr);
    EXPECT_NE(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
    int value = 0;
    socklen_t len = sizeof value;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len);
    EXPECT_EQ(1, value);
    ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len);
    EXPECT_EQ(1, value);
}

TEST_F(IpsTest, ConnectWithTextThatIsNoAddressLeavesTheState) {
    ASSERT_EQ(0, IpsCreateSocket(&client));
    EXPECT_EQ(IPSC_ERROR, IpsConnect(9451, "unit.local", &client));
    EXPECT_EQ(IpsType::None, client.tType);
    EXPECT_TRUE(Logged("IpsConnect : 0x30d5;Could not convert IP Address"));
}

TEST_F(IpsTest, ConnectRefusedIsNeverReportedAsConnected) {
    const std::uint16_t wPort = ClosedPort();
    ASSERT_EQ(0, IpsCreateSocket(&client));
    if (IpsConnect(wPort, "127.0.0.1", &client) == 0) {
        Pump([&] {
            EXPECT_EQ(0, IpsIsConnected(&client));
            return client.tType != IpsType::Connecting;
        });
    }
    EXPECT_EQ(IpsType::None, client.tType);
    EXPECT_TRUE(Logged("Connect failure, errno=111"));
}

TEST_F(IpsTest, CreateSocketClosesItWhenAnOptionFails) {
    PltSysTable().pfClose = RecordingClose;
    PltSysTable().pfSetSockOpt = [](int, int level, int name, const void*, unsigned) {
        if (level == SOL_SOCKET && name == SO_KEEPALIVE) {
            errno = ENOPROTOOPT;
            return -1;
        }
        return 0;
    };
    EXPECT_EQ(IPSC_ERROR, IpsCreateSocket(&client));
    EXPECT_EQ(IPSC_INVALID_SOCKET, client.socketDescr);
    EXPECT_EQ(1u, closed.size());
    EXPECT_TRUE(Logged("IpsCreateSocket : 0x30d5;setsockopt SO_KEEPALIVE failed, errno=92"));
}

TEST_F(IpsTest, IpsListenClosesItsSocketOnFailure) {
    PltSysTable().pfClose = RecordingClose;
    PltSysTable().pfListen = [](int, int) {
        errno = EOPNOTSUPP;
        return -1;
    };
    ASSERT_EQ(0, IpsCreateSocket(&listening));
    const int fd = static_cast<int>(listening.socketDescr);
    EXPECT_EQ(IPSC_ERROR, IpsListen(0, &listening));
    EXPECT_EQ(IPSC_INVALID_SOCKET, listening.socketDescr);
    EXPECT_EQ(IpsType::Passive, listening.tType);
    EXPECT_EQ(std::vector<int>({fd}), closed);
    EXPECT_TRUE(Logged("Socket listen error"));
}

TEST_F(IpsTest, IpsCloseSocketWithoutASocketClosesNothing) {
    PltSysTable().pfClose = RecordingClose;
    IpsSocket none;
    none.tType = IpsType::Connecting;
    EXPECT_EQ(0, IpsCloseSocket(&none));
    EXPECT_TRUE(closed.empty());
    EXPECT_EQ(IpsType::None, none.tType);
    ASSERT_EQ(0, IpsCreateSocket(&client));
    EXPECT_EQ(0, IpsCloseSocket(&client));
    EXPECT_EQ(1u, closed.size());
    EXPECT_EQ(IPSC_INVALID_SOCKET, client.socketDescr);
    EXPECT_EQ(IpsType::None, client.tType);
}

TEST_F(IpsTest, ResolvesNamesToDottedText) {
    char address[IPSC_ADDRESS_SIZE] = {};
    ASSERT_EQ(0, IpsIpAddress("localhost", address));
    EXPECT_STREQ("127.0.0.1", address);
    ASSERT_EQ(0, IpsIpAddress("127.1.2.3", address));
    EXPECT_STREQ("127.1.2.3", address);
    std::snprintf(address, sizeof address, "kept");
    EXPECT_EQ(IPSC_ERROR, IpsIpAddress(std::string(300, 'a').c_str(), address));
    EXPECT_STREQ("kept", address);
    EXPECT_TRUE(Logged("IpsIpAddress : 0x30d5;Could not resolve host, errno="));
}

TEST_F(IpsTest, FailedChecksPrintTheAssertionLine) {
    RouteChecks();
    EXPECT_EQ(IPSC_OK, IpsInit());
    ASSERT_EQ(1u, printed.size());
    EXPECT_EQ(0u, printed[0].find("Assertion failed: !bIsInitialised, file "));
    EXPECT_NE(std::string::npos, printed[0].find("Ips.cpp, line "));
}

} // namespace
