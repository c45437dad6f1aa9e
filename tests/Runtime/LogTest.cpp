#include "Runtime/Log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Runtime/Oss.h"

namespace {

std::vector<std::string> printed;
int Printer(const char* text) {
    printed.emplace_back(text);
    return 0;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(1);
        static_cast<void>(LogTerminate());
        static_cast<void>(LogInit());
        LogResetForTest();
        printed.clear();
    }
    void TearDown() override {
        LogEnable(1);
        LogEnableErrors(1);
        LogEnableWarnings(1);
        LogResetForTest();
        OssFreezeTime(0);
    }
    static std::vector<std::string> Kept() {
        std::vector<std::string> records;
        char text[LOGC_RECORD_SIZE];
        for (std::uint16_t mode = LOGC_READ_FIRST; LogReadEntry(mode, text) == 0;
             mode = LOGC_READ_NEXT) {
            records.emplace_back(text);
        }
        return records;
    }
};

TEST_F(LogTest, RecordHasTheTimeStampedPrefixAndText) {
    const std::uint32_t now = OssGetTime();
    LogError("IpsInit", 12501, "Could not initialise WSAStartup, errno=%d", 10091);
    LogWarning("RsmFull", 1, nullptr);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "\r\n%10lu E IpsInit : 0x30d5;Could not initialise WSAStartup, errno=10091",
                  static_cast<unsigned long>(now));
    const auto records = Kept();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(expected, records[0]);
    EXPECT_EQ(';', records[1].back());
    EXPECT_NE(std::string::npos, records[1].find(" W RsmFull : 0x0001;"));
}

TEST_F(LogTest, LongRecordIsCutAt256Bytes) {
    const std::string longText(400, 'x');
    LogError("Name", 1, "%s", longText.c_str());
    const auto records = Kept();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(LOGC_RECORD_SIZE - 1, records[0].size());
}

TEST_F(LogTest, SwitchesGovernEachKind) {
    LogEnableErrors(0);
    LogError("A", 1, nullptr);
    LogWarning("B", 1, nullptr);
    EXPECT_EQ(1u, Kept().size());
    EXPECT_EQ(0, LogEnable(0));
    LogWarning("C", 1, nullptr);
    EXPECT_EQ(1u, Kept().size());
    EXPECT_EQ(0, LogEnableWarnings(1)); // master still off
    static_cast<void>(LogTerminate());
    LogEnable(1);
    LogWarning("D", 1, nullptr);
    EXPECT_EQ(1u, Kept().size());
}

TEST_F(LogTest, RingKeepsTheNewestHundredOldestFirst) {
    for (int i = 0; i < 130; ++i) {
        LogError("N", static_cast<std::uint16_t>(i), nullptr);
    }
    const auto records = Kept();
    ASSERT_EQ(LOGC_KEPT_RECORDS, records.size());
    EXPECT_NE(std::string::npos, records.front().find("0x001e;"));
    EXPECT_NE(std::string::npos, records.back().find("0x0081;"));
}

TEST_F(LogTest, RecordsAreEchoedOnlyWhileLoggingIsOn) {
    static_cast<void>(LogSetRoute(34, Printer));
    LogError("Before", 1, nullptr);
    EXPECT_TRUE(printed.empty());
    EXPECT_EQ(1, LogSetFilter(1, ""));
    LogError("During", 1, nullptr);
    EXPECT_EQ(0, LogSetFilter(0, ""));
    LogError("After", 1, nullptr);
    ASSERT_EQ(1u, printed.size());
    EXPECT_NE(std::string::npos, printed[0].find("During"));
    EXPECT_EQ(3u, Kept().size());
}

TEST_F(LogTest, FailedCheckIsKeptAndPrintedOnceWhetherLoggingIsOnOrOff) {
    EXPECT_TRUE(LOG_CHECK(1 + 1 == 2));
    EXPECT_FALSE(LOG_CHECK_TEXT(false, "bUASInitialised", "UasIni"));
    EXPECT_TRUE(printed.empty()); // no route yet: nothing printed, still kept
    static_cast<void>(LogSetRoute(34, Printer));
    const int line = __LINE__ + 1;
    EXPECT_FALSE(LOG_CHECK(printed.size() > 5));
    LogSetFilter(1, "");
    EXPECT_FALSE(LOG_CHECK_TEXT(false, "x", "f"));
    ASSERT_EQ(2u, printed.size());
    EXPECT_EQ("Assertion failed: printed.size() > 5, file " __FILE__ ", line " +
                  std::to_string(line),
              printed[0]);
    EXPECT_NE(std::string::npos, printed[1].find("E Check : 0x0000;Assertion failed: x, file f"));
    const auto records = Kept();
    ASSERT_EQ(3u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("Assertion failed: bUASInitialised, file UasIni"));
}

TEST_F(LogTest, ModuleFilterAddsAndRemovesTwoCharacterEntries) {
    char filter[LOGC_FILTER_SIZE];
    LogSetFilter(1, "ip");
    LogSetFilter(1, "IPX");
    EXPECT_EQ(LOGC_FILTER_MODULES, LogGetFilter(filter));
    EXPECT_STREQ("IP ", filter);
    LogSetFilter(1, "Rs");
    EXPECT_STREQ("IP RS ", (LogGetFilter(filter), filter));
    EXPECT_EQ(3, LogFindFilter("rsm"));
    LogSetFilter(0, "Ip");
    EXPECT_STREQ("RS ", (LogGetFilter(filter), filter));
    LogSetFilter(1, "");
    EXPECT_EQ(LOGC_FILTER_ON, LogGetFilter(filter));
    EXPECT_STREQ("", filter);
}

TEST_F(LogTest, FullFilterTextRefusesTheFiftiethCode) {
    char code[3] = {'A', 'A', '\0'};
    for (int i = 0; i < 50; ++i) {
        code[0] = static_cast<char>('A' + i / 26);
        code[1] = static_cast<char>('A' + i % 26);
        LogSetFilter(1, code);
    }
    char filter[LOGC_FILTER_SIZE];
    LogGetFilter(filter);
    EXPECT_EQ(49u * LOGC_FILTER_ENTRY, std::strlen(filter));
    EXPECT_EQ(-1, LogFindFilter(code));
}

TEST_F(LogTest, ConcurrentWritersNeverCorruptARecord) {
    auto writer = [] {
        for (int i = 0; i < 2000; ++i) {
            LogError("Writer", 0x1234, "payload %d", i);
        }
    };
    std::thread a(writer);
    std::thread b(writer);
    a.join();
    b.join();
    for (const auto& record : Kept()) {
        EXPECT_NE(std::string::npos, record.find(" E Writer : 0x1234;payload "));
    }
}

} // namespace
