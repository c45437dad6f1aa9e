// The Windows readiness wait over the three kinds of handles it watches: a console input pipe,
// a socket and a serial device, each waking a wait that has no time-out to fall back on.
#include "Platform/PltWait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Platform/PltClock.h"
#include "Platform/PltConsole.h"
#include "Platform/PltSerial.h"
#include "Platform/PltSocket.h"
#include "Platform/Win32/PltWin32Handles.h"
#include "tests/support/FakeComWin32.h"
#include "tests/support/TestOs.h"

namespace {

// A stop request of an earlier test may have left a wake pending: use it up.
void ForgetWake() {
    const PltWaitSet none;
    (void)PltWaitReadable(none, 1);
}

TEST(PltWaitWin32Test, InputPipeWakesTheWaitAndAnEmptyOneTimesOut) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, testos::Pipe(fds));
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, fds[0]));
    ForgetWake();
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
    ForgetWake();
    EXPECT_EQ(0, PltWaitReadable(set, 20)); // nobody is connecting
    const PltSocketHandle hClient = PltSocketCreateTcp();
    ASSERT_NE(PLTC_INVALID_SOCKET, hClient);
    ASSERT_EQ(0, PltSocketConnect(hClient, 0x7F000001u, PltSocketLocalPort(hListener)));
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, 5000)); // a pending connection reads as input
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    EXPECT_TRUE(PltSocketClose(hClient));
    EXPECT_TRUE(PltSocketClose(hListener));
}

TEST(PltWaitWin32Test, EmptySetSleepsTheTimeOut) {
    const PltWaitSet set;
    ForgetWake();
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 20));
    EXPECT_GE(PltGetTickCount() - dwStart, 15u);
}

// Standard input from a pipe is read by the console layer's own thread: its bytes wake the wait,
// and so does the end of the input (Wine cannot peek into such a pipe, and once took that for the
// end of the input while the writer was still there).
TEST(PltWaitWin32Console, PipeInputWakesTheWaitThroughTheReaderThread) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, testos::Pipe(fds));
    PltConsoleResetForTest();
    PltConsoleUseInputForTest(fds[0]);
    PltWin32ConsoleUseReaderForTest();
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, PltConsoleInputFd()));
    EXPECT_FALSE(PltConsoleKeyWaiting());
    ForgetWake();
    std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 30));
    EXPECT_GE(PltGetTickCount() - dwStart, 25u);
    EXPECT_FALSE(PltConsoleAtEnd());

    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)testos::Write(fds[1], "ab", 2);
    });
    dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, PLTC_WAIT_FOREVER));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    writer.join();
    EXPECT_EQ('a', PltConsoleReadKey());
    EXPECT_EQ(1, PltWaitReadable(set, 0)); // the second byte is held, not lost
    EXPECT_EQ('b', PltConsoleReadKey());

    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        testos::Close(fds[1]);
    });
    EXPECT_EQ(1, PltWaitReadable(set, PLTC_WAIT_FOREVER)); // the end of the input
    closer.join();
    EXPECT_TRUE(PltConsoleKeyWaiting());
    EXPECT_EQ(PLTC_KEY_ENTER, PltConsoleReadKey()); // the last line gets its Enter
    EXPECT_TRUE(PltConsoleAtEnd());
    PltConsoleResetForTest();
    PltConsoleUseInputForTest(-1);
    testos::Close(fds[0]);
}

// A quiet line is watched by a read of one byte left under way where the system keeps it waiting
// (Wine), else by a character-received watch (Windows completes that read at once).
void ExpectCharacterWakesTheWait(PltHandle hDevice) {
    PltWaitSet set;
    ASSERT_TRUE(PltWaitAdd(set, hDevice));
    ForgetWake();
    std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, 30));
    EXPECT_GE(PltGetTickCount() - dwStart, 25u);
    std::thread line([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fakecom::Arrive({0x41, 0x42});
    });
    dwStart = PltGetTickCount();
    EXPECT_EQ(1, PltWaitReadable(set, PLTC_WAIT_FOREVER));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    line.join();
    std::uint8_t abyRead[4] = {};
    int iError = 0;
    EXPECT_LT(0, PltSerialRead(hDevice, abyRead, sizeof abyRead, &iError));
    EXPECT_EQ(0x41, abyRead[0]);
}

TEST(PltWaitWin32Serial, CharacterOnTheLineWakesTheWait) {
    fakecom::InstallFakeDevice();
    int iError = 0;
    PltHandle hDevice = PltSerialOpen("\\\\.\\COM1", &iError);
    ASSERT_NE(PLTC_INVALID_HANDLE, hDevice);
    ExpectCharacterWakesTheWait(hDevice); // through the outstanding read
    PltSerialClose(hDevice);

    fakecom::InstallFakeDevice();
    fakecom::device.bReadAtOnce = true; // a read on a quiet line completes with nothing
    hDevice = PltSerialOpen("\\\\.\\COM1", &iError);
    ASSERT_NE(PLTC_INVALID_HANDLE, hDevice);
    ExpectCharacterWakesTheWait(hDevice); // through the character-received watch
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), fakecom::device.dwMask);
    PltSerialClose(hDevice);
    PltWin32SerialSysReset();
}

TEST(PltWaitWin32Wake, WakeEndsAWaitWithoutTimeOut) {
    const PltWaitSet set;
    ForgetWake();
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PltWaitWake();
    });
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltWaitReadable(set, PLTC_WAIT_FOREVER));
    EXPECT_LT(PltGetTickCount() - dwStart, 1000u);
    waker.join();
}

} // namespace
