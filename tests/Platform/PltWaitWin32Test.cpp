// The Windows readiness wait over the three kinds of handles it watches: a console input pipe,
// a socket and a serial device.
#include "Platform/PltWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Platform/PltClock.h"
#include "Platform/PltSocket.h"
#include "tests/support/TestOs.h"

namespace {

TEST(PltWaitWin32Test, InputPipeWakesTheWaitAndAnEmptyOneTimesOut) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, testos::Pipe(fds));
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, fds[0]));
    std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 30));
    EXPECT_GE(PltGetTickCount() - dwStart, 25u);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)testos::Write(fds[1], "x", 1);
    });
    dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, 5000));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    writer.join();
    testos::Close(fds[0]);
    testos::Close(fds[1]);
}

TEST(PltWaitWin32Test, SocketWithDataWakesTheWait) {
    const PltSocketHandle hListener = PltSocketCreateTcp();
    ASSERT_NE(PLTC_INVALID_SOCKET, hListener);
    ASSERT_TRUE(PltSocketBind(hListener, 0));
    ASSERT_TRUE(PltSocketListen(hListener, 1));
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, hListener));
    EXPECT_EQ(0, PltWaitReadable(set, 20)); // nobody is connecting
    const PltSocketHandle hClient = PltSocketCreateTcp();
    ASSERT_NE(PLTC_INVALID_SOCKET, hClient);
    ASSERT_EQ(0, PltSocketConnect(hClient, 0x7F000001u, PltSocketLocalPort(hListener)));
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, 5000)); // a pending connection reads as input
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    PltSocketClose(hClient);
    PltSocketClose(hListener);
}

TEST(PltWaitWin32Test, EmptySetSleepsTheTimeOut) {
    const PltWaitSet set;
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 20));
    EXPECT_GE(PltGetTickCount() - dwStart, 15u);
}

} // namespace
