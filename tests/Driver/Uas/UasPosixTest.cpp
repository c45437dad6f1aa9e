// The serial port driver over a real pseudo-terminal, with system-call faults injected through
// the platform's table.
#include "Driver/Uas/Uas.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "Platform/PltClock.h"
#include "Platform/Posix/PltSys.h"
#include "Runtime/Log.h"
#include "tests/support/PtyPeer.h"

namespace {

constexpr std::uint8_t PORT = 1; // COM2

int CountOpenFds() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

std::string LastLogRecord() {
    char text[LOGC_RECORD_SIZE] = {};
    std::string last;
    if (LogReadEntry(LOGC_READ_FIRST, text) == 0) {
        last = text;
        while (LogReadEntry(LOGC_READ_NEXT, text) == 0) {
            last = text;
        }
    }
    return last;
}

// Reads from the port until wCount bytes came or a second passed.
std::vector<std::uint8_t> ReadPort(std::size_t wCount, std::uint16_t wMax = UASC_BUFFER_SIZE) {
    std::vector<std::uint8_t> out;
    const std::uint32_t start = PltGetTickCount();
    std::uint8_t buffer[UASC_BUFFER_SIZE];
    while (out.size() < wCount && PltGetTickCount() - start < 1000) {
        std::uint16_t n = 0;
        EXPECT_EQ(0, UasReadBuffer(PORT, wMax, buffer, &n));
        out.insert(out.end(), buffer, buffer + n);
        if (n == 0) {
            PltSleepMicroseconds(1000);
        }
    }
    return out;
}

int deviceFd = -1;
int deviceReadCalls = 0;
ssize_t (*realRead)(int, void*, size_t) = nullptr;

// Device reads: first interrupted, then at most 3 bytes at a time.
ssize_t ShortInterruptedRead(int fd, void* buffer, size_t count) {
    if (fd != deviceFd) {
        return realRead(fd, buffer, count);
    }
    if (deviceReadCalls++ % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return realRead(fd, buffer, count < 3 ? count : 3);
}

int FailingTcsetattr(int, int, const termios*) {
    errno = EIO;
    return -1;
}

ssize_t (*realWrite)(int, const void*, size_t) = nullptr;
ssize_t FailingDeviceWrite(int fd, const void* data, size_t count) {
    if (fd == deviceFd) {
        errno = EIO;
        return -1;
    }
    return realWrite(fd, data, count);
}

class UasTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PltSysReset();
        static_cast<void>(LogInit());
        LogResetForTest();
        UasResetForTest();
        EXPECT_EQ(0, UasInit());
        ASSERT_TRUE(peer.Ok());
        peer.AttachToPort(PORT);
    }
    void TearDown() override {
        UasResetForTest();
        PltSysReset();
        PtyPeer::DetachPort(PORT);
    }
    PtyPeer peer;
};

TEST_F(UasTest, BytesTravelBothWaysOverAPseudoTerminal) {
    EXPECT_EQ(0, UasOpenPortCount());
    ASSERT_EQ(0, UasOpen(PORT, 115200, 8, 1, 0));
    EXPECT_EQ(1, UasIsOpen(PORT));
    EXPECT_EQ(1, UasOpenPortCount());
    EXPECT_EQ(0, UasWriteBuffer(PORT, 3, reinterpret_cast<const std::uint8_t*>("\xC8\x40\x05")));
    EXPECT_EQ(0, UasPutChar(PORT, 0x0D));
    EXPECT_EQ((std::vector<std::uint8_t>{0xC8, 0x40, 0x05, 0x0D}), peer.Receive(4, 1000));

    std::uint8_t buffer[16];
    std::uint16_t n = 99;
    EXPECT_EQ(0, UasReadBuffer(PORT, UASC_BUFFER_SIZE, buffer, &n));
    EXPECT_EQ(0, n);
    std::uint8_t byChar = 0;
    EXPECT_EQ(UASC_NO_CHAR, UasGetChar(PORT, &byChar));

    // Raw line: CR, LF, 0x03 and 0x7F arrive unchanged and nothing is echoed.
    peer.Send({0x0D, 0x0A, 0x03, 0x7F, 0x00});
    EXPECT_EQ((std::vector<std::uint8_t>{0x0D, 0x0A, 0x03, 0x7F, 0x00}), ReadPort(5));
    EXPECT_TRUE(peer.Receive(1, 50).empty());
}

TEST_F(UasTest, HeldBytesComeOutInOrderInPiecesOfTheMaximum) {
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    peer.Send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    PltSleepMicroseconds(50000);
    std::vector<std::uint8_t> all;
    std::vector<std::uint16_t> sizes;
    std::uint8_t buffer[4];
    for (int i = 0; i < 3; ++i) {
        std::uint16_t n = 0;
        EXPECT_EQ(0, UasReadBuffer(PORT, 4, buffer, &n));
        sizes.push_back(n);
        all.insert(all.end(), buffer, buffer + n);
    }
    EXPECT_EQ((std::vector<std::uint16_t>{4, 4, 2}), sizes);
    EXPECT_EQ((std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), all);
}

// Remembers the descriptor of the device opened last.
int (*savedOpen)(const char*, int) = nullptr;
int RecordingOpen(const char* path, int flags) {
    deviceFd = savedOpen(path, flags);
    return deviceFd;
}

void RecordDeviceFd() {
    savedOpen = PltSysTable().pfOpen;
    PltSysTable().pfOpen = RecordingOpen;
}

TEST_F(UasTest, InterruptedAndShortDeviceReadsLoseNothing) {
    RecordDeviceFd();
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    realRead = PltSysTable().pfRead;
    deviceReadCalls = 0;
    PltSysTable().pfRead = ShortInterruptedRead;
    std::vector<std::uint8_t> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back(static_cast<std::uint8_t>(i * 7));
    }
    peer.Send(sent);
    EXPECT_EQ(sent, ReadPort(sent.size()));
    EXPECT_GT(deviceReadCalls, 20);
}

TEST_F(UasTest, MissingDeviceFailsWithItsNameAndLeavesThePortReusable) {
    setenv("TALVO_RC_COM2", "/dev/talvo-no-such-port", 1);
    const int before = CountOpenFds();
    EXPECT_EQ(UASC_OPEN_FAILED, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_NE(
        std::string::npos,
        LastLogRecord().find("Unable to open the communication port: /dev/talvo-no-such-port"));
    EXPECT_EQ(0, UasIsOpen(PORT));
    EXPECT_EQ(before, CountOpenFds());
    peer.AttachToPort(PORT);
    EXPECT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
}

TEST_F(UasTest, DefaultDeviceNameIsTtySOfTheIndex) {
    PtyPeer::DetachPort(3);
    char name[PLTC_DEVICE_NAME_SIZE];
    PltSerialDeviceName(3, name, sizeof name);
    EXPECT_STREQ("/dev/ttyS3", name);
    PltSerialDeviceName(0, name, sizeof name);
    EXPECT_STREQ("/dev/ttyS0", name);
    // A name given with -S<device> wins over the default, until it is forgotten again.
    ASSERT_TRUE(PltSerialSetDeviceName(0, "/dev/ttyUSB0"));
    PltSerialDeviceName(0, name, sizeof name);
    EXPECT_STREQ("/dev/ttyUSB0", name);
    ASSERT_TRUE(PltSerialSetDeviceName(0, ""));
    PltSerialDeviceName(0, name, sizeof name);
    EXPECT_STREQ("/dev/ttyS0", name);
    EXPECT_FALSE(PltSerialSetDeviceName(0, std::string(PLTC_DEVICE_NAME_SIZE, 'd').c_str()));
}

TEST_F(UasTest, FailedSettingsLeaveNothingOpen) {
    const int before = CountOpenFds();
    PltSysTable().pfTcsetattr = FailingTcsetattr;
    EXPECT_EQ(UASC_CONFIG_FAILED, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_NE(std::string::npos, LastLogRecord().find("Unable to set the IOCTL parameters for"));
    EXPECT_EQ(before, CountOpenFds());
    PltSysReset();
    EXPECT_EQ(UASC_CONFIG_FAILED, UasOpen(PORT, 12345, 8, 1, 0)); // unsupported rate
    EXPECT_EQ(before, CountOpenFds());
    EXPECT_EQ(0, UasOpen(PORT, 57600, 8, 1, 0));
}

TEST_F(UasTest, CloseEndsAnIdleWriterAtOnceWithoutSendingTheWakeUpBytes) {
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    const int open = CountOpenFds();
    const std::uint32_t start = PltGetTickCount();
    EXPECT_EQ(0, UasClose(PORT));
    EXPECT_LT(PltGetTickCount() - start, 200u);
    EXPECT_EQ(0, UasIsOpen(PORT));
    EXPECT_EQ(open - 3, CountOpenFds()); // device and both pipe ends
    EXPECT_TRUE(peer.Receive(1, 100).empty());
}

TEST_F(UasTest, WriteBufferFailsAtOnceWhenTheWriterStoppedAndThePipeIsFull) {
    RecordDeviceFd();
    realWrite = PltSysTable().pfWrite;
    PltSysTable().pfWrite = FailingDeviceWrite;
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_EQ(0, UasPutChar(PORT, 0x55)); // the writer's device write fails: it stops
    const std::uint32_t waitStart = PltGetTickCount();
    while (UasIsOpen(PORT) != 0 && PltGetTickCount() - waitStart < 1000) {
        PltSleepMicroseconds(1000);
    }
    EXPECT_EQ(0, UasIsOpen(PORT));
    std::vector<std::uint8_t> block(3000, 0xAA);
    std::uint16_t status = 0;
    const std::uint32_t start = PltGetTickCount();
    for (int i = 0; i < 100 && status == 0; ++i) {
        status = UasWriteBuffer(PORT, static_cast<std::uint16_t>(block.size()), block.data());
    }
    EXPECT_EQ(UASC_ERROR, status);
    EXPECT_LT(PltGetTickCount() - start, 500u);
    const std::uint32_t closeStart = PltGetTickCount();
    EXPECT_EQ(0, UasClose(PORT));
    EXPECT_LT(PltGetTickCount() - closeStart, 500u);
}

std::atomic<bool> lineBlocked{false};
ssize_t BlockableDeviceWrite(int fd, const void* data, size_t count) {
    if (fd == deviceFd && lineBlocked.load()) {
        errno = EAGAIN; // the line takes nothing (handshake held back)
        return -1;
    }
    return realWrite(fd, data, count);
}

TEST_F(UasTest, CloseEndsAWriterStuckOnABlockedLinePromptly) {
    RecordDeviceFd();
    realWrite = PltSysTable().pfWrite;
    PltSysTable().pfWrite = BlockableDeviceWrite;
    lineBlocked = true;
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_EQ(0, UasPutChar(PORT, 0x41));
    PltSleepMicroseconds(50000);
    const std::uint32_t start = PltGetTickCount();
    EXPECT_EQ(0, UasClose(PORT));
    EXPECT_LT(PltGetTickCount() - start, 200u);
    lineBlocked = false;
}

TEST_F(UasTest, BlockThatMissesItsTimeOutIsDroppedAndTheNextOneGoesOut) {
    RecordDeviceFd();
    realWrite = PltSysTable().pfWrite;
    PltSysTable().pfWrite = BlockableDeviceWrite;
    lineBlocked = true;
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_EQ(0, UasWriteBuffer(PORT, 2, reinterpret_cast<const std::uint8_t*>("AB")));
    PltSleepMicroseconds(1200000); // longer than one second plus the block's line time
    lineBlocked = false;
    EXPECT_EQ(1, UasIsOpen(PORT));
    EXPECT_EQ(0, UasWriteBuffer(PORT, 2, reinterpret_cast<const std::uint8_t*>("CD")));
    EXPECT_EQ((std::vector<std::uint8_t>{'C', 'D'}), peer.Receive(4, 300));
}

// A line that takes nothing (a peer that floods and never reads) used to stall every further
// write for up to 5 s, and with it the whole program. Writes now return at once: buffers are held
// back in order, then dropped whole and counted; what was taken goes out once the line moves.
TEST_F(UasTest, WriteToALineThatTakesNothingNeverWaitsAndDropsWholeBuffers) {
    RecordDeviceFd();
    realWrite = PltSysTable().pfWrite;
    PltSysTable().pfWrite = BlockableDeviceWrite;
    lineBlocked = true;
    ASSERT_EQ(0, UasOpen(PORT, 115200, 8, 1, 0));
    constexpr int kBuffers = 40;
    constexpr std::size_t kSize = 1000;
    std::vector<std::uint8_t> takenIds;
    const std::uint32_t start = PltGetTickCount();
    for (int i = 0; i < kBuffers; ++i) {
        const std::vector<std::uint8_t> block(kSize, static_cast<std::uint8_t>(i));
        if (UasWriteBuffer(PORT, kSize, block.data()) == 0) {
            takenIds.push_back(static_cast<std::uint8_t>(i));
        }
    }
    const std::size_t taken = takenIds.size();
    EXPECT_LT(PltGetTickCount() - start, 100u);
    EXPECT_GT(taken, 5u);
    EXPECT_LT(taken, static_cast<std::size_t>(kBuffers));
    EXPECT_EQ(static_cast<std::uint32_t>(kBuffers - taken), UasDroppedBuffers(PORT));
    lineBlocked = false;
    // Held-back bytes move on while the port is polled for input.
    std::vector<std::uint8_t> received;
    const std::uint32_t readStart = PltGetTickCount();
    while (received.size() < taken * kSize && PltGetTickCount() - readStart < 3000) {
        std::uint8_t buffer[16];
        std::uint16_t n = 0;
        (void)UasReadBuffer(PORT, sizeof buffer, buffer, &n);
        const std::vector<std::uint8_t> part = peer.Receive(taken * kSize - received.size(), 10);
        received.insert(received.end(), part.begin(), part.end());
    }
    ASSERT_EQ(taken * kSize, received.size());
    for (std::size_t i = 0; i < taken; ++i) {
        EXPECT_EQ(std::vector<std::uint8_t>(kSize, takenIds[i]),
                  std::vector<std::uint8_t>(received.begin() + i * kSize,
                                            received.begin() + (i + 1) * kSize))
            << i;
    }
}

TEST_F(UasTest, TerminateLeavesPortsOpenAndPurgeOfAClosedPortIsFine) {
    EXPECT_EQ(0, UasPurge(PORT));
    ASSERT_EQ(0, UasOpen(PORT, 9600, 8, 1, 0));
    EXPECT_EQ(0, UasPurge(PORT));
    EXPECT_EQ(0, UasTerminate());
    EXPECT_EQ(0, UasInit());
    EXPECT_EQ(1, UasIsOpen(PORT));
    EXPECT_EQ(0, UasPutChar(PORT, 0x41));
    EXPECT_EQ((std::vector<std::uint8_t>{0x41}), peer.Receive(1, 1000));
}

TEST_F(UasTest, OutOfRangeIndexUsesNoRecord) {
    std::uint8_t buffer[4];
    std::uint16_t n = 7;
    EXPECT_EQ(UASC_OPEN_FAILED, UasOpen(UASC_NR_OF_PORTS, 9600, 8, 1, 0));
    EXPECT_EQ(UASC_ERROR, UasWriteBuffer(200, 1, buffer));
    EXPECT_EQ(UASC_ERROR, UasReadBuffer(UASC_NR_OF_PORTS, 4, buffer, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(0, UasIsOpen(255));
    EXPECT_EQ(UASC_BAUDRATE_FAILED, UasSetBaudrate(9, 9600));
    EXPECT_EQ(0, UasClose(UASC_NR_OF_PORTS));
}

std::vector<std::string> printedChecks;
int PrintCheck(const char* pszText) {
    printedChecks.emplace_back(pszText);
    return 0;
}

TEST_F(UasTest, FailedEntryChecksAreReportedWithTheDriversOwnTextsAndFile) {
    printedChecks.clear();
    static_cast<void>(LogSetRoute(34, PrintCheck));
    EXPECT_EQ(0, UasInit());
    EXPECT_EQ(UASC_OPEN_FAILED, UasOpen(UASC_NR_OF_PORTS, 9600, 8, 1, 0));
    EXPECT_EQ(UASC_ERROR, UasPutChar(PORT, 0x41));
    const std::string file = ", file ..\\..\\..\\..\\Driver\\Uas\\UasIni.winntApp, line ";
    ASSERT_EQ(3u, printedChecks.size());
    EXPECT_EQ(0u, printedChecks[0].find("Assertion failed: !bUASInitialised" + file));
    EXPECT_EQ(0u, printedChecks[1].find("Assertion failed: byComport < NR_OF_PORTS" + file));
    EXPECT_EQ(0u, printedChecks[2].find("Assertion failed: bInUse[byComport]" + file));
}

} // namespace
