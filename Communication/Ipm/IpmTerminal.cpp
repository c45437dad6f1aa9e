// IpmTerminal: the Terminal stream protocol.
#include "Communication/Ipm/IpmTerminal.h"

#include <array>
#include <new>

#include "Runtime/Log.h"
#include "Runtime/Mds.h"

namespace {

// Private state of a Terminal session: the line being typed.
struct IpmTerminalData {
    std::array<std::uint8_t, IPMC_TERMINAL_LINE_SIZE> abyLine{};
    std::uint8_t byLineLength = 0;
};

} // namespace

std::uint16_t IpmTerminalInit(IpmSessionData* ptSessionData) {
    if (!LOG_CHECK(ptSessionData != NULL)) {
        return IPMC_ERROR;
    }
    auto* ptData = new (std::nothrow) IpmTerminalData;
    ptSessionData->pvProtocolData = ptData;
    return ptData == nullptr ? IPMC_ERROR : IPMC_OK;
}

void IpmTerminalClose(IpmSessionData* ptSessionData) {
    if (LOG_CHECK(ptSessionData != NULL)) {
        IpmReleaseProtocolData<IpmTerminalData>(*ptSessionData);
    }
}

void IpmTerminalProcess(IpmSessionData* ptSessionData) {
    if (!LOG_CHECK(ptSessionData != NULL) || ptSessionData->pvProtocolData == nullptr) {
        return;
    }
    std::uint32_t dwCount = 0;
    const std::uint16_t wRead = IpmSessionRead(
        ptSessionData, ptSessionData->abyReceiveBuffer.data(), IPMC_RECEIVE_BUFFER_SIZE, &dwCount);
    if (wRead != IPSC_OK || dwCount == 0) {
        if (wRead == IPSC_TRANSFER_ERROR) {
            IpmNotify(ptSessionData, IPMC_EVENT_CONNECTION_LOST);
        }
        return;
    }
    for (std::uint32_t i = 0; i < dwCount; ++i) {
        // Looked up again for every byte: a handler may have closed the session.
        auto* ptData = static_cast<IpmTerminalData*>(ptSessionData->pvProtocolData);
        const std::uint8_t byChar = ptSessionData->abyReceiveBuffer[i];
        if (byChar == IPMC_TERMINAL_CR) {
            ptData->abyLine[ptData->byLineLength] = 0;
            const std::uint8_t byLength = ptData->byLineLength;
            ptData->byLineLength = 0;
            std::uint16_t wStatus = 0;
            const bool bOpen = IpmDeliver(ptSessionData, MDSC_MSG_TERMINAL_REQUEST, byLength,
                                          ptData->abyLine.data(), &wStatus);
            if (wStatus != 0) {
                LogError("IpmTerminalProcess", wStatus, "Error MdsExecuteMsgHandler %d",
                         ptSessionData->byChannelId);
            }
            if (!bOpen) {
                return;
            }
        } else if (byChar == IPMC_TERMINAL_BS) {
            if (ptData->byLineLength > 0) {
                --ptData->byLineLength;
            }
        } else if (ptData->byLineLength < IPMC_TERMINAL_LINE_SIZE - 1) {
            ptData->abyLine[ptData->byLineLength++] = byChar;
        }
    }
}

std::uint16_t IpmTerminalSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                              std::uint16_t wMsgLen, const std::uint8_t* pMsg) {
    (void)byMsgType;
    const bool bSession = LOG_CHECK(NULL != ptSessionData);
    const bool bLength = LOG_CHECK(0 != wMsgLen);
    if (!LOG_CHECK(NULL != pMsg) || !bSession || !bLength) {
        return IPMC_ERROR;
    }
    return IpmSessionWrite(ptSessionData, pMsg, wMsgLen) == IPSC_OK ? IPMC_OK : IPMC_ERROR;
}
