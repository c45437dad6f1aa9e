// Terminal protocol: lines typed on a terminal at the far end go up as terminal requests (with
// backspace editing), a framed message is announced by 1B 24 at the end of a line, terminal
// responses go out as bare text.
#include "Communication/Rsm/RsmPriv.h"

#include <array>

#include "Runtime/Log.h"
#include "Runtime/Mds.h"

namespace {

using RxState = RsmFrameState; // Idle: text

constexpr std::uint16_t State(RxState tState) {
    return RsmStateOf(tState);
}
constexpr std::uint16_t RSMC_LINE_MAX_CHARS = RSMC_LINE_SIZE - 1;

// Hands the line up as a terminal request and empties it. False when closed meanwhile.
bool DeliverLine(RsmPort& tPort) {
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    // The line is copied: a handler that answers on this port may not see it change under it.
    std::array<std::uint8_t, RSMC_LINE_SIZE> abyLine{};
    const std::uint16_t wLength = tPort.wLineLength;
    for (std::uint16_t i = 0; i < wLength; ++i) {
        abyLine[i] = static_cast<std::uint8_t>(tPort.szLine[i]);
    }
    tPort.wLineLength = 0;
    tPort.szLine[0] = '\0';
    const std::uint8_t byType =
        tPort.byCameraMode != 0 ? MDSC_MSG_CAMERA_REQUEST : MDSC_MSG_TERMINAL_REQUEST;
    (void)MdsExecuteMsgHandler(tPort.byChannelId, byType, wLength, abyLine.data());
    return tPort.dwGeneration == dwGeneration;
}

} // namespace

std::uint16_t RsmTransmitChars(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                               const std::uint8_t* pbyData) {
    if (wLength != 0 && pbyData == nullptr) {
        return RSMC_ERROR;
    }
    const RsmDriverOps& tDriver = RsmDriver();
    if (byMsgType == MDSC_MSG_TERMINAL_RESPONSE) {
        return tDriver.pfWrite(tPort.byComport, wLength, pbyData);
    }
    RsmWriteFrameHead(tPort, byMsgType, wLength);
    return tDriver.pfWrite(tPort.byComport, wLength, pbyData);
}

void RsmProcessChars(RsmPort& tPort) {
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    std::uint16_t wCount = 0;
    const std::uint16_t wRead = RsmReadLine(tPort, &wCount);
    if (wRead != 0 || wCount == 0) {
        return;
    }
    for (std::uint16_t i = 0; i < wCount && i < tPort.abyRead.size(); ++i) {
        const std::uint8_t byValue = tPort.abyRead[i];
        bool bOpen = true;
        switch (static_cast<RxState>(tPort.wRxState)) {
        case RxState::Idle:
            if (byValue == RSMC_CR) {
                const std::uint16_t n = tPort.wLineLength;
                tPort.szLine[n] = '\0';
                if (n >= 2 && static_cast<std::uint8_t>(tPort.szLine[n - 2]) == RSMC_ESC &&
                    static_cast<std::uint8_t>(tPort.szLine[n - 1]) == RSMC_DOLLAR) {
                    tPort.wLineLength = static_cast<std::uint16_t>(n - 2);
                    tPort.szLine[n - 2] = '\0';
                    tPort.wRxState = State(RxState::Type);
                } else {
                    bOpen = DeliverLine(tPort);
                }
            } else if (byValue == RSMC_BACKSPACE) {
                if (tPort.wLineLength > 0) {
                    tPort.szLine[--tPort.wLineLength] = '\0';
                }
            } else if (tPort.wLineLength < RSMC_LINE_MAX_CHARS) {
                tPort.szLine[tPort.wLineLength++] = static_cast<char>(byValue);
                tPort.szLine[tPort.wLineLength] = '\0';
            }
            break;
        case RxState::Type:
            tPort.byRxType = byValue;
            tPort.wRxState = State(RxState::LengthLow);
            break;
        case RxState::LengthLow:
            tPort.wRxLength = byValue;
            tPort.wRxState = State(RxState::LengthHigh);
            break;
        case RxState::LengthHigh:
            tPort.wRxLength = static_cast<std::uint16_t>(tPort.wRxLength | (byValue << 8));
            tPort.wLineLength = 0;
            tPort.szLine[0] = '\0';
            tPort.wRxCount = 0;
            tPort.rxBuffer.Release();
            if (tPort.wRxLength == 0) {
                // No data byte will follow: the empty message goes up at once.
                bOpen = RsmDeliverMessage(tPort);
            } else if (!tPort.rxBuffer.Reserve(tPort.wRxLength)) {
                RsmDropMessage(tPort);
            } else {
                tPort.wRxState = State(RxState::Data);
            }
            break;
        case RxState::Data:
            tPort.rxBuffer.Append(byValue);
            if (++tPort.wRxCount >= tPort.wRxLength) {
                bOpen = RsmDeliverMessage(tPort);
            }
            break;
        default:
            LogError("RsmProcessChars", 0, "Invalid state");
            RsmDropMessage(tPort);
            break;
        }
        if (!bOpen || tPort.dwGeneration != dwGeneration) {
            return;
        }
    }
}
