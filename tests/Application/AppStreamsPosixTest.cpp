// The response stream on a device that takes nothing (/dev/full, a full disk): results used to
// vanish in silence.
#include <gtest/gtest.h>

#include <cstdio>

#include "AppTestCapture.h"
#include "Application/AppStreams.h"

namespace {

class AppStreamsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetStreamsForTest();
        AppSetConsole(console.File());
        m_pFull = std::fopen("/dev/full", "w");
        ASSERT_NE(nullptr, m_pFull);
    }
    void TearDown() override {
        AppResetStreamsForTest();
        std::fclose(m_pFull);
    }
    CapturedStream console;
    std::FILE* m_pFull = nullptr;
};

const char* const kReport = "Can't write response file : No space left on device (responses go "
                            "to the console from here on)\n";

TEST_F(AppStreamsTest, FailedWriteIsReportedOnceAndDisplaysGoToTheConsole) {
    AppSetResponseStream(m_pFull);
    std::fputs("an answer\n", AppResponseStream());
    AppFlushResponseStream();
    EXPECT_EQ(kReport, console.Take());
    EXPECT_EQ(stdout, AppResponseStream());
    AppFlushResponseStream();
    EXPECT_EQ("", console.Take());
}

TEST_F(AppStreamsTest, TextStillBufferedWhenTheFileIsReplacedIsNotLostUnseen) {
    AppSetResponseStream(m_pFull);
    std::fputs("no line end yet", AppResponseStream());
    AppSetResponseStream(nullptr); // its owner closes the file next
    EXPECT_EQ(kReport, console.Take());
}

} // namespace
