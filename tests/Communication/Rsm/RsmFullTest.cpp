// The Full protocol against the in-memory link with a frozen clock: frames on the line, the
// receive state machine, retransmission, heartbeat, supervision, and two managers back to back.
#include "Communication/Rsm/Rsm.h"
#include "Communication/Rsm/RsmPriv.h"

#include <gtest/gtest.h>

#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using RsmRecorder::Messages;
using RsmRecorder::Step;

constexpr std::uint8_t TEST_PORT = 2; // talks to the test
constexpr std::uint8_t CH = MDSC_SERIAL_CHANNEL_0;

const Bytes SYNC_RESET = {0xC8, 0x3F, 0x80, 0x00, 0x78};

// A control frame as the far end sends it (pad rule included).
Bytes Control(std::uint8_t kind, std::uint8_t seq) {
    std::uint8_t sum = static_cast<std::uint8_t>(0xC8 + kind + seq);
    const std::uint8_t pad = sum == 0x37 ? 0x13 : 0x00;
    sum = static_cast<std::uint8_t>(sum + pad);
    return {0xC8, kind, seq, pad, static_cast<std::uint8_t>(~sum)};
}

// A data frame as the far end sends it: blocks of (type, data), stuffed, with the checksum.
Bytes DataFrame(std::uint8_t seq, const std::vector<std::pair<std::uint8_t, Bytes>>& blocks,
                bool badChecksum = false) {
    Bytes out = {0xC8, 0x24, seq};
    auto put = [&out](std::uint8_t b, bool stuff) {
        out.push_back(b);
        if (stuff && b == 0xC8) {
            out.push_back(b);
        }
    };
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& [type, data] = blocks[i];
        put(type, false);
        put(static_cast<std::uint8_t>(data.size() & 0xFF), true);
        put(static_cast<std::uint8_t>(data.size() >> 8), false);
        for (const auto b : data) {
            put(b, true);
        }
        if (i + 1 < blocks.size()) {
            put(0x01, false);
        }
    }
    std::uint8_t sum = 0;
    for (const auto b : out) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    const std::uint8_t last = sum == 0x37 ? 0x13 : 0x00;
    out.push_back(last);
    sum = static_cast<std::uint8_t>(sum + last);
    out.push_back(static_cast<std::uint8_t>(~sum + (badChecksum ? 1 : 0)));
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes Preamble(std::uint8_t seq) {
    return Concat({SYNC_RESET, Control(0x3F, seq), Control(0x3F, seq)});
}

std::uint16_t Send(std::uint8_t channel, std::uint8_t type, const Bytes& data) {
    return MdsExecuteResponseHandler(channel, type, static_cast<std::uint16_t>(data.size()),
                                     data.empty() ? nullptr : data.data());
}

int CountWarnings(const std::string& text) {
    int n = 0;
    for (const auto& record : RsmRecorder::LogRecords()) {
        n += record.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

class RsmFullTest : public ::testing::Test {
  protected:
    void SetUp() override { RsmRecorder::SetUp(); }
    void TearDown() override { RsmRecorder::TearDown(); }
    void OpenTestPort(std::uint32_t baud = 115200) {
        ASSERT_EQ(0, RsmOpen(TEST_PORT, baud, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    }
    void OpenBackToBack() {
        ASSERT_EQ(0, RsmOpen(0, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
        ASSERT_EQ(0, RsmOpen(1, 115200, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    }
};

TEST_F(RsmFullTest, DataFramesGoOutExactlyAsOnTheLine) {
    OpenTestPort();
    EXPECT_EQ(0, Send(CH, 3, {0x34, 0x12}));
    EXPECT_EQ(Concat({Preamble(0), {0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0x34, 0x12, 0x13, 0xB5}}),
              FakeLink::TakeOutput(TEST_PORT));
    FakeLink::Inject(TEST_PORT, {0xC8, 0x40, 0x00, 0x00, 0xF7});
    Step();
    EXPECT_EQ(0, Send(CH, 3, {0xC8, 0x01}));
    EXPECT_EQ(
        Concat({Preamble(1), {0xC8, 0x24, 0x01, 0x03, 0x02, 0x00, 0xC8, 0xC8, 0x01, 0x00, 0x7C}}),
        FakeLink::TakeOutput(TEST_PORT));

    // Packing: both messages wait behind frame 1 and share frame 2.
    RsmCommParams params{5, 2, 2, 1};
    EXPECT_EQ(0, RsmSetCommunicationParams(TEST_PORT, &params));
    EXPECT_EQ(0, Send(CH, 3, {0x34, 0x12}));
    EXPECT_EQ(0, Send(CH, 20, {}));
    EXPECT_TRUE(FakeLink::TakeOutput(TEST_PORT).empty());
    FakeLink::Inject(TEST_PORT, Control(0x40, 1));
    Step();
    EXPECT_EQ(Concat({Preamble(2),
                      {0xC8, 0x24, 0x02, 0x03, 0x02, 0x00, 0x34, 0x12, 0x01, 0x14, 0x00, 0x00, 0x00,
                       0xB1}}),
              FakeLink::TakeOutput(TEST_PORT));
}

TEST_F(RsmFullTest, AcknowledgementsFollowThePadRule) {
    OpenTestPort();
    FakeLink::Inject(TEST_PORT, DataFrame(5, {{3, {0x34, 0x12}}}));
    Step();
    EXPECT_EQ((Bytes{0xC8, 0x40, 0x05, 0x00, 0xF2}), FakeLink::TakeOutput(TEST_PORT));
    FakeLink::Inject(TEST_PORT, DataFrame(0x2F, {{3, {0x34, 0x12}}}));
    Step();
    EXPECT_EQ((Bytes{0xC8, 0x40, 0x2F, 0x13, 0xB5}), FakeLink::TakeOutput(TEST_PORT));
    EXPECT_EQ(2u, Messages().size());
}

TEST_F(RsmFullTest, ReceivedFramesAreUnstuffedAndSplitIntoTheirBlocks) {
    OpenTestPort();
    FakeLink::SetReadChunk(1); // every byte in a task run of its own
    FakeLink::Inject(TEST_PORT, {0xC8, 0x24, 0x01, 0x03, 0x02, 0x00, 0xC8, 0xC8, 0x01, 0x00, 0x7C});
    FakeLink::Inject(TEST_PORT, {0xC8, 0x24, 0x02, 0x03, 0x02, 0x00, 0x34, 0x12, 0x01, 0x14, 0x00,
                                 0x00, 0x00, 0xB1});
    RsmRecorder::Pump(40);
    ASSERT_EQ(3u, Messages().size());
    EXPECT_EQ(CH, Messages()[0].byChannel);
    EXPECT_EQ((Bytes{0xC8, 0x01}), Messages()[0].data);
    EXPECT_EQ(3, Messages()[1].byType);
    EXPECT_EQ((Bytes{0x34, 0x12}), Messages()[1].data);
    EXPECT_EQ(20, Messages()[2].byType);
    EXPECT_TRUE(Messages()[2].data.empty());
    EXPECT_EQ(Concat({Control(0x40, 1), Control(0x40, 2)}), FakeLink::TakeOutput(TEST_PORT));
}

TEST_F(RsmFullTest, MessageOf200BytesHasItsLengthLowByteDoubled) {
    OpenTestPort();
    Bytes data(200, 0x55);
    EXPECT_EQ(0, Send(CH, 3, data));
    const Bytes out = FakeLink::TakeOutput(TEST_PORT);
    ASSERT_GT(out.size(), 21u);
    EXPECT_EQ((Bytes{0xC8, 0x24, 0x00, 0x03, 0xC8, 0xC8, 0x00, 0x55}),
              Bytes(out.begin() + 15, out.begin() + 23));
    EXPECT_EQ(15u + 3 + 4 + 200 + 2, out.size());
}

TEST_F(RsmFullTest, LengthAndQueueLimits) {
    OpenTestPort();
    EXPECT_EQ(0, Send(CH, 3, Bytes(4999, 1)));
    EXPECT_EQ(RSMC_FULL_TOO_LONG, Send(CH, 3, Bytes(5000, 1)));
    for (int i = 1; i < 256; ++i) {
        ASSERT_EQ(0, Send(CH, 3, {static_cast<std::uint8_t>(i)}));
    }
    EXPECT_EQ(RSMC_FULL_QUEUE_FULL, Send(CH, 3, {0}));
}

TEST_F(RsmFullTest, SilentRemoteGetsThreeSendsThenMessageLostAndTheNextFrame) {
    OpenTestPort();
    Send(CH, 3, {0x34, 0x12});
    Send(CH, 4, {0x01});
    const Bytes first = {0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0x34, 0x12, 0x13, 0xB5};
    EXPECT_EQ(Concat({Preamble(0), first}), FakeLink::TakeOutput(TEST_PORT));
    Step(2000);
    EXPECT_TRUE(FakeLink::TakeOutput(TEST_PORT).empty()); // not yet past the deadline
    Step(1);
    EXPECT_EQ(Concat({Control(0x3F, 0), first}), FakeLink::TakeOutput(TEST_PORT));
    Step(2001);
    EXPECT_EQ(Concat({Control(0x3F, 0), first}), FakeLink::TakeOutput(TEST_PORT));
    EXPECT_TRUE(RsmRecorder::Events().empty());
    Step(2001);
    ASSERT_EQ(1u, RsmRecorder::Events().size());
    EXPECT_EQ(RSMC_EVENT_MSG_LOST, RsmRecorder::Events()[0].wEvent);
    EXPECT_EQ(CH, RsmRecorder::Events()[0].byChannel);
    const Bytes out = FakeLink::TakeOutput(TEST_PORT);
    ASSERT_GE(out.size(), 15u + 3);
    EXPECT_EQ(Preamble(1), Bytes(out.begin(), out.begin() + 15));
    EXPECT_EQ(0x01, out[17]); // the next frame, sequence 1
    EXPECT_EQ(3, CountWarnings("ACK message not received in time. Retransmitting!"));
    EXPECT_EQ(3, FakeLink::PurgeCount(TEST_PORT));
    RsmStatistics stats;
    EXPECT_EQ(0, RsmGetStatistics(TEST_PORT, &stats));
    EXPECT_EQ(2, stats.wRetries);
    EXPECT_EQ(1, stats.wMsgLosts);
}

TEST_F(RsmFullTest, NakOfAnySequenceRetransmitsTheOldestFrame) {
    OpenTestPort();
    Send(CH, 3, {0x34, 0x12});
    FakeLink::TakeOutput(TEST_PORT);
    FakeLink::Inject(TEST_PORT, Control(0x23, 77));
    Step();
    EXPECT_EQ(
        Concat({Control(0x3F, 0), {0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0x34, 0x12, 0x13, 0xB5}}),
        FakeLink::TakeOutput(TEST_PORT));
    RsmStatistics stats;
    EXPECT_EQ(0, RsmGetStatistics(TEST_PORT, &stats));
    EXPECT_EQ(1, stats.wNackReceived);
    EXPECT_EQ(1, stats.wRetries);
}

TEST_F(RsmFullTest, RepeatedFrameIsAcknowledgedAgainButDeliveredOnce) {
    OpenTestPort();
    const Bytes frame = DataFrame(0, {{3, {0x34, 0x12}}});
    FakeLink::Inject(TEST_PORT, frame);
    Step();
    FakeLink::Inject(TEST_PORT, frame);
    Step();
    EXPECT_EQ(1u, Messages().size());
    EXPECT_EQ(Concat({Control(0x40, 0), Control(0x40, 0)}), FakeLink::TakeOutput(TEST_PORT));

    // A SYNC moves the expected sequence back: the duplicate check holds the frame back.
    FakeLink::Inject(TEST_PORT, Control(0x3F, 0));
    Step();
    FakeLink::Inject(TEST_PORT, frame);
    Step();
    EXPECT_EQ(1u, Messages().size());
    EXPECT_TRUE(RsmRecorder::LogContains("Discarding data package"));
    // A reset request clears the last delivered sequence: a new frame of that sequence goes up.
    FakeLink::TakeOutput(TEST_PORT);
    FakeLink::Inject(TEST_PORT, SYNC_RESET);
    Step();
    EXPECT_EQ(Concat({Control(0x3F, 0), Control(0x3F, 0)}), FakeLink::TakeOutput(TEST_PORT));
    FakeLink::Inject(TEST_PORT, Control(0x3F, 0));
    FakeLink::Inject(TEST_PORT, DataFrame(0, {{3, {0x35, 0x12}}}));
    Step();
    EXPECT_EQ(2u, Messages().size());
}

// The connecting side sends its reset request after its first data frame (in answer to the
// receiver's SYNCs). When the ACK of that frame is lost, its retransmission follows the reset and
// used to be delivered a second time: the unit executed a call twice.
TEST_F(RsmFullTest, RetransmissionAfterTheStartUpResetIsDeliveredOnce) {
    OpenTestPort();
    const Bytes frame = DataFrame(0, {{3, {0x34, 0x12}}});
    FakeLink::Inject(TEST_PORT, Concat({Preamble(0), frame}));
    Step();
    ASSERT_EQ(1u, Messages().size());
    FakeLink::Inject(TEST_PORT, Concat({SYNC_RESET, Control(0x3F, 0), Control(0x3F, 0)}));
    Step(2000);
    // No ACK arrived: the peer sends SYNC 0 and the frame again, and once more later.
    for (int i = 0; i < 2; ++i) {
        FakeLink::TakeOutput(TEST_PORT);
        FakeLink::Inject(TEST_PORT, Concat({Control(0x3F, 0), frame}));
        Step(2000);
        EXPECT_EQ(1u, Messages().size()) << i;
        const Bytes output = FakeLink::TakeOutput(TEST_PORT); // acknowledged again
        ASSERT_GE(output.size(), 5u);
        EXPECT_EQ(Control(0x40, 0), Bytes(output.begin(), output.begin() + 5)) << i;
    }
    // A frame of the same sequence with other content is new; so is the same frame right after a
    // reset request (a peer that starts over sends both in one go), and a retransmission of it
    // once the peer can no longer be retrying it.
    FakeLink::Inject(TEST_PORT, Concat({SYNC_RESET, Control(0x3F, 0), DataFrame(0, {{3, {1}}})}));
    Step();
    ASSERT_EQ(2u, Messages().size());
    FakeLink::Inject(TEST_PORT, Concat({Preamble(0), frame}));
    Step();
    EXPECT_EQ(3u, Messages().size());
    FakeLink::Inject(TEST_PORT, Concat({Preamble(0), frame})); // started over once more
    Step();
    EXPECT_EQ(4u, Messages().size());
    FakeLink::Inject(TEST_PORT, Concat({SYNC_RESET, Control(0x3F, 0), Control(0x3F, 0)}));
    Step();
    FakeLink::Inject(TEST_PORT, Concat({Control(0x3F, 0), frame}));
    Step(6900); // (2 retries + 1) x (2 s + its line time) + 1 s after the delivery: held back
    EXPECT_EQ(4u, Messages().size());
    FakeLink::Inject(TEST_PORT, Concat({SYNC_RESET, Control(0x3F, 0), Control(0x3F, 0)}));
    Step();
    FakeLink::Inject(TEST_PORT, Concat({Control(0x3F, 0), frame}));
    Step(1200);
    EXPECT_EQ(5u, Messages().size());
}

TEST_F(RsmFullTest, BadFramesAreAnsweredWithNak) {
    OpenTestPort();
    FakeLink::Inject(TEST_PORT, DataFrame(9, {{3, {0x34, 0x12}}}, true));
    Step();
    EXPECT_EQ(Control(0x23, 9), FakeLink::TakeOutput(TEST_PORT));
    FakeLink::Inject(TEST_PORT, {0xC8, 0x55});
    Step();
    EXPECT_EQ(Control(0x23, 0), FakeLink::TakeOutput(TEST_PORT));
    FakeLink::Inject(TEST_PORT, {0xC8, 0x24, 0x04, 0x03, 0x88, 0x13}); // length 5000
    Step();
    EXPECT_EQ(Control(0x23, 4), FakeLink::TakeOutput(TEST_PORT));
    // Broken off: more than 100 ms without a byte.
    FakeLink::Inject(TEST_PORT, {0xC8, 0x24, 0x07, 0x03});
    Step();
    Step(100);
    EXPECT_TRUE(FakeLink::TakeOutput(TEST_PORT).empty());
    Step(1);
    EXPECT_EQ(Control(0x23, 7), FakeLink::TakeOutput(TEST_PORT));
    EXPECT_TRUE(Messages().empty());
    RsmStatistics stats;
    EXPECT_EQ(0, RsmGetStatistics(TEST_PORT, &stats));
    EXPECT_EQ(1, stats.wInvalidChecksums);
    EXPECT_EQ(1, stats.wInvalidFrameLength);
    EXPECT_EQ(1, stats.wTimeouts);
    EXPECT_EQ(0, RsmGetStatistics(TEST_PORT, &stats));
    EXPECT_EQ(0, stats.wInvalidChecksums + stats.wInvalidFrameLength + stats.wTimeouts);
}

TEST_F(RsmFullTest, TwoManagersBackToBackConnectAndExchangeMessages) {
    OpenBackToBack();
    EXPECT_EQ(0, Send(MDSC_SERIAL_CHANNEL_0, 3, {0x34, 0x12}));
    RsmRecorder::Pump(5);
    ASSERT_EQ(1u, Messages().size());
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_1, Messages()[0].byChannel);
    EXPECT_EQ((Bytes{0x34, 0x12}), Messages()[0].data);
    ASSERT_EQ(2u, RsmRecorder::Events().size());
    EXPECT_EQ(RSMC_EVENT_ESTABLISHED, RsmRecorder::Events()[0].wEvent);
    EXPECT_EQ(RSMC_EVENT_ESTABLISHED, RsmRecorder::Events()[1].wEvent);
    EXPECT_NE(RsmRecorder::Events()[0].byChannel, RsmRecorder::Events()[1].byChannel);

    EXPECT_EQ(0, Send(MDSC_SERIAL_CHANNEL_1, 4, Bytes(300, 0xC8)));
    EXPECT_EQ(0, Send(MDSC_SERIAL_CHANNEL_0, 5, {}));
    RsmRecorder::Pump(5);
    ASSERT_EQ(3u, Messages().size());
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, Messages()[1].byChannel);
    EXPECT_EQ(Bytes(300, 0xC8), Messages()[1].data);
    EXPECT_EQ(5, Messages()[2].byType);

    // Heartbeats keep a quiet connection up.
    for (int i = 0; i < 30; ++i) {
        Step(1000);
    }
    EXPECT_EQ(2u, RsmRecorder::Events().size());
    // A cut line is noticed after twice the heartbeat time, on both sides.
    FakeLink::SetCutLink(true);
    for (int i = 0; i < 10; ++i) {
        Step(1000);
    }
    EXPECT_EQ(2u, RsmRecorder::Events().size());
    Step(1001);
    ASSERT_EQ(4u, RsmRecorder::Events().size());
    EXPECT_EQ(RSMC_EVENT_LOST, RsmRecorder::Events()[2].wEvent);
    EXPECT_EQ(RSMC_EVENT_LOST, RsmRecorder::Events()[3].wEvent);
    RsmStatistics stats;
    EXPECT_EQ(0, RsmGetStatistics(0, &stats));
    EXPECT_EQ(1, stats.wCommLosts);
}

TEST_F(RsmFullTest, HeartbeatTimeZeroNeverDeclaresTheConnectionLost) {
    OpenBackToBack();
    RsmCommParams params{0, 2, 2, 0};
    EXPECT_EQ(0, RsmSetCommunicationParams(0, &params));
    EXPECT_EQ(0, RsmSetCommunicationParams(1, &params));
    Send(MDSC_SERIAL_CHANNEL_0, 3, {1});
    RsmRecorder::Pump(5);
    ASSERT_EQ(2u, RsmRecorder::Events().size());
    FakeLink::SetCutLink(true);
    for (int i = 0; i < 60; ++i) {
        Step(1000);
    }
    EXPECT_EQ(2u, RsmRecorder::Events().size());
}

TEST_F(RsmFullTest, StrayAckWithNoMessageOutstandingIsIgnored) {
    OpenTestPort();
    FakeLink::Inject(TEST_PORT, Control(0x40, 0));
    Step();
    FakeLink::Inject(TEST_PORT, Control(0x40, 0));
    Step();
    // The queue is still empty: the next message is the only one and goes out at once.
    EXPECT_EQ(0, Send(CH, 3, {0x34, 0x12}));
    EXPECT_EQ(Concat({Preamble(0), {0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0x34, 0x12, 0x13, 0xB5}}),
              FakeLink::TakeOutput(TEST_PORT));
}

TEST_F(RsmFullTest, FrameLongerThanTheBufferIsDroppedWithoutWritingPastIt) {
    OpenTestPort();
    std::vector<std::pair<std::uint8_t, Bytes>> blocks;
    for (int i = 0; i < 14; ++i) {
        blocks.push_back({3, Bytes(4999, 0x11)}); // 70000 bytes in all
    }
    FakeLink::Inject(TEST_PORT, DataFrame(3, blocks));
    RsmRecorder::Pump(30); // 3500 bytes per task run
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(Control(0x23, 3), FakeLink::TakeOutput(TEST_PORT));
    // The receiver is usable again.
    FakeLink::Inject(TEST_PORT, DataFrame(3, {{3, {1}}}));
    Step();
    EXPECT_EQ(1u, Messages().size());
}

TEST_F(RsmFullTest, LoggingTheFirstWordOfAShortBlockNeverReadsPastIt) {
    OpenTestPort();
    RsmRecorder::SetHandlerResult(5);
    FakeLink::Inject(TEST_PORT, DataFrame(0, {{3, {0x41}}, {4, {}}, {5, {0x12, 0x34, 0x56}}}));
    Step();
    EXPECT_EQ(3u, Messages().size()); // every block still delivered
    EXPECT_TRUE(RsmRecorder::LogContains("Type=3, buflen=1, FirstWord=0x4100"));
    EXPECT_TRUE(RsmRecorder::LogContains("Type=4, buflen=0, FirstWord=0x0000"));
    EXPECT_TRUE(RsmRecorder::LogContains("Type=5, buflen=3, FirstWord=0x1234"));
}

void CloseOnEvent(std::uint16_t wEvent, std::uint8_t byChannel) {
    RsmRecorder::Notify(wEvent, byChannel);
    EXPECT_EQ(0, RsmClose(TEST_PORT));
}

TEST_F(RsmFullTest, CallbackClosingThePortOnMessageLostIsSafe) {
    ASSERT_EQ(0, RsmOpen(TEST_PORT, 115200, RSMC_PROTOCOL_FULL, CloseOnEvent));
    Send(CH, 3, {1});
    Send(CH, 3, {2});
    for (int i = 0; i < 3; ++i) {
        Step(2001);
    }
    FakeLink::TakeOutput(TEST_PORT);
    EXPECT_EQ(1u, RsmRecorder::Events().size());
    EXPECT_EQ(RSMC_ERROR, RsmGetStatistics(TEST_PORT, nullptr));
    Step(2001);
    EXPECT_TRUE(FakeLink::TakeOutput(TEST_PORT).empty());
    // A new open starts clean.
    ASSERT_EQ(0, RsmOpen(TEST_PORT, 115200, RSMC_PROTOCOL_FULL, nullptr));
    Send(CH, 3, {0x34, 0x12});
    EXPECT_EQ(Concat({Preamble(0), {0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0x34, 0x12, 0x13, 0xB5}}),
              FakeLink::TakeOutput(TEST_PORT));
}

std::uint16_t CloseOnDelivery(std::uint8_t, std::uint8_t, std::uint16_t, const std::uint8_t*) {
    EXPECT_EQ(0, RsmClose(TEST_PORT));
    return 0;
}

TEST_F(RsmFullTest, HandlerClosingThePortDuringDeliveryIsSafe) {
    OpenTestPort();
    static_cast<void>(MdsRegisterMsgHandler(9, CloseOnDelivery));
    FakeLink::Inject(
        TEST_PORT, Concat({DataFrame(0, {{9, Bytes(50, 7)}, {3, {1}}}), DataFrame(1, {{3, {2}}})}));
    Step();
    EXPECT_TRUE(Messages().empty()); // nothing after the close
    EXPECT_FALSE(FakeLink::IsOpen(TEST_PORT));
}

TEST_F(RsmFullTest, CloseDropsAHalfReceivedFrame) {
    OpenTestPort();
    const Bytes frame = DataFrame(0, {{3, Bytes(20, 0x33)}});
    FakeLink::Inject(TEST_PORT, Bytes(frame.begin(), frame.begin() + 10));
    Step();
    EXPECT_EQ(0, RsmClose(TEST_PORT));
    OpenTestPort();
    FakeLink::Inject(TEST_PORT, Bytes(frame.begin() + 10, frame.end()));
    Step();
    EXPECT_TRUE(Messages().empty());
    FakeLink::Inject(TEST_PORT, frame);
    Step();
    EXPECT_EQ(1u, Messages().size());
}

} // namespace

// A message handler that takes time moves the clock on while the frame is handled, so the frame's
// reception is stamped after the step's own clock reading. That must not read as a silence of
// nearly 2^32 ms: it reset a busy connection and dropped the calls queued on it.
TEST_F(RsmFullTest, ReceptionStampedDuringTheStepIsNotReadAsSilence) {
    OpenBackToBack();
    EXPECT_EQ(0, Send(MDSC_SERIAL_CHANNEL_0, 3, {0x34, 0x12}));
    RsmRecorder::Pump(5);
    ASSERT_EQ(2u, RsmRecorder::Events().size());
    static_cast<void>(MdsRegisterMsgHandler(
        3, [](std::uint8_t, std::uint8_t, std::uint16_t, const std::uint8_t*) {
            OssAdvanceTime(5);
            return std::uint16_t{0};
        }));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(0, Send(MDSC_SERIAL_CHANNEL_0, 3, {static_cast<std::uint8_t>(i)}));
        RsmRecorder::Pump(5);
    }
    EXPECT_EQ(2u, RsmRecorder::Events().size()) << "the connection was declared lost";
}
