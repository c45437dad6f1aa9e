// The RS232 manager over the real serial port driver and pseudo-terminals: a scripted unit on
// the master side, and two managers whose lines the test bridges.
#include "Communication/Rsm/Rsm.h"

#include <gtest/gtest.h>

#include "Driver/Uas/Uas.h"
#include "Platform/PltClock.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/PtyPeer.h"
#include "tests/support/RsmRecorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using RsmRecorder::Messages;

// Runs both slots for up to dwMs real milliseconds or until the condition holds.
template <typename Condition> bool RunUntil(Condition done, std::uint32_t dwMs = 1000) {
    const std::uint32_t start = PltGetTickCount();
    while (!done() && PltGetTickCount() - start < dwMs) {
        RsmRunSlotForTest(0);
        RsmRunSlotForTest(1);
        PltSleepMicroseconds(1000);
    }
    return done();
}

class RsmPtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RsmRecorder::SetUp();
        RsmSetDriver(nullptr); // the real driver
        OssFreezeTime(0);
        UasResetForTest();
        EXPECT_EQ(0, UasInit());
        ASSERT_TRUE(unitA.Ok() && unitB.Ok());
        unitA.AttachToPort(0);
        unitB.AttachToPort(1);
    }
    void TearDown() override {
        RsmResetForTest();
        UasResetForTest();
        PtyPeer::DetachPort(0);
        PtyPeer::DetachPort(1);
        RsmRecorder::TearDown();
    }
    PtyPeer unitA;
    PtyPeer unitB;
};

TEST_F(RsmPtyTest, SimpleFramesCrossARealLine) {
    ASSERT_EQ(0, RsmOpen(0, 115200, RSMC_PROTOCOL_SIMPLE, nullptr));
    const Bytes data = {0x34, 0x12};
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 3, 2, data.data()));
    EXPECT_EQ((Bytes{0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68}),
              unitA.Receive(9, 1000));
    unitA.Send({0x1B, 0x24, 0x0D, 0x04, 0x02, 0x00, 0x78, 0x56, 0xDF});
    ASSERT_TRUE(RunUntil([] { return !Messages().empty(); }));
    EXPECT_EQ(4, Messages()[0].byType);
    EXPECT_EQ((Bytes{0x78, 0x56}), Messages()[0].data);
    EXPECT_EQ(0, RsmClose(0));
    EXPECT_EQ(0, UasIsOpen(0));
}

TEST_F(RsmPtyTest, IdleWaitWakesWhenTheLineDeliversBytes) {
    ASSERT_EQ(0, RsmOpen(0, 115200, RSMC_PROTOCOL_SIMPLE, nullptr));
    PltWaitSet set;
    RsmAddWaitHandles(set);
    ASSERT_EQ(1u, set.wCount);
    EXPECT_EQ(0, PltWaitReadable(set, 10));
    unitA.Send({0x1B, 0x24, 0x0D, 0x04, 0x02, 0x00, 0x78, 0x56, 0xDF});
    EXPECT_EQ(1, PltWaitReadable(set, 2000));
    EXPECT_EQ(0, RsmClose(0));
    set = PltWaitSet{};
    RsmAddWaitHandles(set);
    EXPECT_EQ(0u, set.wCount);
}

TEST_F(RsmPtyTest, TwoFullManagersConnectOverBridgedLines) {
    ASSERT_EQ(0, RsmOpen(0, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    ASSERT_EQ(0, RsmOpen(1, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    Bytes big(3000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 13); // 0xC8 among them
    }
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 3, 3000, big.data()));
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_1, 4, 2, big.data()));
    const bool delivered = RunUntil(
        [this] {
            // The test is the wire between the two lines.
            const Bytes ab = unitA.Receive(1 << 16, 1);
            if (!ab.empty()) {
                unitB.Send(ab);
            }
            const Bytes ba = unitB.Receive(1 << 16, 1);
            if (!ba.empty()) {
                unitA.Send(ba);
            }
            return Messages().size() >= 2 && RsmRecorder::Events().size() >= 2;
        },
        3000);
    ASSERT_TRUE(delivered);
    for (const auto& message : Messages()) {
        if (message.byType == 3) {
            EXPECT_EQ(MDSC_SERIAL_CHANNEL_1, message.byChannel);
            EXPECT_EQ(big, message.data);
        } else {
            EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, message.byChannel);
            EXPECT_EQ(Bytes(big.begin(), big.begin() + 2), message.data);
        }
    }
    EXPECT_EQ(RSMC_EVENT_ESTABLISHED, RsmRecorder::Events()[0].wEvent);
}

TEST_F(RsmPtyTest, ManagerOnTheMasterSideTalksToOneOnTheOtherSide) {
    // The unit simulator's arrangement: one end adopts the master of a pair, the other opens
    // the device path.
    PltHandle master = PLTC_INVALID_HANDLE;
    PltHandle slaveKeep = PLTC_INVALID_HANDLE;
    char path[PLTC_DEVICE_NAME_SIZE];
    ASSERT_TRUE(PltPtyOpen(&master, &slaveKeep, path, sizeof path));
    ASSERT_EQ(0, UasSetDeviceHandle(2, master));
    setenv("TALVO_RC_COM4", path, 1);
    ASSERT_EQ(0, RsmOpen(2, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    ASSERT_EQ(0, RsmOpen(3, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    const Bytes data = {0xC8, 0x00, 0xC8};
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_1, 3, 3, data.data()));
    ASSERT_TRUE(RunUntil([] { return !Messages().empty(); }));
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, Messages()[0].byChannel);
    EXPECT_EQ(data, Messages()[0].data);
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 4, 3, data.data()));
    ASSERT_TRUE(RunUntil([] { return Messages().size() >= 2; }));
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_1, Messages()[1].byChannel);
    EXPECT_EQ(0, RsmClose(2));
    EXPECT_EQ(0, RsmClose(3));
    PltHandleClose(slaveKeep);
    PtyPeer::DetachPort(3);
}

} // namespace
