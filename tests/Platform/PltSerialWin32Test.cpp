// The Win32 serial backend against a scripted device: overlapped reads that complete at once or
// later, writes that time out and are cancelled, the line settings of an open, and the bounded
// writes into the writer thread's pipe.
#include "Platform/PltSerial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Platform/PltClock.h"
#include "Platform/Win32/PltWin32Sys.h"
#include "tests/support/FakeComWin32.h"
#include "tests/support/TestOs.h"

namespace {

using namespace fakecom;

class PltSerialWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallFakeDevice();
        device.dcb.fOutX = TRUE; // settings as read: a terminal's XON/XOFF
        device.dcb.StopBits = TWOSTOPBITS;
        int iError = 0;
        hDevice = PltSerialOpen("\\\\.\\COM1", &iError);
        ASSERT_NE(PLTC_INVALID_HANDLE, hDevice);
        std::uint8_t byParityOn = 9;
        ASSERT_EQ(PltSerialConfig::Ok, PltSerialConfigure(hDevice, 19200, 8, 0, &byParityOn));
        EXPECT_EQ(0, byParityOn);
        // The pipe and the read/write functions are the real ones for pipes: PltPipe* only
        // reach ReadFile and WriteFile without an overlapped record.
    }
    void TearDown() override {
        PltSerialClose(hDevice);
        PltWin32SerialSysReset();
    }
    long Read(std::uint8_t* pbyBuffer, std::size_t wMax) {
        int iError = 0;
        return PltSerialRead(hDevice, pbyBuffer, wMax, &iError);
    }
    PltHandle hDevice = PLTC_INVALID_HANDLE;
};

TEST(PltSerialWin32Name, PortIndexNamesTheComDeviceUnlessAnEnvironmentVariableOverridesIt) {
    testos::UnsetEnv("TALVO_RC_COM1");
    testos::UnsetEnv("TALVO_RC_COM4");
    char szName[PLTC_DEVICE_NAME_SIZE] = {};
    PltSerialDeviceName(0, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM1", szName);
    PltSerialDeviceName(3, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM4", szName);
    testos::SetEnv("TALVO_RC_COM4", "\\\\.\\COM12");
    PltSerialDeviceName(3, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM12", szName);
    testos::UnsetEnv("TALVO_RC_COM4");
}

TEST(PltSerialWin32Name, GivenNameWinsAndABareComNameReachesPortsBeyondNine) {
    char szName[PLTC_DEVICE_NAME_SIZE] = {};
    ASSERT_TRUE(PltSerialSetDeviceName(1, "COM12"));
    PltSerialDeviceName(1, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM12", szName);
    ASSERT_TRUE(PltSerialSetDeviceName(1, "\\\\.\\COM13"));
    PltSerialDeviceName(1, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM13", szName);
    ASSERT_TRUE(PltSerialSetDeviceName(1, nullptr));
    PltSerialDeviceName(1, szName, sizeof szName);
    EXPECT_STREQ("\\\\.\\COM2", szName);
    EXPECT_FALSE(PltSerialSetDeviceName(PLTC_NAMED_PORTS, "COM5"));
}

TEST_F(PltSerialWin32Test, OpenAsksForOverlappedExclusiveUseAndSetsTheLine) {
    EXPECT_EQ("\\\\.\\COM1", device.name);
    EXPECT_EQ(0u, device.dwShare);
    EXPECT_NE(0u, device.dwFlags & FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(3500u, device.dwInQueue);
    EXPECT_EQ(3500u, device.dwOutQueue);
    // A read returns at once with what has arrived.
    EXPECT_EQ(MAXDWORD, device.timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, device.timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, device.timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, device.timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ(19200u, device.dcb.BaudRate);
    EXPECT_EQ(static_cast<DWORD>(RTS_CONTROL_HANDSHAKE), device.dcb.fRtsControl);
    EXPECT_EQ(static_cast<DWORD>(DTR_CONTROL_ENABLE), device.dcb.fDtrControl);
    EXPECT_EQ(1u, device.dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, device.dcb.fOutxDsrFlow);
    EXPECT_EQ(0u, device.dcb.fOutX); // a binary line never eats XON/XOFF bytes
    EXPECT_EQ(8, device.dcb.ByteSize);
    EXPECT_EQ(NOPARITY, device.dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, device.dcb.StopBits);
    std::uint8_t byParityOn = 0;
    ASSERT_EQ(PltSerialConfig::Ok, PltSerialConfigure(hDevice, 9600, 7, EVENPARITY, &byParityOn));
    EXPECT_EQ(1, byParityOn);
    EXPECT_EQ(1u, device.dcb.fParity);
    ASSERT_TRUE(PltSerialSetBaudrate(hDevice, 115200));
    EXPECT_EQ(115200u, device.dcb.BaudRate);
    EXPECT_EQ(7, device.dcb.ByteSize);
}

TEST_F(PltSerialWin32Test, ReadCompletingAtOnceHandsOutItsBytesInOrderAcrossCalls) {
    device.bReadAtOnce = true;
    device.arrived = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    device.dwQueued = 10;
    std::uint8_t buffer[16] = {};
    ASSERT_EQ(4, Read(buffer, 4));
    EXPECT_EQ(1, buffer[0]);
    ASSERT_EQ(4, Read(buffer, 4));
    EXPECT_EQ(5, buffer[0]);
    ASSERT_EQ(2, Read(buffer, 4));
    EXPECT_EQ(9, buffer[0]);
    EXPECT_EQ(10, buffer[1]);
    EXPECT_EQ(1, device.nReads); // the held bytes came without another read
    device.dwQueued = 0;
    EXPECT_EQ(0, Read(buffer, 4));
    EXPECT_EQ(1, device.nReads); // a quiet line is not read at all
}

TEST_F(PltSerialWin32Test, ReadCompletingLaterIsPolledWithoutWaiting) {
    device.dwQueued = 2;
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(0, Read(buffer, sizeof buffer)); // started, pending
    EXPECT_EQ(0, Read(buffer, sizeof buffer)); // polled: still incomplete
    EXPECT_EQ(1, device.nReads);
    device.arrived = {0x7E, 0x01};
    ASSERT_EQ(2, Read(buffer, sizeof buffer));
    EXPECT_EQ(0x7E, buffer[0]);
    EXPECT_EQ(0x01, buffer[1]);
    EXPECT_EQ(2, device.nClears); // queue asked once; error state cleared after the completion
    EXPECT_EQ(0, Read(buffer, sizeof buffer));
    EXPECT_EQ(2, device.nReads); // the next call starts a new read
}

TEST_F(PltSerialWin32Test, FailedPollDropsTheReadAndTheNextCallStartsANewOne) {
    device.dwQueued = 1;
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(0, Read(buffer, sizeof buffer));
    device.dwPollError = ERROR_OPERATION_ABORTED;
    EXPECT_EQ(0, Read(buffer, sizeof buffer));
    device.dwPollError = 0;
    EXPECT_EQ(0, Read(buffer, sizeof buffer));
    EXPECT_EQ(2, device.nReads);
}

TEST_F(PltSerialWin32Test, ReadFailingAtOnceReportsThePlatformError) {
    device.dwReadError = ERROR_INVALID_PARAMETER;
    device.dwQueued = 1;
    std::uint8_t buffer[4] = {};
    int iError = 0;
    EXPECT_EQ(-1, PltSerialRead(hDevice, buffer, sizeof buffer, &iError));
    EXPECT_EQ(static_cast<int>(ERROR_INVALID_PARAMETER), iError);
    // An unplugged adapter refuses access to its handle from then on: the line has hung up.
    device.dwReadError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(PLTC_SERIAL_HUNG_UP, PltSerialRead(hDevice, buffer, sizeof buffer, &iError));
    EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), iError);
}

TEST_F(PltSerialWin32Test, WriteThatDoesNotCompleteInTimeIsCancelled) {
    device.bWritePending = true;
    const std::uint8_t data[3] = {1, 2, 3};
    int iError = 0;
    const std::uint32_t dwStart = PltGetTickCount();
    EXPECT_EQ(0, PltSerialWrite(hDevice, data, sizeof data, 60, nullptr, &iError));
    EXPECT_GE(PltGetTickCount() - dwStart, 50u);
    EXPECT_EQ(1, device.nCancels);
}

TEST_F(PltSerialWin32Test, WriteCompletingLaterReportsItsCount) {
    device.bWritePending = true;
    device.bSignalWrite = true;
    const std::uint8_t data[3] = {1, 2, 3};
    int iError = 0;
    EXPECT_EQ(3, PltSerialWrite(hDevice, data, sizeof data, 1000, nullptr, &iError));
    EXPECT_EQ(0, device.nCancels);
    EXPECT_EQ(std::vector<std::uint8_t>({1, 2, 3}), device.written);
}

TEST_F(PltSerialWin32Test, StoppedWriterSendsNothing) {
    const std::atomic<std::uint8_t> bGoOn{0};
    const std::uint8_t data[1] = {1};
    int iError = 0;
    EXPECT_EQ(0, PltSerialWrite(hDevice, data, sizeof data, 1000, &bGoOn, &iError));
    EXPECT_TRUE(device.written.empty());
}

TEST(PltPipeWin32Test, FullPipeGivesUpAfterItsTimeOutOrWhenTheReaderIsGone) {
    PltHandle hRead = PLTC_INVALID_HANDLE;
    PltHandle hWrite = PLTC_INVALID_HANDLE;
    ASSERT_TRUE(PltPipeCreate(7000, &hRead, &hWrite));
    const std::vector<std::uint8_t> block(7000, 0x55);
    const std::atomic<std::uint8_t> bAlive{1};
    ASSERT_TRUE(PltPipeWrite(hWrite, block.data(), block.size(), 100, &bAlive));
    const std::uint32_t dwStart = PltGetTickCount();
    const std::uint8_t byte = 1;
    EXPECT_FALSE(PltPipeWrite(hWrite, &byte, 1, 80, &bAlive)); // full: no room within 80 ms
    EXPECT_GE(PltGetTickCount() - dwStart, 70u);
    const std::atomic<std::uint8_t> bDead{0};
    EXPECT_FALSE(PltPipeWrite(hWrite, &byte, 1, 5000, &bDead)); // at once: nobody makes room
    EXPECT_LT(PltGetTickCount() - dwStart, 2000u);
    std::vector<std::uint8_t> buffer(3500);
    EXPECT_EQ(3500, PltPipeRead(hRead, buffer.data(), buffer.size()));
    EXPECT_TRUE(PltPipeWrite(hWrite, &byte, 1, 100, &bAlive));
    PltHandleClose(hWrite);
    EXPECT_EQ(3500, PltPipeRead(hRead, buffer.data(), buffer.size()));
    EXPECT_EQ(1, PltPipeRead(hRead, buffer.data(), buffer.size()));
    EXPECT_EQ(-1, PltPipeRead(hRead, buffer.data(), buffer.size())); // the write end is gone
    PltHandleClose(hRead);
}

TEST(PltPipeWin32Test, HandlesOfOtherKindsAreRefused) {
    PltHandle hRead = PLTC_INVALID_HANDLE;
    PltHandle hWrite = PLTC_INVALID_HANDLE;
    ASSERT_TRUE(PltPipeCreate(64, &hRead, &hWrite));
    std::uint8_t buffer[4] = {};
    int iError = 0;
    EXPECT_EQ(-1, PltSerialRead(hRead, buffer, sizeof buffer, &iError));
    EXPECT_EQ(-1, PltPipeRead(hWrite, buffer, sizeof buffer));
    EXPECT_FALSE(PltPipeWrite(hRead, buffer, 1, 10, nullptr));
    EXPECT_FALSE(PltPipeWrite(12345, buffer, 1, 10, nullptr));
    PltHandleClose(hRead);
    PltHandleClose(hWrite);
    PltHandleClose(hWrite); // a second close of a freed slot does nothing
}

} // namespace
