#include "tests/support/RsmRecorder.h"

#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/FakeLink.h"

namespace {

std::vector<RsmRecorder::Delivered> messages;
std::vector<RsmRecorder::Event> events;
std::uint16_t handlerResult = 0;

std::uint16_t Record(std::uint8_t byChannel, std::uint8_t byType, std::uint16_t wLength,
                     const std::uint8_t* pbyData) {
    RsmRecorder::Delivered message{byChannel, byType, {}};
    if (wLength != 0) {
        message.data.assign(pbyData, pbyData + wLength);
    }
    messages.push_back(message);
    return handlerResult;
}

} // namespace

namespace RsmRecorder {

void SetUp() {
    static_cast<void>(OssInit());
    OssFreezeTime(1);
    static_cast<void>(MdsInit());
    MdsResetForTest();
    static_cast<void>(LogInit());
    LogResetForTest();
    FakeLink::Reset();
    RsmSetDriver(FakeLink::Ops());
    RsmResetForTest();
    messages.clear();
    events.clear();
    handlerResult = 0;
    for (std::uint8_t type = 2; type <= 25; ++type) {
        if (type != MDSC_MSG_COMMUNICATION_PARAMS) {
            static_cast<void>(MdsRegisterMsgHandler(type, Record));
        }
    }
}

void TearDown() {
    RsmResetForTest();
    RsmSetDriver(nullptr);
    MdsResetForTest();
    OssFreezeTime(0);
}

std::vector<Delivered>& Messages() {
    return messages;
}
std::vector<Event>& Events() {
    return events;
}
void Notify(std::uint16_t wEvent, std::uint8_t byChannel) {
    events.push_back({wEvent, byChannel});
}
void SetHandlerResult(std::uint16_t wResult) {
    handlerResult = wResult;
}

std::vector<std::string> LogRecords() {
    std::vector<std::string> records;
    char text[LOGC_RECORD_SIZE] = {};
    if (LogReadEntry(LOGC_READ_FIRST, text) == 0) {
        records.emplace_back(text);
        while (LogReadEntry(LOGC_READ_NEXT, text) == 0) {
            records.emplace_back(text);
        }
    }
    return records;
}

bool LogContains(const std::string& text) {
    for (const auto& record : LogRecords()) {
        if (record.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void Step(std::uint16_t wMs) {
    if (wMs != 0) {
        OssAdvanceTime(wMs);
    }
    RsmRunSlotForTest(0);
    RsmRunSlotForTest(1);
}

void Pump(int n) {
    for (int i = 0; i < n; ++i) {
        Step(0);
    }
}

} // namespace RsmRecorder
