// The serial ports' tap: frames recorded as they stand on the line, cut where the receivers cut
// them, with noise, abandoned frames and leftovers at close as no-frame records.
#include "Communication/Rsm/Rsm.h"
#include "Communication/Rsm/RsmPriv.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "Runtime/Mds.h"
#include "Runtime/Trace.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"
#include "tests/support/TestOs.h"
#include "tests/support/TraceReader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using RsmRecorder::Step;

constexpr std::uint8_t PORT = 2; // COM3: the test feeds and reads it
constexpr std::uint8_t CH = MDSC_SERIAL_CHANNEL_0;
// One file per test process: ctest runs the tests of this file in parallel processes.
const std::string kPath = "talvo_rsm_trace_test_" + std::to_string(testos::ProcessId()) + ".pcap";

std::uint16_t Send(std::uint8_t type, const Bytes& data) {
    return MdsExecuteResponseHandler(CH, type, static_cast<std::uint16_t>(data.size()),
                                     data.empty() ? nullptr : data.data());
}

// A frame with its checksum (the NOT of the byte sum) appended.
Bytes WithChecksum(Bytes frame) {
    std::uint8_t bySum = 0;
    for (const std::uint8_t by : frame) {
        bySum = static_cast<std::uint8_t>(bySum + by);
    }
    frame.push_back(static_cast<std::uint8_t>(~bySum));
    return frame;
}

struct Seen {
    Bytes bytes;
    bool bNoFrame;
    bool operator==(const Seen&) const = default;
};

// The records of one direction (1 sent, 2 received), checking the port's header fields.
std::vector<Seen> Records(std::uint8_t byDir, std::uint8_t byLink) {
    std::vector<Seen> seen;
    TraceFlush();
    for (const auto& r : TraceReader::Read(kPath).records) {
        if (r.byDir == byDir) {
            EXPECT_EQ(byLink, r.byLink);
            EXPECT_EQ(CH, r.byChannel);
            EXPECT_EQ(PORT + 1, r.wEndpoint);
            seen.push_back({r.bytes, (r.byFlags & TRACEC_FLAG_NO_FRAME) != 0});
        }
    }
    return seen;
}

class RsmTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RsmRecorder::SetUp();
        RsmTraceResetForTest();
        ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    }
    void TearDown() override {
        RsmRecorder::TearDown();
        TraceClose();
        std::remove(kPath.c_str());
    }
};

TEST_F(RsmTraceTest, FullFramesAreRecordedAsOnTheLineAndNoiseApart) {
    ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    ASSERT_EQ(0, Send(3, {0xC8, 0x01}));
    const Bytes written = FakeLink::TakeOutput(PORT);
    const std::vector<Seen> sent = Records(1, 1);
    ASSERT_EQ(4u, sent.size()); // SYNC 0x80, two SYNCs 0, the data frame
    Bytes joined;
    for (const Seen& s : sent) {
        EXPECT_FALSE(s.bNoFrame);
        joined.insert(joined.end(), s.bytes.begin(), s.bytes.end());
    }
    EXPECT_EQ(written, joined);
    EXPECT_EQ(WithChecksum({0xC8, 0x24, 0x00, 0x03, 0x02, 0x00, 0xC8, 0xC8, 0x01, 0x00}),
              sent[3].bytes);

    const Bytes ack = WithChecksum({0xC8, 0x40, 0x00, 0x00});
    const Bytes data = WithChecksum({0xC8, 0x24, 0x00, 0x04, 0x02, 0x00, 0xC8, 0xC8, 0x01, 0x00});
    const Bytes broken = {0xC8, 0x24, 0x01, 0x03};
    Bytes line = {0x11, 0x22};
    line.insert(line.end(), ack.begin(), ack.end());
    line.insert(line.end(), data.begin(), data.end());
    line.insert(line.end(), broken.begin(), broken.end());
    FakeLink::SetReadChunk(3); // stuffed pairs and frame starts split across reads
    FakeLink::Inject(PORT, line);
    RsmRecorder::Pump(20);
    Step(150); // silence: the receiver gives the broken frame up
    Step(1);
    EXPECT_EQ(
        (std::vector<Seen>{{{0x11, 0x22}, true}, {ack, false}, {data, false}, {broken, true}}),
        Records(2, 1));
    ASSERT_EQ(1u, RsmRecorder::Messages().size()); // the receiver saw the same frames
}

TEST_F(RsmTraceTest, FullFrameBrokenByABadByteAfterTheSyncIsNoFrame) {
    ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_FULL, RsmRecorder::Notify));
    const Bytes ack = WithChecksum({0xC8, 0x40, 0x00, 0x00});
    Bytes line = {0xC8, 0x24, 0x00, 0x03, 0xC8, 0x55};
    line.insert(line.end(), ack.begin(), ack.end());
    FakeLink::Inject(PORT, line);
    Step();
    EXPECT_EQ((std::vector<Seen>{{{0xC8, 0x24, 0x00, 0x03, 0xC8, 0x55}, true}, {ack, false}}),
              Records(2, 1));
}

TEST_F(RsmTraceTest, SimpleFramesWrittenInPiecesAreOneRecordEach) {
    ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_SIMPLE, RsmRecorder::Notify));
    ASSERT_EQ(0, Send(3, {0x34, 0x12}));
    ASSERT_EQ(0, Send(20, {}));
    EXPECT_EQ((std::vector<Seen>{{{0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 0x68}, false},
                                 {{0x1B, 0x24, 0x0D, 0x14, 0x00, 0x00, 0x9F}, false}}),
              Records(1, 2));
    // Noise, a start that is not one (1B 1B 24 0D), the short NAK, a frame, a cut-off frame.
    FakeLink::Inject(PORT, {0x00, 0x1B, 0x1B, 0x24, 0x0D, 0x1B, 0x24, 0x0D, 0x02, 0xB1, 0x1B,
                            0x24, 0x0D, 0x14, 0x00, 0x00, 0x9F, 0x1B, 0x24, 0x0D, 0x03});
    Step();
    Step(150);
    Step(1);
    EXPECT_EQ((std::vector<Seen>{{{0x00, 0x1B, 0x1B, 0x24, 0x0D}, true},
                                 {{0x1B, 0x24, 0x0D, 0x02, 0xB1}, false},
                                 {{0x1B, 0x24, 0x0D, 0x14, 0x00, 0x00, 0x9F}, false},
                                 {{0x1B, 0x24, 0x0D, 0x03}, true}}),
              Records(2, 2));
    EXPECT_EQ(2u, RsmRecorder::Messages().size());
}

TEST_F(RsmTraceTest, TerminalLinesFramedMessagesAndTheRestAtClose) {
    ASSERT_EQ(0, RsmOpen(PORT, 9600, RSMC_PROTOCOL_TERMINAL, RsmRecorder::Notify));
    ASSERT_EQ(0, Send(7, {'O', 'K'}));
    ASSERT_EQ(0, Send(3, {0x34, 0x12}));
    EXPECT_EQ((std::vector<Seen>{{{'O', 'K'}, false},
                                 {{0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12}, false}}),
              Records(1, 3));
    FakeLink::SetReadChunk(4);
    FakeLink::Inject(
        PORT, {'A', 'B', 0x0D, 'x', 'y', 0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12, 'C', 'D'});
    RsmRecorder::Pump(10);
    ASSERT_EQ(0, RsmClose(PORT));
    EXPECT_EQ(
        (std::vector<Seen>{{{'A', 'B', 0x0D}, false},
                           {{'x', 'y', 0x1B, 0x24, 0x0D, 0x03, 0x02, 0x00, 0x34, 0x12}, false},
                           {{'C', 'D'}, true}}),
        Records(2, 3));
}

TEST_F(RsmTraceTest, WithoutACaptureTheDriverIsUntouched) {
    TraceClose();
    EXPECT_EQ(FakeLink::Ops(), &RsmDriver());
    ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    EXPECT_NE(FakeLink::Ops(), &RsmDriver());
}

} // namespace
