#include "Runtime/Mds.h"

#include <gtest/gtest.h>

namespace {

std::uint8_t lastChannel = 0;
std::uint8_t lastType = 0;
std::uint16_t lastLength = 0;
const std::uint8_t* lastData = nullptr;
int calls = 0;

std::uint16_t Recorder(std::uint8_t ch, std::uint8_t type, std::uint16_t len,
                       const std::uint8_t* data) {
    lastChannel = ch;
    lastType = type;
    lastLength = len;
    lastData = data;
    ++calls;
    return 0;
}

std::uint16_t ReturnsOne(std::uint8_t, std::uint8_t, std::uint16_t, const std::uint8_t*) {
    return 1;
}

class MdsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(MdsInit());
        MdsResetForTest();
        calls = 0;
    }
    void TearDown() override { MdsResetForTest(); }
};

TEST_F(MdsTest, RefusesId255InBothTablesAndAccepts254) {
    EXPECT_EQ(MDSC_ERROR, MdsRegisterMsgHandler(255, Recorder));
    EXPECT_EQ(MDSC_ERROR, MdsRegisterResponseHandler(255, Recorder));
    EXPECT_EQ(MDSC_ERROR, MdsDeregisterMsgHandler(255));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteMsgHandler(1, 255, 0, nullptr));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteResponseHandler(255, 1, 0, nullptr));
    EXPECT_EQ(0, MdsRegisterMsgHandler(254, Recorder));
    EXPECT_EQ(0, MdsExecuteMsgHandler(7, 254, 3, nullptr));
    EXPECT_EQ(1, calls);
}

TEST_F(MdsTest, ExecuteWithoutHandlerCallsNothing) {
    EXPECT_EQ(MDSC_ERROR, MdsExecuteMsgHandler(34, 6, 0, nullptr));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteResponseHandler(32, 3, 0, nullptr));
    EXPECT_EQ(0, calls);
}

TEST_F(MdsTest, SecondRegistrationReplacesAndDeregisterEmptyIsFine) {
    static_cast<void>(MdsRegisterMsgHandler(4, Recorder));
    static_cast<void>(MdsRegisterMsgHandler(4, ReturnsOne));
    EXPECT_EQ(1, MdsExecuteMsgHandler(32, 4, 0, nullptr));
    EXPECT_EQ(0, calls);
    EXPECT_EQ(0, MdsDeregisterMsgHandler(4));
    EXPECT_EQ(0, MdsDeregisterMsgHandler(4));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteMsgHandler(32, 4, 0, nullptr));
}

TEST_F(MdsTest, TablesAreSeparateAndArgumentsPassUnchanged) {
    const std::uint8_t data[3] = {1, 2, 3};
    static_cast<void>(MdsRegisterResponseHandler(44, Recorder));
    EXPECT_EQ(MDSC_ERROR, MdsExecuteMsgHandler(44, 44, 3, data));
    EXPECT_EQ(0, MdsExecuteResponseHandler(44, 3, 3, data));
    EXPECT_EQ(44, lastChannel);
    EXPECT_EQ(3, lastType);
    EXPECT_EQ(3, lastLength);
    EXPECT_EQ(data, lastData);
    EXPECT_EQ(0, MdsExecuteResponseHandler(44, 0, 0, nullptr));
    EXPECT_EQ(0, lastLength);
    EXPECT_EQ(nullptr, lastData);
}

TEST_F(MdsTest, SecondInitKeepsRegistrations) {
    static_cast<void>(MdsRegisterMsgHandler(6, Recorder));
    static_cast<void>(MdsInit());
    EXPECT_EQ(0, MdsExecuteMsgHandler(34, 6, 0, nullptr));
    EXPECT_EQ(1, calls);
}

TEST_F(MdsTest, ActivityCountsCalledHandlersOnly) {
    const std::uint32_t dwBefore = MdsActivityCount();
    static_cast<void>(MdsExecuteMsgHandler(1, 7, 0, nullptr)); // no handler: no activity
    EXPECT_EQ(dwBefore, MdsActivityCount());
    static_cast<void>(
        MdsRegisterMsgHandler(7, [](std::uint8_t, std::uint8_t, std::uint16_t,
                                    const std::uint8_t*) { return std::uint16_t{0}; }));
    static_cast<void>(
        MdsRegisterResponseHandler(40, [](std::uint8_t, std::uint8_t, std::uint16_t,
                                          const std::uint8_t*) { return std::uint16_t{0}; }));
    static_cast<void>(MdsExecuteMsgHandler(1, 7, 0, nullptr));
    static_cast<void>(MdsExecuteResponseHandler(40, 3, 0, nullptr));
    EXPECT_EQ(dwBefore + 2, MdsActivityCount());
}

} // namespace
