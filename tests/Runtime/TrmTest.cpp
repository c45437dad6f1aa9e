#include "Runtime/Trm.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Platform/PltConsole.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/TestOs.h"

namespace {

struct Delivered {
    std::uint8_t byChannel;
    std::uint8_t byType;
    std::string line;
};
std::vector<Delivered> delivered;

std::uint16_t RecordLine(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                         const std::uint8_t* pbyData) {
    delivered.push_back(
        {byChannelId, byMsgType, std::string(reinterpret_cast<const char*>(pbyData), wLength)});
    return 0;
}

class TrmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        MdsResetForTest();
        static_cast<void>(LogTerminate());
        static_cast<void>(LogInit());
        LogResetForTest();
        TrmResetForTest();
        PltConsoleResetForTest();
        delivered.clear();
        ASSERT_EQ(0, testos::Pipe(keys));
        PltConsoleUseInputForTest(keys[0]);
        screen = std::tmpfile();
        ASSERT_NE(nullptr, screen);
        PltConsoleUseOutputForTest(screen);
        static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, RecordLine));
        ASSERT_EQ(0, TrmInit());
        ASSERT_EQ(0, TrmOpen());
    }

    void TearDown() override {
        static_cast<void>(TrmClose());
        static_cast<void>(TrmTerminate());
        PltConsoleResetForTest();
        PltConsoleUseInputForTest(-1);
        PltConsoleUseOutputForTest(nullptr);
        testos::Close(keys[0]);
        if (keys[1] >= 0) {
            testos::Close(keys[1]);
        }
        std::fclose(screen);
        MdsResetForTest();
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
    }

    // Types the keys and runs the keyboard task once per key (one key per run).
    void Press(const std::string& text) {
        ASSERT_EQ(static_cast<long>(text.size()), testos::Write(keys[1], text.data(), text.size()));
        for (std::size_t i = 0; i < text.size(); ++i) {
            TrmPollKeyboard();
        }
    }

    std::string Screen() {
        std::fflush(screen);
        std::string text;
        std::rewind(screen);
        char chunk[512];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, screen)) > 0) {
            text.append(chunk, got);
        }
        return text;
    }

    int keys[2] = {-1, -1};
    std::FILE* screen = nullptr;
};

TEST_F(TrmTest, BackspaceEditsTheLineAndTheScreen) {
    Press("AB\bZ\r");
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ(TRMC_CHANNEL_ID, delivered[0].byChannel);
    EXPECT_EQ(MDSC_MSG_TERMINAL_REQUEST, delivered[0].byType);
    EXPECT_EQ("AZ", delivered[0].line);
    EXPECT_EQ("AB\b \bZ\r", Screen());
}

TEST_F(TrmTest, DeleteKeyErasesLikeBackspace) {
    Press("AB\x7f\r");
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("A", delivered[0].line);
}

TEST_F(TrmTest, BackspaceOnEmptyLineWritesNothing) {
    Press("\b\b\x7f");
    EXPECT_EQ("", Screen());
    EXPECT_TRUE(delivered.empty());
}

TEST_F(TrmTest, CharacterBeyondTheLineIsNeitherStoredNorEchoed) {
    Press(std::string(TRMC_LINE_MAX + 1, 'x') + "\r");
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ(std::string(TRMC_LINE_MAX, 'x'), delivered[0].line);
    EXPECT_EQ(std::string(TRMC_LINE_MAX, 'x') + "\r", Screen());
}

TEST_F(TrmTest, EnterOnEmptyLineDeliversLengthZero) {
    Press("\r");
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("", delivered[0].line);
}

TEST_F(TrmTest, TextSentToTheConsoleChannelGetsLineFeedsAfterCarriageReturns) {
    const std::uint8_t text[] = {'X', '\r', 'Y'};
    EXPECT_EQ(0, MdsExecuteResponseHandler(TRMC_CHANNEL_ID, 7, sizeof text, text));
    EXPECT_EQ("X\r\nY", Screen());
}

TEST_F(TrmTest, SecondCloseIsRefusedAndLogged) {
    EXPECT_EQ(0, TrmClose());
    EXPECT_EQ(TRMC_ERROR, TrmClose());
    char record[LOGC_RECORD_SIZE] = {};
    ASSERT_EQ(0, LogReadEntry(LOGC_READ_FIRST, record));
    EXPECT_NE(nullptr, std::strstr(record, "TrmClose : 0x0001;Error during close"));
}

TEST_F(TrmTest, TerminateRemovesTheConsoleChannel) {
    EXPECT_EQ(0, TrmTerminate());
    const std::uint8_t text[] = {'X'};
    EXPECT_EQ(MDSC_ERROR, MdsExecuteResponseHandler(TRMC_CHANNEL_ID, 7, sizeof text, text));
}

TEST_F(TrmTest, KeyboardTaskRunsFromTheScheduler) {
    ASSERT_EQ(1, testos::Write(keys[1], "\r", 1));
    for (int pass = 0; pass < 4; ++pass) {
        OssSchedule();
    }
    EXPECT_EQ(1u, delivered.size());
}

TEST_F(TrmTest, StopSignalEndsTheProgramThroughOssExit) {
    OssExit(9);
    ASSERT_EQ(0, std::raise(SIGTERM)); // caught: only recorded
    EXPECT_EQ(SIGTERM, PltConsoleStopSignal());
    TrmPollKeyboard();
    EXPECT_EQ(0, OssGetExitCode());
}

TEST_F(TrmTest, PipeInputEndingWithoutLineEndStillDeliversItsLastLine) {
    ASSERT_EQ(4, testos::Write(keys[1], "EXIT", 4));
    testos::Close(keys[1]);
    keys[1] = -1;
    for (int run = 0; run < 8; ++run) {
        TrmPollKeyboard();
    }
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("EXIT", delivered[0].line);
    EXPECT_EQ(-1, TrmInputDescriptor());
}

} // namespace
