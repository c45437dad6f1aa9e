// Simple framing protocol: one checksummed frame per message, the NAK message on a bad frame,
// the short NAK form, and abandonment of a frame after 100 ms of silence.
#include "Communication/Rsm/RsmPriv.h"

#include <array>

#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

using RxState = RsmFrameState;

constexpr std::uint16_t State(RxState tState) {
    return RsmStateOf(tState);
}

constexpr std::array<std::uint8_t, 7> RSMC_NAK_MESSAGE = {
    RSMC_ESC, RSMC_DOLLAR, RSMC_CR, MDSC_MSG_NAK, 0x00, 0x00, 0xB1};

void SendNak(const RsmPort& tPort) {
    (void)RsmDriver().pfWrite(tPort.byComport, RSMC_NAK_MESSAGE.size(), RSMC_NAK_MESSAGE.data());
}

void Add(RsmPort& tPort, std::uint8_t byValue) {
    tPort.byRxChecksum = static_cast<std::uint8_t>(tPort.byRxChecksum + byValue);
}

} // namespace

void RsmWriteFrameHead(const RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength) {
    const std::array<std::uint8_t, 3> abyHeader = {RSMC_ESC, RSMC_DOLLAR, RSMC_CR};
    const std::array<std::uint8_t, 2> abyLength = {static_cast<std::uint8_t>(wLength & 0xFF),
                                                   static_cast<std::uint8_t>(wLength >> 8)};
    const RsmDriverOps& tDriver = RsmDriver();
    (void)tDriver.pfWrite(tPort.byComport, abyHeader.size(), abyHeader.data());
    (void)tDriver.pfWrite(tPort.byComport, 1, &byMsgType);
    (void)tDriver.pfWrite(tPort.byComport, abyLength.size(), abyLength.data());
}

std::uint16_t RsmTransmitMessage(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                                 const std::uint8_t* pbyData) {
    if (wLength != 0 && pbyData == nullptr) {
        return RSMC_ERROR;
    }
    std::uint8_t bySum = static_cast<std::uint8_t>(RSMC_SIMPLE_HEADER_SUM + byMsgType +
                                                   (wLength & 0xFF) + (wLength >> 8));
    for (std::uint16_t i = 0; i < wLength; ++i) {
        bySum = static_cast<std::uint8_t>(bySum + pbyData[i]);
    }
    const std::uint8_t byChecksum = static_cast<std::uint8_t>(~bySum);
    const RsmDriverOps& tDriver = RsmDriver();
    RsmWriteFrameHead(tPort, byMsgType, wLength);
    (void)tDriver.pfWrite(tPort.byComport, wLength, pbyData);
    return tDriver.pfWrite(tPort.byComport, 1, &byChecksum);
}

namespace {

// A frame partly received is abandoned once the line has been silent longer than the time-out.
void DeclareFrameTimeout(const RsmPort& tPort) {
    if (tPort.wRxState != 0) {
        OssDeclareDeadline(tPort.dwLastRx + RSMC_RX_TIMEOUT_MS + 1);
    }
}

} // namespace

namespace {

// The frame start 1B 24 0D; any other byte in it goes back to idle.
void StartByte(RsmPort& tPort, std::uint8_t byValue) {
    switch (static_cast<RxState>(tPort.wRxState)) {
    case RxState::Idle:
        if (byValue == RSMC_ESC) {
            tPort.byRxChecksum = RSMC_ESC;
            tPort.wRxState = State(RxState::Dollar);
        }
        break;
    case RxState::Dollar:
    case RxState::Return: {
        const bool bDollar = tPort.wRxState == State(RxState::Dollar);
        if (byValue == (bDollar ? RSMC_DOLLAR : RSMC_CR)) {
            Add(tPort, byValue);
            tPort.wRxState = State(bDollar ? RxState::Return : RxState::Type);
        } else {
            tPort.wRxState = State(RxState::Idle);
        }
        break;
    }
    default:
        break;
    }
}

// The length is complete: room for the data, or the frame is refused.
void StartData(RsmPort& tPort) {
    tPort.wRxCount = 0;
    if (tPort.wRxLength >= RSMC_MAX_MSG_LENGTH) {
        SendNak(tPort);
        RsmDropMessage(tPort);
    } else if (tPort.wRxLength == 0) {
        tPort.rxBuffer.Release();
        tPort.wRxState = State(RxState::Checksum);
    } else {
        tPort.rxBuffer.Release();
        if (!tPort.rxBuffer.Reserve(tPort.wRxLength)) {
            SendNak(tPort);
            RsmDropMessage(tPort);
        } else {
            tPort.wRxState = State(RxState::Data);
        }
    }
}

// One received byte through the receive states. False when the port was closed meanwhile.
bool ReceiveByte(RsmPort& tPort, std::uint8_t byValue) {
    switch (static_cast<RxState>(tPort.wRxState)) {
    case RxState::Idle:
    case RxState::Dollar:
    case RxState::Return:
        StartByte(tPort, byValue);
        break;
    case RxState::Type:
        tPort.byRxType = byValue;
        Add(tPort, byValue);
        tPort.wRxState = State(RxState::LengthLow);
        break;
    case RxState::LengthLow:
        if (tPort.byRxType == MDSC_MSG_NAK &&
            byValue == static_cast<std::uint8_t>(~tPort.byRxChecksum)) {
            // The short NAK: its checksum comes where the length would.
            tPort.wRxLength = 0;
            return RsmDeliverMessage(tPort);
        }
        tPort.wRxLength = byValue;
        Add(tPort, byValue);
        tPort.wRxState = State(RxState::LengthHigh);
        break;
    case RxState::LengthHigh:
        tPort.wRxLength = static_cast<std::uint16_t>(tPort.wRxLength | (byValue << 8));
        Add(tPort, byValue);
        StartData(tPort);
        break;
    case RxState::Data:
        tPort.rxBuffer.Append(byValue);
        Add(tPort, byValue);
        if (++tPort.wRxCount >= tPort.wRxLength) {
            tPort.wRxState = State(RxState::Checksum);
        }
        break;
    case RxState::Checksum:
        if (byValue == static_cast<std::uint8_t>(~tPort.byRxChecksum)) {
            return RsmDeliverMessage(tPort);
        }
        SendNak(tPort);
        RsmDropMessage(tPort);
        break;
    default:
        LogError("RsmProcessMessages", 0, "Invalid state");
        RsmDropMessage(tPort);
        break;
    }
    return true;
}

} // namespace

void RsmProcessMessages(RsmPort& tPort) {
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    std::uint16_t wCount = 0;
    const std::uint16_t wRead = RsmReadLine(tPort, &wCount);
    const std::uint32_t dwNow = OssGetTime();
    if (wRead != 0 || wCount == 0) {
        if (tPort.wRxState != 0 && OssTimeDiff(dwNow, tPort.dwLastRx) > RSMC_RX_TIMEOUT_MS) {
            if (tPort.wRxState >= State(RxState::Type)) {
                SendNak(tPort);
            }
            RsmDropMessage(tPort);
        }
        DeclareFrameTimeout(tPort);
        return;
    }
    tPort.dwLastRx = dwNow;
    for (std::uint16_t i = 0; i < wCount && i < tPort.abyRead.size(); ++i) {
        if (!ReceiveByte(tPort, tPort.abyRead[i]) || tPort.dwGeneration != dwGeneration) {
            return;
        }
    }
    DeclareFrameTimeout(tPort);
}
