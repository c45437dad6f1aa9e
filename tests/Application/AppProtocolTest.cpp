// The PROTOCOL command and the COMMUNICATION_PARAMS handler, with two RS232 managers back to back
// over the in-memory link standing in for the tool and the unit.
#include "Application/AppProtocol.h"

#include <gtest/gtest.h>

#include <string>

#include "Application/AppStreams.h"
#include "Communication/Rsm/Rsm.h"
#include "Runtime/Mds.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RsmRecorder.h"
#include "tests/support/TestOs.h"

namespace {

std::string ReadAll(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::rewind(file);
    (void)testos::Truncate(file);
    return text;
}

std::string Params(const char* title, unsigned hb, unsigned retries, unsigned retry) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "\n\n%s:\n  HeartbeatTime = %u sec\n  NrRetries     = %u\n  RetryTime     = %u "
                  "sec\n\n",
                  title, hb, retries, retry);
    return text;
}

class AppProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RsmRecorder::SetUp();
        AppResetStreamsForTest();
        response = std::tmpfile();
        console = std::tmpfile();
        AppSetResponseStream(response);
        AppSetConsole(console);
        ProtocolSetPort(0);
        // Port 0 is the tool's link (channel 32), port 1 the unit's end (channel 33).
        ASSERT_EQ(0, RsmOpen(0, 115200, RSMC_PROTOCOL_FULL, nullptr));
        ASSERT_EQ(0, RsmOpen(1, 115200, RSMC_PROTOCOL_FULL, nullptr));
        static_cast<void>(
            MdsRegisterMsgHandler(MDSC_MSG_COMMUNICATION_PARAMS, ProtocolComParamsHandler));
    }
    void TearDown() override {
        AppResetStreamsForTest();
        std::fclose(response);
        std::fclose(console);
        RsmRecorder::TearDown();
    }
    std::uint16_t Run(const char* line, std::uint8_t channel = MDSC_SERIAL_CHANNEL_0) {
        std::string copy = line;
        return ProtocolCommand(copy.data(), channel);
    }
    std::FILE* response = nullptr;
    std::FILE* console = nullptr;
};

TEST_F(AppProtocolTest, HelpForNoWordHelpAndUnknownWords) {
    EXPECT_EQ(0, Run("PROTOCOL"));
    EXPECT_EQ(0, Run("PROTOCOL HELP"));
    EXPECT_EQ(0, Run("PROTOCOL LOCAL"));
    EXPECT_EQ(std::string(APPC_PROTOCOL_HELP) + APPC_PROTOCOL_HELP + APPC_PROTOCOL_HELP,
              ReadAll(console));
    EXPECT_EQ("", ReadAll(response));
}

TEST_F(AppProtocolTest, LocalParamsShowTheValuesInForce) {
    EXPECT_EQ(0, Run("PROTOCOL LOCALPARAMS"));
    EXPECT_EQ(Params("Local params", 0, 0, 1), ReadAll(response));
    EXPECT_EQ(0, Run("PROTOCOL LOCALPARAMS 0x10 012 5000"));
    EXPECT_EQ(Params("Local params", 16, 10, 100), ReadAll(response));
}

TEST_F(AppProtocolTest, StatisticsAreClearedByReading) {
    // One NAK from the unit's side counts on the tool's side.
    const std::vector<std::uint8_t> nak = {0xC8, 0x23, 0x00, 0x00, 0x14};
    FakeLink::Inject(0, nak);
    RsmRecorder::Step();
    EXPECT_EQ(0, Run("PROTOCOL STATISTICS"));
    EXPECT_EQ(0, Run("PROTOCOL STATISTICS"));
    const std::string expected =
        "\n\nLocal statistics:\n  Nack received                1\n  Invalid framelength "
        "received 0\n  50ms timeout detected        0\n  Invalid checksums received   0\n  "
        "Communication losts          0\n  Retries                      0\n  Messages losts     "
        "          0\n\n";
    std::string second = expected;
    second.replace(second.find("received                1"), 25, "received                0");
    EXPECT_EQ(expected + second, ReadAll(response));
}

TEST_F(AppProtocolTest, RemoteParamsAndRemoteStatisticsRoundTrip) {
    EXPECT_EQ(0, Run("PROTOCOL REMOTEPARAMS 7 3 4"));
    EXPECT_EQ("", ReadAll(response)); // nothing until the answer comes
    RsmRecorder::Pump(5);
    // Both ends share this process's handler: the request is applied, then answered.
    EXPECT_EQ(Params("Params remotely set to", 7, 3, 4) + Params("Remote params Responce", 7, 3, 4),
              ReadAll(response));
    EXPECT_EQ(0, Run("PROTOCOL REMSTAT"));
    RsmRecorder::Pump(5);
    EXPECT_NE(std::string::npos, ReadAll(response).find("\n\nRemote statistics:\n  Nack received"));
    EXPECT_EQ(0, Run("PROTOCOL BOTHPARAMS 9 1 1"));
    RsmRecorder::Pump(5);
    const std::string both = ReadAll(response);
    EXPECT_EQ(0u, both.find(Params("Local params", 9, 1, 1)));
    EXPECT_NE(std::string::npos, both.find(Params("Remote params Responce", 9, 1, 1)));
}

TEST_F(AppProtocolTest, SubCommandsFailWithResult2WithoutThePortOrOnTcp) {
    EXPECT_EQ(2, Run("PROTOCOL STATISTICS", MDSC_TCPIP_SESSION_BASE));
    EXPECT_EQ(2, Run("PROTOCOL REMSTAT", MDSC_TCPIP_SESSION_BASE));
    EXPECT_EQ(0, Run("PROTOCOL HELP", MDSC_TCPIP_SESSION_BASE));
    ProtocolSetPort(3);
    EXPECT_EQ(2, Run("PROTOCOL LOCALPARAMS 1 1 1"));
    EXPECT_EQ(2, Run("PROTOCOL REMOTEPARAMS 1 1 1"));
    EXPECT_EQ(2, Run("PROTOCOL BOTHPARAMS 1 1 1"));
    EXPECT_EQ(2, Run("PROTOCOL STATISTICS"));
    EXPECT_EQ("", ReadAll(response));
}

TEST_F(AppProtocolTest, HandlerReadsShortMessagesAsZerosAndIgnoresOtherCodes) {
    const std::uint8_t shortAnswer[] = {0x02, 0x00, 0x05};
    EXPECT_EQ(0, ProtocolComParamsHandler(MDSC_SERIAL_CHANNEL_0, 15, 3, shortAnswer));
    EXPECT_EQ(Params("Remote params Responce", 5, 0, 0), ReadAll(response));
    const std::uint8_t other[] = {0x07, 0x00};
    EXPECT_EQ(0, ProtocolComParamsHandler(MDSC_SERIAL_CHANNEL_0, 15, 2, other));
    EXPECT_EQ(0, ProtocolComParamsHandler(MDSC_SERIAL_CHANNEL_0, 15, 0, nullptr));
    EXPECT_EQ("", ReadAll(response));
}

} // namespace
