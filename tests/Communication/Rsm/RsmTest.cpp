// The RS232 manager's slots, refusals, parameters, statistics and COMMUNICATION_PARAMS answers.
#include "Communication/Rsm/Rsm.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Runtime/Mds.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// A data frame with one message block of a length below 0xC8 and no 0xC8 byte in it.
Bytes PlainFrame(std::uint8_t seq, std::uint8_t type, const Bytes& data) {
    Bytes out = {0xC8, 0x24, seq, type, static_cast<std::uint8_t>(data.size()), 0x00};
    for (const std::uint8_t byData : data) { // (insert() trips a false array-bounds warning at -O2)
        out.push_back(byData);
    }
    std::uint8_t sum = 0;
    for (auto b : out) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    const std::uint8_t last = sum == 0x37 ? 0x13 : 0;
    out.push_back(last);
    out.push_back(static_cast<std::uint8_t>(~(sum + last)));
    return out;
}

class RsmTest : public ::testing::Test {
  protected:
    void SetUp() override { RsmRecorder::SetUp(); }
    void TearDown() override { RsmRecorder::TearDown(); }
};

TEST_F(RsmTest, SlotsChannelsAndRefusals) {
    EXPECT_EQ(0, RsmOpen(3, 9600, RSMC_PROTOCOL_FULL, nullptr));
    std::uint8_t channel = 0;
    EXPECT_EQ(0, RsmGetChannelId(3, &channel));
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, channel); // the first slot, whatever the port index
    EXPECT_EQ(RSMC_ERROR, RsmOpen(3, 9600, RSMC_PROTOCOL_FULL, nullptr));
    EXPECT_TRUE(RsmRecorder::LogContains("Port already open"));
    EXPECT_EQ(0, RsmOpen(2, 9600, RSMC_PROTOCOL_SIMPLE, nullptr));
    EXPECT_EQ(RSMC_ERROR, RsmOpen(1, 9600, RSMC_PROTOCOL_SIMPLE, nullptr));
    EXPECT_TRUE(RsmRecorder::LogContains("To many open ports"));
    EXPECT_FALSE(FakeLink::IsOpen(1));
    EXPECT_EQ(2, RsmOpenPortCount());
    std::uint8_t comport = 9;
    EXPECT_EQ(0, RsmGetComport(1, &comport));
    EXPECT_EQ(2, comport);
    EXPECT_EQ(RSMC_ERROR, RsmGetComport(2, &comport));

    EXPECT_EQ(0, RsmClose(3));
    EXPECT_EQ(RSMC_ERROR, RsmGetComport(0, &comport));
    EXPECT_EQ(1, RsmOpenPortCount());
    EXPECT_EQ(MDSC_ERROR, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 3, 0, nullptr));
    EXPECT_EQ(0, RsmOpen(0, 9600, RSMC_PROTOCOL_TERMINAL_ALT, nullptr));
    EXPECT_EQ(0, RsmGetChannelId(0, &channel));
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, channel);
    std::uint16_t protocol = 9;
    EXPECT_EQ(0, RsmGetProtocolType(0, &protocol));
    EXPECT_EQ(RSMC_PROTOCOL_TERMINAL_ALT, protocol);
    // Protocol 3 is the Terminal protocol: type 7 goes out as bare text.
    EXPECT_EQ(0, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 7, 2,
                                           reinterpret_cast<const std::uint8_t*>("OK")));
}

TEST_F(RsmTest, OperationsOnAPortNotOpenSayPortNotOpen) {
    RsmStatistics stats;
    RsmCommParams params;
    std::uint8_t channel = 0;
    EXPECT_EQ(RSMC_ERROR, RsmClose(0));
    EXPECT_EQ(RSMC_ERROR, RsmGetStatistics(0, &stats));
    EXPECT_EQ(RSMC_ERROR, RsmSetCommunicationParams(0, &params));
    EXPECT_EQ(RSMC_ERROR, RsmGetChannelId(0, &channel));
    EXPECT_EQ(RSMC_ERROR, RsmSetCameraControlMode(0, 1));
    EXPECT_TRUE(RsmRecorder::LogContains("RsmGetChannelId : 0x0001;Port not open"));
}

TEST_F(RsmTest, FailedOpenLeavesTheDriverPortClosed) {
    EXPECT_EQ(RSMC_ERROR, RsmOpen(2, 9600, 4, nullptr));
    EXPECT_TRUE(RsmRecorder::LogContains("Invalid protocol"));
    EXPECT_TRUE(RsmRecorder::LogContains("RsmOpen : 0x0001;Error during initialization"));
    EXPECT_FALSE(FakeLink::IsOpen(2));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 3, 0, nullptr));
    FakeLink::SetOpenResult(12302);
    EXPECT_EQ(12302, RsmOpen(2, 9600, RSMC_PROTOCOL_FULL, nullptr));
    FakeLink::SetOpenResult(0);
    EXPECT_EQ(0, RsmOpen(2, 9600, RSMC_PROTOCOL_FULL, nullptr));
}

TEST_F(RsmTest, ParametersAreKeptWithinTheirLimits) {
    ASSERT_EQ(0, RsmOpen(2, 9600, RSMC_PROTOCOL_FULL, nullptr));
    RsmCommParams params{5000, 50, 0, 3};
    EXPECT_EQ(0, RsmSetCommunicationParams(2, &params));
    EXPECT_EQ(1000, params.HeartbeatTime);
    EXPECT_EQ(10, params.NrRetries);
    EXPECT_EQ(1, params.RetryTime);
    EXPECT_EQ(3, params.byPacking);
    params = RsmCommParams{0, 9, 100, 0};
    EXPECT_EQ(0, RsmSetCommunicationParams(2, &params));
    EXPECT_EQ(0, params.HeartbeatTime);
    EXPECT_EQ(9, params.NrRetries);
    EXPECT_EQ(100, params.RetryTime);
}

TEST_F(RsmTest, RemoteRequestsAreAnsweredOverTheLink) {
    ASSERT_EQ(0, RsmOpen(2, 9600, RSMC_PROTOCOL_FULL, nullptr));
    // Statistics request: one bad checksum counted first, then reported and cleared.
    FakeLink::Inject(2, {0xC8, 0x24, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00});
    RsmRecorder::Step();
    FakeLink::TakeOutput(2);
    FakeLink::Inject(2, PlainFrame(0, 15, {0x01, 0x30}));
    RsmRecorder::Step();
    const Bytes answer = FakeLink::TakeOutput(2);
    EXPECT_TRUE(Contains(
        answer, {0x0F, 0x10, 0x00, 0x02, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
    RsmStatistics stats;
    EXPECT_EQ(0, RsmGetStatistics(2, &stats));
    EXPECT_EQ(0, stats.wInvalidChecksums);

    // Parameter request: the values in force come back with code 2, spare byte as sent.
    FakeLink::Inject(2, {0xC8, 0x40, 0x00, 0x00, 0xF7}); // acknowledges the answer
    FakeLink::Inject(
        2, PlainFrame(1, 15, {0x01, 0x00, 0x88, 0x13, 0x32, 0x00, 0x00, 0x00, 0x01, 0x07}));
    RsmRecorder::Step();
    EXPECT_TRUE(Contains(FakeLink::TakeOutput(2), {0x0F, 0x0A, 0x00, 0x02, 0x00, 0xE8, 0x03, 0x0A,
                                                   0x00, 0x01, 0x00, 0x01, 0x07}));

    // Any other code is ignored: only the ACK goes out.
    FakeLink::Inject(2, {0xC8, 0x40, 0x01, 0x00, 0xF6});
    FakeLink::Inject(2, PlainFrame(2, 15, {0x05, 0x00}));
    RsmRecorder::Step();
    EXPECT_EQ((Bytes{0xC8, 0x40, 0x02, 0x00, 0xF5}), FakeLink::TakeOutput(2));
}

TEST_F(RsmTest, PayloadsAreReadLowByteFirstAndShortOnesCountMissingBytesAsZero) {
    const Bytes shortRequest = {0x01, 0x00, 0x07, 0x00, 0x03};
    const RsmCommParams params =
        RsmUnpackCommParams(shortRequest.data(), static_cast<std::uint16_t>(shortRequest.size()));
    EXPECT_EQ(7, params.HeartbeatTime);
    EXPECT_EQ(3, params.NrRetries);
    EXPECT_EQ(0, params.RetryTime);
    EXPECT_EQ(0, params.byPacking);
    std::array<std::uint8_t, RSMC_STAT_MSG_LENGTH> packed{};
    RsmStatistics stats;
    stats.wNackReceived = 0x0102;
    stats.wMsgLosts = 0xFFFF;
    RsmPackStatistics(stats, packed);
    EXPECT_EQ(0x02, packed[0]);
    EXPECT_EQ(0x30, packed[1]);
    EXPECT_EQ(0x02, packed[2]);
    EXPECT_EQ(0x01, packed[3]);
    const RsmStatistics back = RsmUnpackStatistics(packed.data(), 16);
    EXPECT_EQ(0x0102, back.wNackReceived);
    EXPECT_EQ(0xFFFF, back.wMsgLosts);
}

// The responder the manager, the application and the simulated unit share: a refusal is passed on
// unanswered, the answer carries the values in force and the spare byte, other codes get nothing.
TEST_F(RsmTest, ResponderConfirmsWhatItsOwnerSetAndAnswersNothingElse) {
    struct Owner {
        std::uint16_t wRefusal = 0;
        int nSet = 0;
    } owner;
    const RsmComResponder responder{[](RsmCommParams& rParams, void* pv) -> std::uint16_t {
                                        auto& o = *static_cast<Owner*>(pv);
                                        ++o.nSet;
                                        rParams.NrRetries = 9;
                                        return o.wRefusal;
                                    },
                                    [](void*) {
                                        RsmStatistics t;
                                        t.wRetries = 0x0304;
                                        return t;
                                    },
                                    &owner};
    const Bytes request = {0x01, 0x00, 0x05, 0x00, 0x02, 0x00, 0x03, 0x00, 0x01, 0xAA};
    RsmComAnswer answer;
    ASSERT_EQ(0, RsmAnswerComRequest(request.data(), 10, responder, answer));
    EXPECT_EQ((Bytes{0x02, 0x00, 0x05, 0x00, 0x09, 0x00, 0x03, 0x00, 0x01, 0xAA}),
              Bytes(answer.abyBytes.begin(), answer.abyBytes.begin() + answer.wLength));
    const Bytes statRequest = {0x01, 0x30};
    ASSERT_EQ(0, RsmAnswerComRequest(statRequest.data(), 2, responder, answer));
    ASSERT_EQ(RSMC_STAT_MSG_LENGTH, answer.wLength);
    EXPECT_EQ(0x04, answer.abyBytes[12]);
    EXPECT_EQ(0x03, answer.abyBytes[13]);
    owner.wRefusal = 77;
    EXPECT_EQ(77, RsmAnswerComRequest(request.data(), 10, responder, answer));
    EXPECT_EQ(0, answer.wLength);
    EXPECT_EQ(0, RsmAnswerComRequest(request.data() + 2, 2, responder, answer)); // code 5
    EXPECT_EQ(0, RsmAnswerComRequest(nullptr, 10, responder, answer));
    EXPECT_EQ(0, answer.wLength);
    EXPECT_EQ(2, owner.nSet);
}

// A line that hangs up (the far end of a pseudo-terminal closed, an adapter unplugged) used to be
// read again and again, the program spinning at a full core without a word. Each protocol reports
// the loss once and reads the line no more.
TEST_F(RsmTest, HungUpLineIsReportedOnceAndReadNoMore) {
    for (const std::uint16_t wProtocol :
         {RSMC_PROTOCOL_TERMINAL, RSMC_PROTOCOL_SIMPLE, RSMC_PROTOCOL_FULL}) {
        RsmRecorder::TearDown();
        RsmRecorder::SetUp();
        ASSERT_EQ(0, RsmOpen(2, 9600, wProtocol, RsmRecorder::Notify));
        if (wProtocol == RSMC_PROTOCOL_FULL) {
            FakeLink::Inject(2, Bytes{0xC8, 0x3F, 0x00, 0x00, 0xF8}); // SYNC 0: connected
            RsmRecorder::Step();
            ASSERT_EQ(1u, RsmRecorder::Events().size());
            RsmRecorder::Events().clear();
        }
        FakeLink::SetHungUp(2, true);
        RsmRecorder::Pump(5);
        ASSERT_EQ(1u, RsmRecorder::Events().size()) << wProtocol;
        EXPECT_EQ(RSMC_EVENT_LOST, RsmRecorder::Events()[0].wEvent);
        EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, RsmRecorder::Events()[0].byChannel);
        const int reads = FakeLink::ReadCount(2);
        RsmRecorder::Pump(5);
        EXPECT_EQ(reads, FakeLink::ReadCount(2));
        const std::uint8_t call[] = {0x01, 0x00};
        EXPECT_EQ(RSMC_ERROR, MdsExecuteResponseHandler(MDSC_SERIAL_CHANNEL_0, 3, 2, call));
        // Closed and opened again, the port reads its line as before.
        EXPECT_EQ(0, RsmClose(2));
        FakeLink::SetHungUp(2, false);
        ASSERT_EQ(0, RsmOpen(2, 9600, wProtocol, RsmRecorder::Notify));
        RsmRecorder::Pump(1);
        EXPECT_EQ(reads + 1, FakeLink::ReadCount(2));
    }
}

} // namespace
