// IpmOip: the Oip protocol (receive state machine, heartbeat, held notifications).
#include "Communication/Ipm/IpmOip.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

using Bytes = std::unique_ptr<std::uint8_t[]>;

// One held-back message in wire form.
struct IpmOipQueueEntry {
    std::uint32_t dwLength = 0;
    Bytes pbyMsg;
};

// Private state of an Oip session.
struct IpmOipData {
    IpmOipState tState = IpmOipState::Type;
    std::uint16_t wReadPos = 0;    // next byte to decode in the receive buffer
    std::uint16_t wBodyLength = 0; // length field minus the header
    std::uint16_t wByteCount = 0;  // bytes gathered of the current field, body or skip
    std::uint8_t byMsgType = 0;    // byte 0 of the message word
    Bytes pbyBody;                 // body of the message being received
    std::uint32_t dwLastReceiveTime = 0;
    bool bReceived = false; // data have arrived: the receive time-out applies from now on
    std::array<std::uint32_t, 4> adwHeader{}; // message word, length, two reserved words
    std::uint32_t dwLastHeartbeatTime = 0;
    std::uint32_t dwHeartbeatInterval = IPMC_OIP_HEARTBEAT_INTERVAL;
    bool bRequestPending = false;
    std::uint16_t wQueueRead = 0;
    std::uint16_t wQueueWrite = 0;
    std::array<IpmOipQueueEntry, IPMC_OIP_QUEUE_SIZE> atQueue;
    std::uint32_t dwQueuedBytes = 0;
};

std::uint32_t nFailAllocations = 0;

Bytes Allocate(std::uint32_t dwSize) {
    if (nFailAllocations > 0) {
        --nFailAllocations;
        return nullptr;
    }
    return Bytes(new (std::nothrow) std::uint8_t[dwSize == 0 ? 1 : dwSize]);
}

IpmOipData* Data(IpmSessionData* ptSessionData) {
    return static_cast<IpmOipData*>(ptSessionData->pvProtocolData);
}

void PutWord(std::uint8_t* pbyTarget, std::uint32_t dwValue) {
    for (int i = 0; i < 4; ++i) {
        pbyTarget[i] = static_cast<std::uint8_t>(dwValue >> (8 * i));
    }
}

// Little-endian word at offset of a body of wLength bytes; missing bytes read as 0.
std::uint32_t BodyWord(const std::uint8_t* pbyBody, std::uint16_t wLength, std::uint16_t wOffset) {
    std::uint32_t dwValue = 0;
    for (std::uint16_t i = 0; i < 4; ++i) {
        if (pbyBody != nullptr && wOffset + i < wLength) {
            dwValue |= static_cast<std::uint32_t>(pbyBody[wOffset + i]) << (8 * i);
        }
    }
    return dwValue;
}

void WriteHeader(std::uint8_t* pbyTarget, std::uint32_t dwWord, std::uint32_t dwLength) {
    PutWord(pbyTarget, dwWord);
    PutWord(pbyTarget + 4, dwLength);
    PutWord(pbyTarget + 8, 0);
    PutWord(pbyTarget + 12, 0);
}

std::uint16_t QueueNext(std::uint16_t wIndex) {
    return static_cast<std::uint16_t>((wIndex + 1) % IPMC_OIP_QUEUE_SIZE);
}

// Tells the peer that the length it announced is invalid.
void SendLengthError(IpmSessionData* ptSessionData) {
    std::array<std::uint8_t, IPMC_OIP_ERROR_MESSAGE_SIZE> abyMsg{};
    WriteHeader(abyMsg.data(), IPMC_OIP_PROTOCOL_ERROR, IPMC_OIP_ERROR_MESSAGE_SIZE);
    PutWord(abyMsg.data() + 16, IPMC_OIP_ERROR_LENGTH);
    PutWord(abyMsg.data() + 20, IPMC_OIP_ERROR_POSITION);
    if (IpmSessionWrite(ptSessionData, abyMsg.data(), IPMC_OIP_ERROR_MESSAGE_SIZE) != IPSC_OK) {
        LogError("IpmOipProcess", 0, "Unable to send Protocol Error message");
    }
}

// Bytes of a rejected message still to skip. A length below the 8 bytes already read leaves
// nothing to skip.
std::uint16_t SkipRemaining(const IpmOipData* ptData) {
    const std::uint32_t dwLength = ptData->adwHeader[1];
    if (dwLength < IPMC_OIP_SKIP_BASE + ptData->wByteCount) {
        return 0;
    }
    return static_cast<std::uint16_t>(dwLength - IPMC_OIP_SKIP_BASE - ptData->wByteCount);
}

// A whole message has arrived: act on it. False when the session was closed meanwhile.
bool CompleteMessage(IpmSessionData* ptSessionData, IpmOipData* ptData) {
    ptData->tState = IpmOipState::Type;
    const std::uint32_t dwWord = ptData->adwHeader[0];
    const std::uint32_t dwGeneration = ptSessionData->dwGeneration;
    if (dwWord == IPMC_OIP_PROTOCOL_ERROR) {
        const std::uint8_t* pbyBody = ptData->pbyBody.get();
        LogError("IpmOipProcess", 0, "Protocol Error 0x%lX, errorposition %ld",
                 static_cast<unsigned long>(BodyWord(pbyBody, ptData->wBodyLength, 0)),
                 static_cast<long>(
                     static_cast<std::int32_t>(BodyWord(pbyBody, ptData->wBodyLength, 4))));
        IpmNotify(ptSessionData, IPMC_EVENT_MESSAGES_LOST);
        if (ptSessionData->dwGeneration != dwGeneration) {
            return false;
        }
    } else if (dwWord != IPMC_OIP_HEARTBEAT) {
        ptData->bRequestPending = true;
        // The body is taken out of the state so that it outlives a close made by the handler.
        const Bytes pbyBody = std::move(ptData->pbyBody);
        static const std::uint8_t byEmpty = 0;
        std::uint16_t wStatus = 0;
        if (!IpmDeliver(ptSessionData, ptData->byMsgType, ptData->wBodyLength,
                        pbyBody ? pbyBody.get() : &byEmpty, &wStatus)) {
            return false;
        }
    }
    IpmOipResetReceive(ptSessionData);
    return true;
}

// The length field is complete: a valid length makes room for the body, an invalid one is told
// to the peer and the message is skipped.
void TakeLength(IpmSessionData* ptSessionData, IpmOipData* ptData) {
    const std::uint32_t dwLength = ptData->adwHeader[1];
    if (dwLength < IPMC_OIP_HEADER_SIZE || dwLength > IPMC_OIP_MAX_LENGTH) {
        LogError("IpmOipProcess", 0, "Protocol Error: Length invalid");
        SendLengthError(ptSessionData);
        ptData->tState = IpmOipState::Skip;
        return;
    }
    ptData->wBodyLength = static_cast<std::uint16_t>(dwLength - IPMC_OIP_HEADER_SIZE);
    if (ptData->wBodyLength > 0) {
        ptData->pbyBody = Allocate(ptData->wBodyLength);
        if (!ptData->pbyBody) {
            // No room for the body: the message is skipped.
            LogError("IpmOipProcess", 0, "Allocation Failure");
            ptData->tState = IpmOipState::Skip;
        }
    }
}

// Gathers bytes of the header field the state names. True when the pass must go on even though
// every byte is decoded: a message (or skip) that has ended with its header.
bool DecodeHeaderField(IpmSessionData* ptSessionData, IpmOipData* ptData, const std::uint8_t* pbyIn,
                       std::uint32_t dwCount) {
    const auto nField = static_cast<std::size_t>(ptData->tState);
    const std::uint32_t dwTake =
        std::min<std::uint32_t>(4u - ptData->wByteCount, dwCount - ptData->wReadPos);
    for (std::uint32_t i = 0; i < dwTake; ++i) {
        ptData->adwHeader[nField] |= static_cast<std::uint32_t>(pbyIn[ptData->wReadPos])
                                     << (8 * ptData->wByteCount);
        ++ptData->wByteCount;
        ++ptData->wReadPos;
    }
    if (ptData->wByteCount < 4) {
        return false;
    }
    ptData->wByteCount = 0;
    ptData->tState = static_cast<IpmOipState>(nField + 1);
    if (nField == 0) {
        ptData->byMsgType = static_cast<std::uint8_t>(ptData->adwHeader[0] & 0xFFu);
    } else if (nField == 1) {
        TakeLength(ptSessionData, ptData);
        // A skip with nothing left to skip ends in this pass too.
        return ptData->tState == IpmOipState::Skip && ptData->wReadPos == dwCount;
    } else if (nField == 3) {
        return ptData->wReadPos == dwCount && ptData->wBodyLength == 0;
    }
    return false;
}

// Decodes the dwCount bytes of the receive buffer. False when the session was closed meanwhile.
bool Decode(IpmSessionData* ptSessionData, IpmOipData* ptData, std::uint32_t dwCount) {
    const std::uint8_t* pbyIn = ptSessionData->abyReceiveBuffer.data();
    bool bContinue = false;
    while (ptData->wReadPos < dwCount || bContinue) {
        bContinue = false;
        const std::uint32_t dwLeft = dwCount - ptData->wReadPos;
        switch (ptData->tState) {
        case IpmOipState::Type:
        case IpmOipState::Length:
        case IpmOipState::Reserved1:
        case IpmOipState::Reserved2:
            bContinue = DecodeHeaderField(ptSessionData, ptData, pbyIn, dwCount);
            break;
        case IpmOipState::Data: {
            const std::uint32_t dwTake =
                std::min<std::uint32_t>(ptData->wBodyLength - ptData->wByteCount, dwLeft);
            if (dwTake > 0) {
                std::memcpy(ptData->pbyBody.get() + ptData->wByteCount, pbyIn + ptData->wReadPos,
                            dwTake);
            }
            ptData->wByteCount = static_cast<std::uint16_t>(ptData->wByteCount + dwTake);
            ptData->wReadPos = static_cast<std::uint16_t>(ptData->wReadPos + dwTake);
            if (ptData->wByteCount == ptData->wBodyLength &&
                !CompleteMessage(ptSessionData, ptData)) {
                return false;
            }
            break;
        }
        case IpmOipState::Skip: {
            const std::uint16_t wRemaining = SkipRemaining(ptData);
            const std::uint32_t dwTake = std::min<std::uint32_t>(wRemaining, dwLeft);
            ptData->wReadPos = static_cast<std::uint16_t>(ptData->wReadPos + dwTake);
            ptData->wByteCount = static_cast<std::uint16_t>(ptData->wByteCount + dwTake);
            if (dwTake == wRemaining) {
                ptData->tState = IpmOipState::Type;
                IpmOipResetReceive(ptSessionData);
            }
            break;
        }
        default:
            LogError("IpmOipProcess", 0, "Invalid state");
            ptData->pbyBody.reset();
            ptData->wBodyLength = 0;
            ptData->wByteCount = 0;
            ptData->adwHeader = {};
            ptData->tState = IpmOipState::Type;
            break;
        }
    }
    return true;
}

} // namespace

std::uint16_t IpmOipInit(IpmSessionData* ptSessionData) {
    if (!LOG_CHECK(ptSessionData != NULL)) {
        return IPMC_ERROR;
    }
    if (nFailAllocations > 0) {
        --nFailAllocations;
        return IPMC_ERROR;
    }
    auto* ptData = new (std::nothrow) IpmOipData;
    if (ptData == nullptr) {
        return IPMC_ERROR;
    }
    ptSessionData->pvProtocolData = ptData;
    return IPMC_OK;
}

void IpmOipClose(IpmSessionData* ptSessionData) {
    if (LOG_CHECK(ptSessionData != NULL)) {
        IpmReleaseProtocolData<IpmOipData>(*ptSessionData); // held messages go unsent
    }
}

void IpmOipResetReceive(IpmSessionData* ptSessionData) {
    IpmOipData* ptData = Data(ptSessionData);
    LOG_CHECK_TEXT(IpmOipState::Type == ptData->tState,
                   "IpmOipState::IPMC_STATE_TYPE == ptData->tState", __FILE__);
    ptData->wBodyLength = 0;
    ptData->wByteCount = 0;
    ptData->adwHeader = {};
    ptData->pbyBody.reset();
    ptData->dwLastReceiveTime = OssGetTime();
}

std::uint16_t IpmOipSendHeartbeat(IpmSessionData* ptSessionData) {
    std::array<std::uint8_t, IPMC_OIP_HEADER_SIZE> abyMsg{};
    WriteHeader(abyMsg.data(), IPMC_OIP_HEARTBEAT, IPMC_OIP_HEADER_SIZE);
    return IpmSessionWrite(ptSessionData, abyMsg.data(), IPMC_OIP_HEADER_SIZE) == IPSC_OK
               ? IPMC_OK
               : IPMC_ERROR;
}

void IpmOipProcess(IpmSessionData* ptSessionData) {
    if (!LOG_CHECK(NULL != ptSessionData) || ptSessionData->pvProtocolData == nullptr) {
        return;
    }
    IpmOipData* ptData = Data(ptSessionData);
    std::uint32_t dwCount = 0;
    const std::uint16_t wRead = IpmSessionRead(
        ptSessionData, ptSessionData->abyReceiveBuffer.data(), IPMC_RECEIVE_BUFFER_SIZE, &dwCount);
    if (wRead == IPSC_OK && dwCount > 0) {
        ptData->dwLastReceiveTime = OssGetTime();
        ptData->bReceived = true;
        ptData->wReadPos = 0;
        if (!Decode(ptSessionData, ptData, dwCount)) {
            return;
        }
    } else if (wRead == IPSC_TRANSFER_ERROR) {
        ptData->tState = IpmOipState::Lost;
    }
    const std::uint32_t dwNow = OssGetTime();
    if (ptData->tState != IpmOipState::Lost && ptData->dwHeartbeatInterval != 0) {
        if (OssTimeDiff(dwNow, ptData->dwLastHeartbeatTime) > ptData->dwHeartbeatInterval) {
            ptData->dwLastHeartbeatTime = dwNow;
            if (IpmOipSendHeartbeat(ptSessionData) != IPMC_OK) {
                LogError("IpmOipProcess", 0, "Could not transmit heartbeat message, session %d",
                         ptSessionData->bySessionId);
                ptData->tState = IpmOipState::Lost;
            }
        }
        if (ptData->bReceived && OssTimeDiff(dwNow, ptData->dwLastReceiveTime) >
                                     IPMC_OIP_TIMEOUT_FACTOR * ptData->dwHeartbeatInterval) {
            ptData->tState = IpmOipState::Lost;
        }
    }
    if (ptData->tState == IpmOipState::Lost) {
        IpmNotify(ptSessionData, IPMC_EVENT_CONNECTION_LOST); // last action: may close the session
    } else if (ptData->dwHeartbeatInterval != 0) {
        // The next heartbeat, and the end of the peer's silence allowance once it has spoken.
        OssDeclareDeadline(ptData->dwLastHeartbeatTime + ptData->dwHeartbeatInterval + 1);
        if (ptData->bReceived) {
            OssDeclareDeadline(ptData->dwLastReceiveTime +
                               IPMC_OIP_TIMEOUT_FACTOR * ptData->dwHeartbeatInterval + 1);
        }
    }
}

std::uint16_t IpmOipSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                         std::uint16_t wMsgLen, const std::uint8_t* pMsg) {
    const bool bSession = LOG_CHECK(NULL != ptSessionData);
    const bool bLength = LOG_CHECK(0 != wMsgLen);
    if (!LOG_CHECK(NULL != pMsg) || !bSession || !bLength ||
        ptSessionData->pvProtocolData == nullptr) {
        return IPMC_ERROR;
    }
    IpmOipData* ptData = Data(ptSessionData);
    const std::uint32_t dwWireSize = wMsgLen + IPMC_OIP_HEADER_SIZE;
    if (dwWireSize > IPMC_OIP_MAX_LENGTH) {
        // The peer would reject it as an invalid length.
        LogError("IpmOipSend", IPMC_ERROR, "Message too long, length %u", wMsgLen);
        return IPMC_ERROR;
    }
    const bool bFlush = byMsgType == MDSC_MSG_RFS_RESPONSE && ptData->bRequestPending &&
                        ptData->wQueueRead != ptData->wQueueWrite;
    const std::uint32_t dwSize = dwWireSize + (bFlush ? ptData->dwQueuedBytes : 0);
    Bytes pbyBuffer = Allocate(dwSize);
    if (!pbyBuffer) {
        return IPMC_ERROR;
    }
    const std::uint32_t dwWord = byMsgType | static_cast<std::uint32_t>(pMsg[0]) << 8 |
                                 static_cast<std::uint32_t>(wMsgLen > 1 ? pMsg[1] : 0) << 16 |
                                 static_cast<std::uint32_t>(IPMC_OIP_CLASS) << 24;
    WriteHeader(pbyBuffer.get(), dwWord, dwWireSize);
    std::memcpy(pbyBuffer.get() + IPMC_OIP_HEADER_SIZE, pMsg, wMsgLen);

    Bytes pbyWrite;
    std::uint32_t dwWriteSize = 0;
    if (bFlush) {
        std::uint32_t dwOffset = dwWireSize;
        while (ptData->wQueueRead != ptData->wQueueWrite) {
            IpmOipQueueEntry& tEntry = ptData->atQueue[ptData->wQueueRead];
            std::memcpy(pbyBuffer.get() + dwOffset, tEntry.pbyMsg.get(), tEntry.dwLength);
            dwOffset += tEntry.dwLength;
            tEntry = IpmOipQueueEntry{};
            ptData->wQueueRead = QueueNext(ptData->wQueueRead);
        }
        ptData->dwQueuedBytes = 0;
        pbyWrite = std::move(pbyBuffer);
        dwWriteSize = dwSize;
    } else if (byMsgType == MDSC_MSG_PC_NOTIFY && ptData->bRequestPending) {
        if (QueueNext(ptData->wQueueWrite) == ptData->wQueueRead) {
            // Full: the oldest held message goes out now to make room.
            IpmOipQueueEntry& tOldest = ptData->atQueue[ptData->wQueueRead];
            ptData->dwQueuedBytes -= tOldest.dwLength;
            dwWriteSize = tOldest.dwLength;
            pbyWrite = std::move(tOldest.pbyMsg);
            tOldest = IpmOipQueueEntry{};
            ptData->wQueueRead = QueueNext(ptData->wQueueRead);
        }
        IpmOipQueueEntry& tNew = ptData->atQueue[ptData->wQueueWrite];
        tNew.dwLength = dwWireSize;
        tNew.pbyMsg = std::move(pbyBuffer);
        ptData->dwQueuedBytes += dwWireSize;
        ptData->wQueueWrite = QueueNext(ptData->wQueueWrite);
    } else {
        pbyWrite = std::move(pbyBuffer);
        dwWriteSize = dwWireSize;
    }
    std::uint16_t wStatus = IPMC_OK;
    if (pbyWrite && IpmSessionWrite(ptSessionData, pbyWrite.get(), dwWriteSize) != IPSC_OK) {
        wStatus = IPMC_ERROR;
    }
    if (byMsgType == MDSC_MSG_RFS_RESPONSE) {
        ptData->bRequestPending = false;
    }
    return wStatus;
}

void IpmOipFailAllocationsForTest(std::uint32_t nCount) {
    nFailAllocations = nCount;
}
