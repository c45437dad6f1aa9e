// The Windows Sockets backend on the loopback: would-block and refusal codes as Windows reports
// them, and failures injected through its call table.
#include "Platform/PltSocket.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

#include "Platform/PltClock.h"
#include "Platform/Win32/PltWin32Sys.h"

namespace {

class PltSocketWin32Test : public ::testing::Test {
  protected:
    void TearDown() override {
        PltSocketRestoreCalls();
        for (PltSocketHandle h : {listener, client, accepted}) {
            if (h != PLTC_INVALID_SOCKET) {
                EXPECT_TRUE(PltSocketClose(h));
            }
        }
    }
    // A listening socket on an ephemeral port; returns the port.
    std::uint16_t Listen() {
        listener = PltSocketCreateTcp();
        EXPECT_NE(PLTC_INVALID_SOCKET, listener);
        EXPECT_TRUE(PltSocketSetNonBlocking(listener));
        EXPECT_TRUE(PltSocketBind(listener, 0));
        EXPECT_TRUE(PltSocketListen(listener, 4));
        return PltSocketLocalPort(listener);
    }
    // Waits up to 2 s for the asked readiness; true when it came.
    static bool WaitFor(PltSocketHandle h, bool bRead, bool bWrite, PltSocketReady* ptReady) {
        const std::uint32_t dwStart = PltGetTickCount();
        while (PltGetTickCount() - dwStart < 2000) {
            if (PltSocketPoll(h, bRead, bWrite, 100, ptReady) == 1) {
                return true;
            }
        }
        return false;
    }
    PltSocketHandle listener = PLTC_INVALID_SOCKET;
    PltSocketHandle client = PLTC_INVALID_SOCKET;
    PltSocketHandle accepted = PLTC_INVALID_SOCKET;
};

TEST_F(PltSocketWin32Test, EmptyNonBlockingSocketsReportWouldBlock10035) {
    const std::uint16_t wPort = Listen();
    ASSERT_NE(0, wPort);
    EXPECT_EQ(PLTC_INVALID_SOCKET, PltSocketAccept(listener)); // nobody is connecting
    EXPECT_EQ(10035, PltSocketLastError());
    EXPECT_TRUE(PltSocketWouldBlock(PltSocketLastError()));

    client = PltSocketCreateTcp();
    ASSERT_TRUE(PltSocketSetNonBlocking(client));
    EXPECT_EQ(0, PltSocketConnect(client, 0x7F000001u, wPort)); // under way, not an error
    PltSocketReady ready;
    ASSERT_TRUE(WaitFor(client, false, true, &ready));
    EXPECT_TRUE(ready.bWritable);
    EXPECT_EQ(0, PltSocketPendingError(client));
    ASSERT_TRUE(WaitFor(listener, true, false, &ready));
    accepted = PltSocketAccept(listener);
    ASSERT_NE(PLTC_INVALID_SOCKET, accepted);
    ASSERT_TRUE(PltSocketSetNonBlocking(accepted));

    std::uint8_t buffer[8] = {};
    EXPECT_EQ(-1, PltSocketRecv(accepted, buffer, sizeof buffer));
    EXPECT_TRUE(PltSocketWouldBlock(PltSocketLastError()));
    const std::uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(3, PltSocketSend(client, data, sizeof data));
    ASSERT_TRUE(WaitFor(accepted, true, false, &ready));
    EXPECT_EQ(3, PltSocketRecv(accepted, buffer, sizeof buffer));
    EXPECT_TRUE(PltSocketClose(client));
    client = PLTC_INVALID_SOCKET;
    ASSERT_TRUE(WaitFor(accepted, true, false, &ready));
    EXPECT_TRUE(ready.bReadable); // a closed peer reads as the end of the stream
    EXPECT_EQ(0, PltSocketRecv(accepted, buffer, sizeof buffer));
}

TEST_F(PltSocketWin32Test, ConnectToAClosedPortEndsWithRefused10061) {
    const std::uint16_t wPort = Listen();
    EXPECT_TRUE(PltSocketClose(listener)); // nothing listens there any more
    listener = PLTC_INVALID_SOCKET;
    client = PltSocketCreateTcp();
    ASSERT_TRUE(PltSocketSetNonBlocking(client));
    const int nStarted = PltSocketConnect(client, 0x7F000001u, wPort);
    if (nStarted != 0) {
        EXPECT_EQ(10061, nStarted); // refused at once
        return;
    }
    PltSocketReady ready;
    ASSERT_TRUE(WaitFor(client, false, true, &ready));
    EXPECT_FALSE(ready.bWritable && !ready.bError && PltSocketPendingError(client) == 0);
    EXPECT_EQ(10061, PltSocketPendingError(client));
}

TEST_F(PltSocketWin32Test, InjectedFailuresReportTheWindowsSocketsError) {
    client = PltSocketCreateTcp();
    ASSERT_NE(PLTC_INVALID_SOCKET, client);
    PltSocketCalls().pfSend = [](SOCKET, const char*, int, int) { return SOCKET_ERROR; };
    PltSocketCalls().pfWSAGetLastError = [] { return WSAECONNRESET; };
    const std::uint8_t byte = 0;
    EXPECT_EQ(-1, PltSocketSend(client, &byte, 1));
    EXPECT_EQ(10054, PltSocketLastError());
    EXPECT_FALSE(PltSocketWouldBlock(PltSocketLastError()));
    PltSocketCalls().pfGetHostByName = [](const char*) -> hostent* { return nullptr; };
    PltSocketCalls().pfWSAGetLastError = [] { return WSAHOST_NOT_FOUND; };
    std::uint32_t dwAddress = 0;
    EXPECT_FALSE(PltSocketResolve("unit-under-test", &dwAddress));
    EXPECT_EQ(11001, PltSocketLastError());
}

TEST(PltSocketWin32Address, DottedDecimalTextOnly) {
    EXPECT_EQ(0x7F000001u, PltSocketParseAddress("127.0.0.1"));
    EXPECT_EQ(0xC0A80A05u, PltSocketParseAddress("192.168.10.5"));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress("256.0.0.1"));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress("1.2.3"));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress("1.2.3.4x"));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress("1..2.3"));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress(""));
    EXPECT_EQ(PLTC_ADDRESS_NONE, PltSocketParseAddress(nullptr));
    std::uint32_t dwAddress = 0;
    ASSERT_TRUE(PltSocketResolve("localhost", &dwAddress));
    EXPECT_EQ(0x7F000001u, dwAddress);
}

} // namespace

namespace {

TEST_F(PltSocketWin32Test, ResolvedAddressesConnectAndShowTheirText) {
    const std::uint16_t wPort = Listen();
    ASSERT_NE(0, wPort);
    std::array<PltSocketAddress, 2> atAddress{};
    int nError = 0;
    ASSERT_EQ(1u, PltSocketResolveAll("127.0.0.1", wPort, PLTC_RESOLVE_NUMERIC, atAddress.data(),
                                      atAddress.size(), &nError));
    std::array<char, PLTC_ADDRESS_TEXT> szText{};
    PltSocketAddressText(atAddress[0], szText.data(), szText.size());
    EXPECT_EQ("127.0.0.1:" + std::to_string(wPort), std::string(szText.data()));
    client = PltSocketCreateFor(atAddress[0]);
    ASSERT_NE(PLTC_INVALID_SOCKET, client);
    ASSERT_TRUE(PltSocketSetNonBlocking(client));
    EXPECT_EQ(0, PltSocketConnectTo(client, atAddress[0])); // under way, not an error
    PltSocketReady ready;
    ASSERT_TRUE(WaitFor(client, false, true, &ready));
    EXPECT_EQ(0, PltSocketPendingError(client));

    ASSERT_EQ(1u, PltSocketResolveAll("::1", 9452, PLTC_RESOLVE_NUMERIC, atAddress.data(),
                                      atAddress.size(), &nError));
    PltSocketAddressText(atAddress[0], szText.data(), szText.size());
    EXPECT_STREQ("[0:0:0:0:0:0:0:1]:9452", szText.data());
    // A name is no numeric address: refused without asking a name server.
    EXPECT_EQ(0u, PltSocketResolveAll("unit.example", 9451, PLTC_RESOLVE_NUMERIC, atAddress.data(),
                                      atAddress.size(), &nError));
    EXPECT_NE(0, nError);
}

} // namespace
