// Full framing protocol, receive side: the receive state machine with the escape flag, delivery
// of a frame's message blocks without repeating a retransmitted one, heartbeat and silence
// supervision.
#include "Communication/Rsm/RsmPriv.h"

#include <utility>

#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

// Receive states.
enum class RxState : std::uint16_t {
    Idle = 0,
    Kind = 1,
    Sequence = 2,
    FirstType = 3,
    FirstLengthLow = 4,
    FirstLengthHigh = 5,
    FirstData = 6,
    Checksum = 7,
    Continuation = 8,
    NextType = 9,
    NextLengthLow = 10,
    NextLengthHigh = 11,
    NextData = 12,
};

constexpr std::uint16_t State(RxState tState) {
    return static_cast<std::uint16_t>(tState);
}

// Fingerprint of a received frame's blocks (FNV-1a over type, length and data of each block).
std::uint32_t BlocksHash(RsmMsgBuffer& rBlocks) {
    std::uint32_t dwHash = 2166136261u;
    const std::uint8_t* pbyData = rBlocks.Data();
    for (std::size_t w = 0; pbyData != nullptr && w < rBlocks.Size(); ++w) {
        dwHash = (dwHash ^ pbyData[w]) * 16777619u;
    }
    return dwHash;
}

// True when a data frame is the last delivered one sent again: the same sequence and the same
// blocks while the peer may still be retrying it. This holds across a reset request, which in the
// start-up exchange can arrive after the frame was delivered and before its retransmission. A
// peer that starts over sends its reset request and its first frame in one go, whereas a
// retransmission comes a retry time after the frame was sent before: a frame that begins within
// half a retry time of a reset request is a new one, whatever it holds.
bool IsKeptDelivery(const RsmFullState& tFull, std::uint8_t bySequence, std::uint16_t wLength,
                    std::uint32_t dwHash) {
    if (tFull.bResetSeen != 0 &&
        tFull.dwFrameStart - tFull.dwResetTime < tFull.dwRetryMs / RSMC_FRESH_START_DIVISOR) {
        return false;
    }
    return tFull.bDeliveredKept != 0 && !OssTimeReached(tFull.dwDeliveredUntil) &&
           tFull.byDeliveredSequence == bySequence && tFull.wDeliveredLength == wLength &&
           tFull.dwDeliveredHash == dwHash;
}

// Remembers a delivered frame for as long as the peer's retries of it can arrive: every retry
// after its retry time, plus the frame's time on the line, and a second to spare.
void KeepDelivery(RsmFullState& tFull, const RsmPort& tPort, std::uint8_t bySequence,
                  std::uint16_t wLength, std::uint32_t dwHash) {
    std::uint32_t dwLineTime = 0;
    if (tPort.dwBaudrate != 0) {
        dwLineTime = (2u * wLength + 6u) * RSMC_LINE_BITS_PER_BYTE * 1000u / tPort.dwBaudrate;
    }
    const std::uint32_t dwSpan =
        (tFull.tParams.NrRetries + 1u) * (tFull.dwRetryMs + dwLineTime) + RSMC_KEEP_MARGIN_MS;
    tFull.bDeliveredKept = 1;
    tFull.byDeliveredSequence = bySequence;
    tFull.wDeliveredLength = wLength;
    tFull.dwDeliveredHash = dwHash;
    tFull.dwDeliveredUntil = OssGetTime() + dwSpan;
}

// Delivers every message block of a good data frame. False when the port was closed meanwhile.
bool DeliverBlocks(RsmPort& tPort) {
    // The buffer is taken out of the record: a handler that closes the port frees nothing in use.
    RsmMsgBuffer tBlocks = std::move(tPort.rxBuffer);
    tPort.rxBuffer.Release();
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    const std::uint8_t byChannelId = tPort.byChannelId;
    const std::uint8_t* pbyData = tBlocks.Data();
    const std::size_t wSize = tBlocks.Size();
    std::size_t wPos = 0;
    while (pbyData != nullptr && wPos + 3 <= wSize) {
        const std::uint8_t byType = pbyData[wPos];
        const auto wLen = static_cast<std::uint16_t>(pbyData[wPos + 1] | (pbyData[wPos + 2] << 8));
        if (wPos + 3 + wLen > wSize) {
            break; // cannot happen for a buffer built by the receiver; never read past it
        }
        const std::uint8_t* pbyBlock = wLen != 0 ? pbyData + wPos + 3 : nullptr;
        const std::uint16_t wResult = MdsExecuteMsgHandler(byChannelId, byType, wLen, pbyBlock);
        if (tPort.dwGeneration != dwGeneration) {
            return false;
        }
        if (wResult != 0) {
            const std::uint8_t byFirst = wLen > 0 ? pbyBlock[0] : 0;
            const std::uint8_t bySecond = wLen > 1 ? pbyBlock[1] : 0;
            LogError("RsmFullProcess", wResult, "Type=%u, buflen=%u, FirstWord=0x%02X%02X",
                     static_cast<unsigned>(byType), static_cast<unsigned>(wLen),
                     static_cast<unsigned>(byFirst), static_cast<unsigned>(bySecond));
        }
        wPos += 3u + wLen;
    }
    return true;
}

// The checksum byte of a frame. False when the port was closed meanwhile.
bool FrameComplete(RsmPort& tPort, std::uint8_t byValue) {
    RsmFullState& tFull = tPort.tFull;
    const std::uint8_t bySequence = tFull.byRxSequence;
    bool bOpen = true;
    if (byValue != static_cast<std::uint8_t>(~tPort.byRxChecksum)) {
        ++tFull.tStatistics.wInvalidChecksums;
        if (tFull.byFrameKind == RSMC_KIND_DATA) {
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_NAK, bySequence);
        }
        RsmDropMessage(tPort);
        return true;
    }
    switch (tFull.byFrameKind) {
    case RSMC_KIND_NAK:
        ++tFull.tStatistics.wNackReceived;
        tPort.rxBuffer.Release();
        (void)RsmFullTxEvent(tPort, RSMC_KIND_NAK, bySequence);
        break;
    case RSMC_KIND_DATA: {
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_ACK, bySequence);
        const auto byDistance = static_cast<std::uint8_t>((bySequence - tFull.byExpectedSequence) %
                                                          RSMC_SEQUENCE_MODULO);
        if (byDistance >= RSMC_WINDOW) {
            break; // an old frame: acknowledged again, nothing more
        }
        const auto wSize = static_cast<std::uint16_t>(tPort.rxBuffer.Size());
        const std::uint32_t dwHash = BlocksHash(tPort.rxBuffer);
        const bool bRepeated = IsKeptDelivery(tFull, bySequence, wSize, dwHash);
        tFull.bResetSeen = 0;
        if (bySequence == tFull.byLastDelivered || bRepeated) {
            LogWarning("Rsm Rx", bySequence, "Discarding data package");
        } else {
            const std::uint32_t dwGeneration = tPort.dwGeneration;
            bOpen = DeliverBlocks(tPort);
            if (!bOpen || tPort.dwGeneration != dwGeneration) {
                return false;
            }
            tFull.byLastDelivered = bySequence;
            KeepDelivery(tFull, tPort, bySequence, wSize, dwHash);
        }
        tFull.byExpectedSequence =
            static_cast<std::uint8_t>((bySequence + 1) % RSMC_SEQUENCE_MODULO);
        break;
    }
    case RSMC_KIND_SYNC:
        if ((bySequence & RSMC_SYNC_RESET) != 0) {
            tFull.byLastDelivered = RSMC_NO_SEQUENCE;
            tFull.bResetSeen = 1;
            tFull.dwResetTime = OssGetTime();
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, tFull.byCurrentTxSequence);
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, tFull.byCurrentTxSequence);
        } else {
            tFull.byExpectedSequence = bySequence;
            (void)RsmFullTxEvent(tPort, RSMC_KIND_SYNC, bySequence);
            if (tFull.bConnected == 0) {
                tFull.bConnected = 1;
                bOpen = RsmFullNotify(tPort, RSMC_EVENT_ESTABLISHED);
            }
        }
        break;
    case RSMC_KIND_ACK:
        (void)RsmFullTxEvent(tPort, RSMC_KIND_ACK, bySequence);
        break;
    default:
        break;
    }
    if (!bOpen) {
        return false;
    }
    tFull.dwLastReception = OssGetTime();
    RsmDropMessage(tPort);
    return true;
}

// Starts a message block's buffer space after its length. False when the frame was dropped.
bool StartBlock(RsmPort& tPort, bool bFirst) {
    RsmFullState& tFull = tPort.tFull;
    if (tPort.wRxLength >= RSMC_MAX_MSG_LENGTH) {
        ++tFull.tStatistics.wInvalidFrameLength;
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_NAK, tFull.byRxSequence);
        RsmDropMessage(tPort);
        return false;
    }
    if (bFirst) {
        tPort.rxBuffer.Release();
    }
    // A frame whose blocks together exceed the buffer limit is refused like one without memory.
    if (!tPort.rxBuffer.Reserve(tPort.rxBuffer.Size() + tPort.wRxLength + 3u)) {
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_NAK, tFull.byRxSequence);
        RsmDropMessage(tPort);
        return false;
    }
    tPort.rxBuffer.Append(tPort.byRxType);
    tPort.rxBuffer.Append(static_cast<std::uint8_t>(tPort.wRxLength & 0xFF));
    tPort.rxBuffer.Append(static_cast<std::uint8_t>(tPort.wRxLength >> 8));
    tPort.wRxCount = 0;
    return true;
}

// One byte through the receive state machine. False when the port was closed meanwhile.
bool RunStateMachine(RsmPort& tPort, std::uint8_t byValue) {
    const auto tState = static_cast<RxState>(tPort.wRxState);
    if (tState != RxState::Idle && tState != RxState::Kind && tState != RxState::Checksum) {
        tPort.byRxChecksum = static_cast<std::uint8_t>(tPort.byRxChecksum + byValue);
    }
    switch (tState) {
    case RxState::Idle:
        break;
    case RxState::Kind:
        tPort.wRxState = State(RxState::Sequence);
        break;
    case RxState::Sequence:
        tPort.tFull.byRxSequence = byValue;
        tPort.wRxState = State(tPort.tFull.byFrameKind == RSMC_KIND_DATA ? RxState::FirstType
                                                                         : RxState::Continuation);
        break;
    case RxState::FirstType:
    case RxState::NextType:
        tPort.byRxType = byValue;
        tPort.wRxState =
            State(tState == RxState::FirstType ? RxState::FirstLengthLow : RxState::NextLengthLow);
        break;
    case RxState::FirstLengthLow:
    case RxState::NextLengthLow:
        tPort.wRxLength = byValue;
        tPort.wRxState = State(tState == RxState::FirstLengthLow ? RxState::FirstLengthHigh
                                                                 : RxState::NextLengthHigh);
        break;
    case RxState::FirstLengthHigh:
    case RxState::NextLengthHigh: {
        tPort.wRxLength = static_cast<std::uint16_t>(tPort.wRxLength | (byValue << 8));
        const bool bFirst = tState == RxState::FirstLengthHigh;
        if (StartBlock(tPort, bFirst)) {
            tPort.wRxState =
                State(tPort.wRxLength == 0 ? RxState::Continuation
                                           : (bFirst ? RxState::FirstData : RxState::NextData));
        }
        break;
    }
    case RxState::FirstData:
    case RxState::NextData:
        tPort.rxBuffer.Append(byValue);
        if (++tPort.wRxCount >= tPort.wRxLength) {
            tPort.wRxState = State(RxState::Continuation);
        }
        break;
    case RxState::Continuation:
        tPort.wRxState = State(byValue == RSMC_CONTINUE ? RxState::NextType : RxState::Checksum);
        break;
    case RxState::Checksum:
        return FrameComplete(tPort, byValue);
    default:
        LogError("RsmFullProcess", 0, "Invalid state");
        RsmDropMessage(tPort);
        break;
    }
    return true;
}

bool IsStuffedState(std::uint16_t wState) {
    return wState == State(RxState::FirstLengthLow) || wState == State(RxState::FirstData) ||
           wState == State(RxState::NextLengthLow) || wState == State(RxState::NextData);
}

// Byte pre-processing: the escape flag, frame starts and stuffed pairs. False when closed.
bool ReceiveByte(RsmPort& tPort, std::uint8_t byValue) {
    RsmFullState& tFull = tPort.tFull;
    if (byValue == RSMC_FRAME_START) {
        if (tFull.bEscape == 0) {
            tFull.bEscape = 1;
            return true;
        }
        if (!IsStuffedState(tPort.wRxState)) {
            return true; // dropped; the flag stays set
        }
        tFull.bEscape = 0;
        tPort.byRxChecksum = static_cast<std::uint8_t>(tPort.byRxChecksum + RSMC_FRAME_START);
        return RunStateMachine(tPort, byValue);
    }
    if (tFull.bEscape != 0) {
        tFull.bEscape = 0;
        if (RsmIsFrameKind(byValue)) {
            RsmDropMessage(tPort);
            tFull.byFrameKind = byValue;
            tFull.dwFrameStart = OssGetTime();
            tPort.byRxChecksum = static_cast<std::uint8_t>(RSMC_FRAME_START + byValue);
            tPort.wRxState = State(RxState::Kind);
        } else {
            RsmDropMessage(tPort);
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_NAK, 0);
        }
    }
    return RunStateMachine(tPort, byValue);
}

} // namespace

void RsmFullSetup(RsmPort& tPort, RsmNotify pfNotify) {
    RsmFullState& tFull = tPort.tFull;
    for (auto& tFrame : tFull.queue) {
        tFrame = RsmFrame{};
    }
    tFull.pfNotify = pfNotify;
    tFull.tStatistics = RsmStatistics{};
    tFull.wQueueRead = 0;
    tFull.wQueueWrite = 0;
    tFull.byNextTxSequence = 0;
    tFull.byCurrentTxSequence = 0;
    tFull.byLastDelivered = RSMC_NO_SEQUENCE;
    tFull.bDeliveredKept = 0;
    tFull.bResetSeen = 0;
    tFull.tParams =
        RsmCommParams{RSMC_DEFAULT_HEARTBEAT, RSMC_DEFAULT_RETRIES, RSMC_DEFAULT_RETRY_TIME, 0};
    tFull.dwHeartbeatMs = RSMC_DEFAULT_HEARTBEAT * 1000u;
    tFull.dwRetryMs = RSMC_DEFAULT_RETRY_TIME * 1000u;
    tFull.wRetriesLeft = RSMC_DEFAULT_RETRIES;
    tFull.dwAckDeadline = 0;
    tFull.bConnected = 0;
    tFull.bEscape = 0;
    tFull.dwLastSyncSent = OssGetTime();
    tFull.dwLastReception = OssGetTime();
}

void RsmFullProcess(RsmPort& tPort) {
    RsmFullState& tFull = tPort.tFull;
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    std::uint16_t wCount = 0;
    const std::uint16_t wRead = RsmReadLine(tPort, &wCount);
    const std::uint32_t dwNow = OssGetTime();
    if (wRead == 0 && wCount > 0) {
        tFull.dwLastReception = dwNow;
        for (std::uint16_t i = 0; i < wCount && i < tPort.abyRead.size(); ++i) {
            if (!ReceiveByte(tPort, tPort.abyRead[i]) || tPort.dwGeneration != dwGeneration) {
                return;
            }
        }
    } else if (tPort.wRxState != 0 &&
               OssTimeDiff(dwNow, tFull.dwLastReception) > RSMC_RX_TIMEOUT_MS) {
        ++tFull.tStatistics.wTimeouts;
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_NAK, tFull.byRxSequence);
        RsmDropMessage(tPort);
    }
    if (tFull.dwAckDeadline != 0 && OssTimeDiff(dwNow, tFull.dwAckDeadline) > 0) {
        (void)RsmFullTxEvent(tPort, RSMC_EVENT_ACK_TIMEOUT, tFull.byCurrentTxSequence);
        if (tPort.dwGeneration != dwGeneration) {
            return;
        }
    }
    if (tFull.bConnected != 0 && tFull.dwHeartbeatMs != 0) {
        if (OssTimeDiff(dwNow, tFull.dwLastSyncSent) > tFull.dwHeartbeatMs) {
            tFull.dwLastSyncSent = dwNow;
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, tFull.byCurrentTxSequence);
        }
        if (OssTimeDiff(dwNow, tFull.dwLastReception) > 2u * tFull.dwHeartbeatMs) {
            ++tFull.tStatistics.wCommLosts;
            RsmFullReset(tPort);
        }
    }
    // Each rule above fires once its time is passed by more than the limit, hence the + 1.
    if (tPort.wRxState != 0) {
        OssDeclareDeadline(tFull.dwLastReception + RSMC_RX_TIMEOUT_MS + 1);
    }
    if (tFull.dwAckDeadline != 0) {
        OssDeclareDeadline(tFull.dwAckDeadline + 1);
    }
    if (tFull.bConnected != 0 && tFull.dwHeartbeatMs != 0) {
        OssDeclareDeadline(tFull.dwLastSyncSent + tFull.dwHeartbeatMs + 1);
        OssDeclareDeadline(tFull.dwLastReception + 2u * tFull.dwHeartbeatMs + 1);
    }
}
