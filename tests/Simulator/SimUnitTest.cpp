#include "Simulator/SimUnit.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "Simulator/SimOptions.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class SimUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimUnitResetForTest();
        m_pSink = std::tmpfile();
        AppSetConsole(m_pSink);
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(TALVO_SOURCE_DIR "/examples/FNID.DEF"));
    }
    void TearDown() override {
        FnTabRelease();
        AppSetConsole(nullptr);
        std::fclose(m_pSink);
    }
    Bytes Answer(const Bytes& request, std::uint32_t dwCall = 0) {
        Bytes answer(SIMC_MESSAGE_SIZE);
        answer.resize(SimBuildAnswer(request, answer, dwCall));
        return answer;
    }
    std::FILE* m_pSink = nullptr;
};

TEST_F(SimUnitTest, AnswersEchoTheRequestsFieldsAndCountTheRest) {
    // SETOUTPUT { B B } { B B }: both fields come back as sent.
    EXPECT_EQ((Bytes{0x10, 0x00, 0, 0, 3, 1}), Answer({0x10, 0x00, 3, 1}));
    // READLOG { W B } { W B (D H W)4 }: W and B echoed, the group counts up from the call.
    const Bytes log = Answer({0x31, 0x00, 5, 0, 2}, 10);
    ASSERT_EQ(4u + 3 + 4 * 8, log.size());
    EXPECT_EQ((Bytes{0x31, 0x00, 0, 0, 5, 0, 2}), Bytes(log.begin(), log.begin() + 7));
    EXPECT_EQ((Bytes{12, 0, 0, 0, 13, 0, 14, 0}), Bytes(log.begin() + 7, log.begin() + 15));
}

TEST_F(SimUnitTest, GeneratedValuesDependOnlyOnTheCallNumber) {
    // GETVERSION { - } { S16 W3 }: "SIM<call>" in a zero-ended field, then call+1 ... call+3.
    const Bytes first = Answer({0x01, 0x00}, 7);
    ASSERT_EQ(4u + 16 + 6, first.size());
    EXPECT_EQ("SIM7", std::string(first.begin() + 4, first.begin() + 8));
    EXPECT_EQ(0, first[4 + 15]);
    EXPECT_EQ((Bytes{8, 0, 9, 0, 10, 0}), Bytes(first.end() - 6, first.end()));
    EXPECT_EQ(first, Answer({0x01, 0x00}, 7));
    EXPECT_NE(first, Answer({0x01, 0x00}, 8));
}

TEST_F(SimUnitTest, UnknownFunctionGetsAnErrorCodeAndNoBody) {
    EXPECT_EQ((Bytes{0x77, 0x77, SIMC_ERROR_UNKNOWN_FNID, 0}), Answer({0x77, 0x77, 1, 2}));
    EXPECT_TRUE(Answer({0x01}).empty()); // no FnId: nothing to answer
}

TEST_F(SimUnitTest, ShortRequestIsNotReadPastItsEnd) {
    // SETTHRESHOLD { B I I }: only the channel came; the rest is generated, not read.
    const Bytes answer = Answer({0x24, 0x00, 9}, 0);
    ASSERT_EQ(4u + 1 + 2 + 2, answer.size());
    EXPECT_EQ(9, answer[4]);
    EXPECT_EQ((Bytes{1, 0, 2, 0}), Bytes(answer.begin() + 5, answer.end()));
}

TEST_F(SimUnitTest, HugeStructureStopsAtTheMessageSize) {
    FnTabRelease();
    const std::string path = ::testing::TempDir() + "sim_huge.def";
    std::FILE* pFile = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    std::fputs(
        "HUGE 0x0100 { B } { (W D)9999 S4000 }\nDEEP 0x0101 { B } { ((((((((((B)))))))))) }\n",
        pFile);
    std::fclose(pFile);
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(path.c_str()));
    EXPECT_LE(Answer({0x00, 0x01, 1}).size(), SIMC_MESSAGE_SIZE);
    EXPECT_EQ(4u, Answer({0x01, 0x01, 1}).size()); // nested deeper than the unit follows: no body
    std::remove(path.c_str());
}

TEST_F(SimUnitTest, NotificationsUseTheUpdateStructure) {
    const FunctionRecord* pRecord = nullptr;
    for (std::uint16_t w = 0; w < FnTabCount() && pRecord == nullptr; ++w) {
        if (FnTabAt(w)->bySectionKind == APPC_SECTION_UPDATE) {
            pRecord = FnTabAt(w);
        }
    }
    ASSERT_NE(nullptr, pRecord);
    Bytes message(SIMC_MESSAGE_SIZE);
    message.resize(SimBuildNotify(pRecord->wFnId, message, 0));
    ASSERT_GE(message.size(), 2u);
    EXPECT_EQ(pRecord->wFnId, message[0] | (message[1] << 8));
}

TEST(SimOptionsTest, LinkAndProtocolChoices) {
    auto parse = [](std::vector<std::string> args, SimOptions& rOptions) {
        args.insert(args.begin(), "talvo_sim");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        std::FILE* pSink = std::tmpfile();
        const std::uint16_t wResult =
            SimParseOptions(static_cast<int>(argv.size()), argv.data(), rOptions, pSink);
        std::fclose(pSink);
        return wResult;
    };
    SimOptions tcp;
    ASSERT_EQ(SIMC_OPTIONS_RUN, parse({"--tcp"}, tcp));
    EXPECT_EQ(SimProtocol::Oip, tcp.protocol);
    EXPECT_EQ(SIMC_DEFAULT_PORT, tcp.wPort);
    SimOptions pty;
    ASSERT_EQ(SIMC_OPTIONS_RUN,
              parse({"--pty", "--baud", "115200", "--drop", "10", "--faults-after", "1"}, pty));
    EXPECT_EQ(SimProtocol::Full, pty.protocol);
    EXPECT_TRUE(pty.bPace);
    EXPECT_TRUE(pty.unit.bSerialFull);
    EXPECT_EQ(10, pty.unit.wDropPercent);
    EXPECT_EQ(1u, pty.unit.dwFaultsAfter);
    SimOptions bad;
    EXPECT_EQ(SIMC_OPTIONS_ERROR, parse({}, bad));
    EXPECT_EQ(SIMC_OPTIONS_ERROR, parse({"--tcp", "--delay", "-5"}, bad));
    EXPECT_EQ(SIMC_OPTIONS_ERROR, parse({"--tcp", "--port", "70000"}, bad));
    EXPECT_EQ(SIMC_OPTIONS_ERROR, parse({"--serial"}, bad));
}

} // namespace
