// The Simple and Terminal protocols against the in-memory link.
#include "Communication/Rsm/Rsm.h"
#include "Communication/Rsm/RsmPriv.h"

#include <gtest/gtest.h>

#include "Runtime/Mds.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using RsmRecorder::Messages;
using RsmRecorder::Step;

constexpr std::uint8_t PORT = 2;
constexpr std::uint8_t CH = MDSC_SERIAL_CHANNEL_0;
const Bytes NAK_MESSAGE = {0x1B, 0x24, 0x0D, 0x02, 0x00, 0x00, 0xB1};

std::uint16_t Send(std::uint8_t type, const Bytes& data) {
    return MdsExecuteResponseHandler(CH, type, static_cast<std::uint16_t>(data.size()),
                                     data.empty() ? nullptr : data.data());
}

class RsmSimpleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RsmRecorder::SetUp();
        ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_SIMPLE, RsmRecorder::Notify));
    }
    void TearDown() override { RsmRecorder::TearDown(); }
};

TEST_F(RsmSimpleTest, FramesGoOutAndComeInAsGiven) {
    EXPECT_EQ(0, Send(3, {0x34, 0x12}));
    EXPECT_EQ((Bytes{0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68}),
              FakeLink::TakeOutput(PORT));
    FakeLink::SetReadChunk(2);
    FakeLink::Inject(PORT, {0x00, 0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68});
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x14, 0x00, 0x00, 0x9F});
    RsmRecorder::Pump(10);
    ASSERT_EQ(2u, Messages().size());
    EXPECT_EQ(3, Messages()[0].byType);
    EXPECT_EQ((Bytes{0x34, 0x12}), Messages()[0].data);
    EXPECT_EQ(20, Messages()[1].byType);
    EXPECT_TRUE(Messages()[1].data.empty());
    EXPECT_TRUE(FakeLink::TakeOutput(PORT).empty());
    EXPECT_TRUE(RsmRecorder::Events().empty());
}

TEST_F(RsmSimpleTest, BadChecksumAndTooLongAreAnsweredWithTheNakMessage) {
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x69});
    Step();
    EXPECT_EQ(NAK_MESSAGE, FakeLink::TakeOutput(PORT));
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x03, 0x88, 0x13});
    Step();
    EXPECT_EQ(NAK_MESSAGE, FakeLink::TakeOutput(PORT));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RsmSimpleTest, BothNakFormsGoUpAsType2) {
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x02, 0xB1});
    FakeLink::Inject(PORT, NAK_MESSAGE);
    Step();
    ASSERT_EQ(2u, Messages().size());
    EXPECT_EQ(2, Messages()[0].byType);
    EXPECT_EQ(2, Messages()[1].byType);
    EXPECT_TRUE(FakeLink::TakeOutput(PORT).empty());
}

TEST_F(RsmSimpleTest, BrokenStartSequencesAreSkipped) {
    FakeLink::Inject(PORT, {0x1B, 0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68});
    Step();
    EXPECT_TRUE(Messages().empty());
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68});
    Step();
    EXPECT_EQ(1u, Messages().size());
}

TEST_F(RsmSimpleTest, FrameBrokenOffAfterItsReturnIsGivenUpWithNakAfter100Ms) {
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x03});
    Step();
    Step(100);
    EXPECT_TRUE(FakeLink::TakeOutput(PORT).empty());
    Step(1);
    EXPECT_EQ(NAK_MESSAGE, FakeLink::TakeOutput(PORT));
    FakeLink::Inject(PORT, {0x1B, 0x24});
    Step();
    Step(101);
    EXPECT_TRUE(FakeLink::TakeOutput(PORT).empty()); // before the 0x0D: silently
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x14, 0x00, 0x00, 0x9F});
    Step();
    EXPECT_EQ(1u, Messages().size());
}

class RsmTerminalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RsmRecorder::SetUp();
        ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_TERMINAL, nullptr));
    }
    void TearDown() override { RsmRecorder::TearDown(); }
};

TEST_F(RsmTerminalTest, ResponsesGoOutAsTextAndOtherMessagesFramed) {
    EXPECT_EQ(0, Send(7, {0x4F, 0x4B}));
    EXPECT_EQ((Bytes{0x4F, 0x4B}), FakeLink::TakeOutput(PORT));
    EXPECT_EQ(0, Send(3, {0x34, 0x12}));
    EXPECT_EQ((Bytes{0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12}), FakeLink::TakeOutput(PORT));
}

TEST_F(RsmTerminalTest, LinesWithBackspaceGoUpAsTerminalRequests) {
    FakeLink::Inject(PORT, {0x41, 0x42, 0x08, 0x43, 0x0D, 0x0D, 0x08, 0x0A, 0x0D});
    Step();
    ASSERT_EQ(3u, Messages().size());
    EXPECT_EQ(MDSC_MSG_TERMINAL_REQUEST, Messages()[0].byType);
    EXPECT_EQ((Bytes{0x41, 0x43}), Messages()[0].data);
    EXPECT_TRUE(Messages()[1].data.empty());
    EXPECT_EQ((Bytes{0x0A}), Messages()[2].data);
    EXPECT_EQ(0, RsmSetCameraControlMode(PORT, 1));
    FakeLink::Inject(PORT, {0x5A, 0x0D});
    Step();
    EXPECT_EQ(MDSC_MSG_CAMERA_REQUEST, Messages().back().byType);
}

TEST_F(RsmTerminalTest, LongLinesKeepTheirFirst199Characters) {
    Bytes line;
    for (int i = 0; i < 200; ++i) {
        line.push_back(static_cast<std::uint8_t>('A' + i % 26));
    }
    Bytes input = line;
    input.push_back(0x0D);
    FakeLink::Inject(PORT, input);
    Step();
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(Bytes(line.begin(), line.begin() + 199), Messages()[0].data);
}

TEST_F(RsmTerminalTest, FramedMessageAfterTextIsDeliveredWithoutTheText) {
    FakeLink::SetReadChunk(3);
    FakeLink::Inject(PORT, {0x78, 0x79, 0x7A, 0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12});
    RsmRecorder::Pump(5);
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(3, Messages()[0].byType);
    EXPECT_EQ((Bytes{0x34, 0x12}), Messages()[0].data);
    FakeLink::Inject(PORT, {0x51, 0x0D});
    RsmRecorder::Pump(2);
    EXPECT_EQ((Bytes{0x51}), Messages().back().data);
}

TEST_F(RsmTerminalTest, FramedHeaderWithLengthZeroIsDeliveredAtOnceAndTextResumes) {
    FakeLink::Inject(PORT, {0x1B, 0x24, 0x0D, 0x14, 0x00, 0x00, 0x48, 0x49, 0x0D});
    Step();
    ASSERT_EQ(2u, Messages().size());
    EXPECT_EQ(20, Messages()[0].byType);
    EXPECT_TRUE(Messages()[0].data.empty());
    EXPECT_EQ(MDSC_MSG_TERMINAL_REQUEST, Messages()[1].byType);
    EXPECT_EQ((Bytes{0x48, 0x49}), Messages()[1].data);
}

} // namespace
