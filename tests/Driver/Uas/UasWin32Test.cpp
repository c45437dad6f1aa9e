// The serial port driver on the Win32 backend: its writer thread, pipe and polled reads against
// a scripted COM device, and a COM device that does not exist.
#include "Driver/Uas/Uas.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/PltClock.h"
#include "Runtime/Log.h"
#include "tests/support/FakeComWin32.h"
#include "tests/support/TestOs.h"

namespace {

using namespace fakecom;

constexpr std::uint8_t PORT = 1; // COM2

std::string LastLogRecord() {
    char text[LOGC_RECORD_SIZE] = {};
    std::string last;
    for (std::uint16_t mode = LOGC_READ_FIRST; LogReadEntry(mode, text) == 0;
         mode = LOGC_READ_NEXT) {
        last = text;
    }
    return last;
}

class UasWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        testos::UnsetEnv("TALVO_RC_COM2");
        InstallFakeDevice();
        static_cast<void>(LogInit());
        LogResetForTest();
        UasResetForTest();
        EXPECT_EQ(0, UasInit());
    }
    void TearDown() override {
        UasResetForTest();
        PltWin32SerialSysReset();
    }
};

TEST_F(UasWin32Test, BytesGoOutThroughTheWriterAndComeInThroughPolledReads) {
    ASSERT_EQ(0, UasOpen(PORT, 19200, 8, 1, 0));
    EXPECT_EQ("\\\\.\\COM2", device.name);
    EXPECT_EQ(1, UasIsOpen(PORT));
    const std::uint8_t frame[3] = {0x7E, 0x11, 0x13};
    ASSERT_EQ(0, UasWriteBuffer(PORT, sizeof frame, frame));
    const std::uint32_t dwStart = PltGetTickCount();
    while (device.nWritten.load() < sizeof frame && PltGetTickCount() - dwStart < 2000) {
        PltSleepMicroseconds(1000);
    }
    device.dwQueued = 4;
    device.arrived = {1, 2, 3, 4};
    std::uint8_t buffer[UASC_BUFFER_SIZE] = {};
    std::uint16_t wCount = 0;
    EXPECT_EQ(0, UasReadBuffer(PORT, UASC_BUFFER_SIZE, buffer, &wCount)); // started, pending
    EXPECT_EQ(0u, wCount);
    EXPECT_EQ(0, UasReadBuffer(PORT, 3, buffer, &wCount)); // completed later: 3 of the 4
    ASSERT_EQ(3u, wCount);
    EXPECT_EQ(1, buffer[0]);
    std::uint8_t byLast = 0;
    EXPECT_EQ(0, UasGetChar(PORT, &byLast));
    EXPECT_EQ(4, byLast);
    EXPECT_EQ(UASC_NO_CHAR, UasGetChar(PORT, &byLast));
    EXPECT_EQ(0, UasClose(PORT)); // the idle writer ends at once, without the wake-up bytes
    EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + sizeof frame), device.written);
    EXPECT_EQ(0, UasIsOpen(PORT));
}

TEST_F(UasWin32Test, ClosingWhileAWriteHangsEndsTheWriterWithinItsTimeOut) {
    device.bWritePending = true; // the line never takes the bytes
    ASSERT_EQ(0, UasOpen(PORT, 19200, 8, 1, 0));
    const std::uint8_t byte = 0x55;
    ASSERT_EQ(0, UasWriteBuffer(PORT, 1, &byte));
    PltSleepMicroseconds(50000);
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, UasClose(PORT));
    EXPECT_LT(PltGetTickCount() - dwStart, 1500u);
    EXPECT_GE(device.nCancels, 1); // the hanging write was cancelled
}

TEST_F(UasWin32Test, MissingComDeviceFailsWithItsNameAndLeavesThePortReusable) {
    PltWin32SerialSysReset(); // the real Windows calls
    testos::SetEnv("TALVO_RC_COM2", "\\\\.\\COM77");
    EXPECT_EQ(UASC_OPEN_FAILED, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_NE(std::string::npos,
              LastLogRecord().find("Unable to open the communication port: \\\\.\\COM77"));
    EXPECT_EQ(0, UasIsOpen(PORT));
    testos::UnsetEnv("TALVO_RC_COM2");
    InstallFakeDevice();
    EXPECT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_EQ(0, UasClose(PORT));
}

} // namespace
