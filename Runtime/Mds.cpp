// Message dispatch: two fixed tables of handlers and synchronous calls through them.
#include "Runtime/Mds.h"

#include <array>

namespace {

std::array<MsgHandler, MDSC_TABLE_SIZE> msgHandlers{};
std::array<MsgHandler, MDSC_TABLE_SIZE> responseHandlers{};
bool bInitialised = false;
std::uint32_t activityCount = 0; // handlers called so far, either way

std::uint16_t Register(std::array<MsgHandler, MDSC_TABLE_SIZE>& table, std::uint8_t byId,
                       MsgHandler pfHandler) {
    if (byId == MDSC_INVALID_ID) {
        return MDSC_ERROR;
    }
    table[byId] = pfHandler;
    return 0;
}

std::uint16_t Execute(const std::array<MsgHandler, MDSC_TABLE_SIZE>& table, std::uint8_t byId,
                      std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                      const std::uint8_t* pbyData) {
    if (byId == MDSC_INVALID_ID || table[byId] == nullptr) {
        return MDSC_ERROR;
    }
    ++activityCount;
    return table[byId](byChannelId, byMsgType, wLength, pbyData);
}

} // namespace

std::uint16_t MdsInit() {
    if (!bInitialised) {
        MdsResetForTest();
        bInitialised = true;
    }
    return 0;
}

std::uint16_t MdsClose() {
    return 0;
}

std::uint32_t MdsActivityCount() {
    return activityCount;
}

std::uint16_t MdsRegisterMsgHandler(std::uint8_t byMsgType, MsgHandler pfHandler) {
    return Register(msgHandlers, byMsgType, pfHandler);
}

std::uint16_t MdsDeregisterMsgHandler(std::uint8_t byMsgType) {
    return Register(msgHandlers, byMsgType, nullptr);
}

std::uint16_t MdsExecuteMsgHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                   std::uint16_t wLength, const std::uint8_t* pbyData) {
    return Execute(msgHandlers, byMsgType, byChannelId, byMsgType, wLength, pbyData);
}

std::uint16_t MdsRegisterResponseHandler(std::uint8_t byChannelId, MsgHandler pfHandler) {
    return Register(responseHandlers, byChannelId, pfHandler);
}

std::uint16_t MdsDeregisterResponseHandler(std::uint8_t byChannelId) {
    return Register(responseHandlers, byChannelId, nullptr);
}

std::uint16_t MdsExecuteResponseHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                        std::uint16_t wLength, const std::uint8_t* pbyData) {
    return Execute(responseHandlers, byChannelId, byChannelId, byMsgType, wLength, pbyData);
}

std::uint16_t MdsHandlerCount() {
    std::uint16_t wCount = 0;
    for (std::size_t i = 0; i < MDSC_TABLE_SIZE; ++i) {
        wCount += (msgHandlers[i] != nullptr ? 1 : 0) + (responseHandlers[i] != nullptr ? 1 : 0);
    }
    return wCount;
}

void MdsResetForTest() {
    msgHandlers.fill(nullptr);
    responseHandlers.fill(nullptr);
}
