// The port record's services to the protocols: the growable message buffer, reading the line,
// and dropping or delivering the message being received.
#include <cstring>
#include <new>
#include <utility>

#include "Communication/Rsm/RsmPriv.h"
#include "Runtime/Mds.h"

bool RsmMsgBuffer::Reserve(std::size_t wSize) {
    if (wSize > RSMC_MSG_BUFFER_LIMIT) {
        return false;
    }
    if (wSize <= wCapacity_) {
        return true;
    }
    std::unique_ptr<std::uint8_t[]> pbyNew(new (std::nothrow) std::uint8_t[wSize]);
    if (!pbyNew) {
        return false;
    }
    if (wSize_ != 0) {
        std::memcpy(pbyNew.get(), pbyData_.get(), wSize_);
    }
    pbyData_ = std::move(pbyNew);
    wCapacity_ = wSize;
    return true;
}

bool RsmMsgBuffer::Append(std::uint8_t byValue) {
    if (wSize_ >= wCapacity_) {
        return false;
    }
    pbyData_[wSize_++] = byValue;
    return true;
}

void RsmMsgBuffer::Release() {
    pbyData_.reset();
    wCapacity_ = 0;
    wSize_ = 0;
}

std::uint16_t RsmReadLine(RsmPort& tPort, std::uint16_t* pwCount) {
    *pwCount = 0;
    const std::uint16_t wStatus =
        RsmDriver().pfRead(tPort.byComport, RSMC_READ_BUFFER_SIZE, tPort.abyRead.data(), pwCount);
    if (wStatus == RSMC_READ_HUNG_UP && tPort.byLineLost == 0) {
        tPort.byLineLost = 1;
    }
    return wStatus;
}

void RsmDropMessage(RsmPort& tPort) {
    tPort.rxBuffer.Release();
    tPort.wRxLength = 0;
    tPort.wRxCount = 0;
    tPort.wRxState = 0;
}

bool RsmDeliverMessage(RsmPort& tPort) {
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    RsmMsgBuffer tMessage = std::move(tPort.rxBuffer); // a closing handler frees nothing in use
    tPort.rxBuffer.Release();
    const std::uint16_t wLength = tPort.wRxLength;
    RsmDropMessage(tPort);
    (void)MdsExecuteMsgHandler(tPort.byChannelId, tPort.byRxType, wLength,
                               wLength != 0 ? tMessage.Data() : nullptr);
    return tPort.dwGeneration == dwGeneration;
}
