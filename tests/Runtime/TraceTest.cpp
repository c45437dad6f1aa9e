// The capture file: pcap layout byte by byte, the record header, flushing per record and the
// cost-free off state.
#include "Runtime/Trace.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "tests/support/TestOs.h"
#include "tests/support/TraceReader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
// One file per test process: ctest runs the tests of this file in parallel processes.
const std::string kPath = "talvo_trace_test_" + std::to_string(testos::ProcessId()) + ".pcap";

class TraceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        TraceClose();
        std::remove(kPath.c_str());
    }
};

TEST_F(TraceTest, FileHeaderAndRecordsAreLaidOutByteByByte) {
    ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    EXPECT_TRUE(TraceActive());
    const Bytes table = {'T', 'A', 'B'};
    ASSERT_EQ(TRACEC_OK, TraceWriteTable(table));
    const Bytes frame = {0xC8, 0x40, 0x05, 0x00, 0xF2};
    TraceRecord(TraceDir::Received, TraceSource{TraceLink::Full, 33, 2}, 0, frame);
    TraceRecord(TraceDir::Sent, TraceSource{TraceLink::Oip, 45, 1}, TRACEC_FLAG_NO_FRAME,
                Bytes{0x01});

    // Readable while still open once flushed (as the programs do before they wait).
    TraceFlush();
    const TraceReader::Capture capture = TraceReader::Read(kPath);
    EXPECT_EQ((Bytes{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0,    0,    0,    0,
                     0,    0,    0,    0,    0x00, 0x00, 0x04, 0x00, 0x93, 0x00, 0x00, 0x00}),
              capture.header);
    ASSERT_TRUE(capture.bWellFormed);
    ASSERT_EQ(3u, capture.records.size());
    const auto& t = capture.records[0];
    EXPECT_EQ(1, t.byVersion);
    EXPECT_EQ(8, t.byHeaderLength);
    EXPECT_EQ(0, t.byDir);
    EXPECT_EQ(0, t.byLink);
    EXPECT_EQ(table, t.bytes);
    const auto& f = capture.records[1];
    EXPECT_EQ(2, f.byDir);
    EXPECT_EQ(1, f.byLink);
    EXPECT_EQ(0, f.byFlags);
    EXPECT_EQ(33, f.byChannel);
    EXPECT_EQ(2, f.wEndpoint);
    EXPECT_EQ(frame, f.bytes);
    EXPECT_GT(f.dwSeconds, 1600000000u); // calendar time, not the service clock
    EXPECT_LT(f.dwMicroseconds, 1000000u);
    const auto& n = capture.records[2];
    EXPECT_EQ(1, n.byDir);
    EXPECT_EQ(4, n.byLink);
    EXPECT_EQ(TRACEC_FLAG_NO_FRAME, n.byFlags);
    EXPECT_EQ(45, n.byChannel);
    EXPECT_EQ(1, n.wEndpoint);
}

TEST_F(TraceTest, NothingIsWrittenWhenClosedAndABadPathIsRefused) {
    EXPECT_FALSE(TraceActive());
    TraceRecord(TraceDir::Sent, TraceSource{}, 0, Bytes{1, 2, 3}); // no file: nothing happens
    EXPECT_EQ(TRACEC_ERROR, TraceWriteTable(Bytes{1}));
    EXPECT_EQ(TRACEC_ERROR, TraceOpen("no_such_directory/x/trace.pcap"));
    EXPECT_EQ(TRACEC_ERROR, TraceOpen(""));
    EXPECT_FALSE(TraceActive());
    ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    TraceClose();
    EXPECT_FALSE(TraceActive());
    TraceRecord(TraceDir::Sent, TraceSource{}, 0, Bytes{1, 2, 3});
    EXPECT_TRUE(TraceReader::Read(kPath).records.empty());
}

TEST_F(TraceTest, PendingBytesLeaveInPieces) {
    ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    TracePending pending;
    for (std::uint8_t by = 1; by <= 5; ++by) {
        pending.Add(by);
    }
    pending.Emit(TraceDir::Received, TraceSource{TraceLink::Simple, 32, 1}, TRACEC_FLAG_NO_FRAME,
                 2);
    EXPECT_EQ(3u, pending.Size());
    pending.Emit(TraceDir::Received, TraceSource{TraceLink::Simple, 32, 1}, 0);
    EXPECT_TRUE(pending.Empty());
    pending.Emit(TraceDir::Received, TraceSource{}, 0); // nothing left: no record
    TraceFlush();
    const TraceReader::Capture capture = TraceReader::Read(kPath);
    ASSERT_EQ(2u, capture.records.size());
    EXPECT_EQ((Bytes{1, 2}), capture.records[0].bytes);
    EXPECT_EQ((Bytes{3, 4, 5}), capture.records[1].bytes);
}

// Records that follow each other within a millisecond wait in memory; a pause of a millisecond
// or a flush writes them, so an idle program's file always holds everything.
TEST_F(TraceTest, RecordsOfABurstAreWrittenTogetherAndNoneIsLeftBehind) {
    ASSERT_EQ(TRACEC_OK, TraceOpen(kPath.c_str()));
    ASSERT_EQ(TRACEC_OK, TraceWriteTable(Bytes{'T'}));
    EXPECT_EQ(1u, TraceReader::Read(kPath).records.size()); // the table is written at once
    for (int i = 0; i < 100; ++i) {
        TraceRecord(TraceDir::Sent, TraceSource{TraceLink::Oip, 44, 0}, 0, Bytes{1, 2, 3});
    }
    const std::size_t wWritten = TraceReader::Read(kPath).records.size();
    EXPECT_LE(wWritten, 101u);
    TraceFlush();
    EXPECT_EQ(101u, TraceReader::Read(kPath).records.size());
    // Far more than the buffer holds goes out without a flush.
    const Bytes big(TRACEC_FLUSH_BYTES / 4, 0x55);
    for (int i = 0; i < 8; ++i) {
        TraceRecord(TraceDir::Received, TraceSource{TraceLink::Full, 32, 2}, 0, big);
    }
    EXPECT_GE(TraceReader::Read(kPath).records.size(), 101u + 4u);
    TraceClose();
    const TraceReader::Capture capture = TraceReader::Read(kPath);
    EXPECT_TRUE(capture.bWellFormed);
    EXPECT_EQ(109u, capture.records.size());
}

} // namespace
