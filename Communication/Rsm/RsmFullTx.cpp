// Full framing protocol, transmit side: frame building with 0xC8 stuffing and the pad rule, the
// control frames, the transmit queue with packing and retransmission, and the reset of a link.
#include <new>
#include <utility>

#include "Communication/Rsm/RsmPriv.h"
#include "Runtime/Log.h"
#include "Runtime/Oss.h"

namespace {

// Appends bytes to a frame under construction and keeps the byte sum of what was written.
struct FrameWriter {
    std::uint8_t* pbyOut;
    std::uint16_t wLength;
    std::uint8_t bySum;

    void Put(std::uint8_t byValue) {
        pbyOut[wLength++] = byValue;
        bySum = static_cast<std::uint8_t>(bySum + byValue);
    }
    void PutStuffed(std::uint8_t byValue) {
        Put(byValue);
        if (byValue == RSMC_FRAME_START) {
            Put(byValue);
        }
    }
    // One message block (type, length, data) without its continuation byte.
    void PutBlock(std::uint8_t byMsgType, std::uint16_t wLen, const std::uint8_t* pbyData) {
        Put(byMsgType);
        PutStuffed(static_cast<std::uint8_t>(wLen & 0xFF));
        Put(static_cast<std::uint8_t>(wLen >> 8));
        for (std::uint16_t i = 0; i < wLen; ++i) {
            PutStuffed(pbyData[i]);
        }
    }
    // Last continuation byte (0x00 or the pad) and the checksum.
    void Finish() {
        Put(bySum == RSMC_PAD_TRIGGER ? RSMC_PAD : 0x00);
        const auto byChecksum = static_cast<std::uint8_t>(~bySum);
        pbyOut[wLength++] = byChecksum;
    }
};

// Most bytes a block of wLen data bytes can take on the line, continuation byte included.
constexpr std::uint32_t MaxBlockBytes(std::uint16_t wLen) {
    return 2u * wLen + 5u;
}

std::uint16_t Queued(const RsmFullState& tFull) {
    return static_cast<std::uint16_t>(tFull.wQueueWrite - tFull.wQueueRead);
}

RsmFrame& Slot(RsmFullState& tFull, std::uint16_t wIndex) {
    return tFull.queue[wIndex % RSMC_QUEUE_SIZE];
}

std::uint16_t WriteBytes(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData) {
    return RsmDriver().pfWrite(tPort.byComport, wCount, pbyData);
}

void Purge(const RsmPort& tPort) {
    (void)RsmDriver().pfPurge(tPort.byComport);
}

} // namespace

bool RsmFullNotify(RsmPort& tPort, std::uint16_t wEvent) {
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    const RsmNotify pfNotify = tPort.tFull.pfNotify;
    if (pfNotify != nullptr) {
        pfNotify(wEvent, tPort.byChannelId);
    }
    return tPort.dwGeneration == dwGeneration;
}

namespace {

// Acknowledgement deadline of a frame: the retry time plus its time on the line.
void StartAckTimer(RsmPort& tPort, const RsmFrame& tFrame) {
    std::uint32_t dwLineTime = 0;
    if (tPort.dwBaudrate != 0) {
        dwLineTime = static_cast<std::uint32_t>(tFrame.wLength) * RSMC_LINE_BITS_PER_BYTE * 1000u /
                     tPort.dwBaudrate;
    }
    std::uint32_t dwDeadline = OssGetTime() + tPort.tFull.dwRetryMs + dwLineTime;
    tPort.tFull.dwAckDeadline = dwDeadline != 0 ? dwDeadline : 1; // 0 means "not waiting"
}

// Frees the oldest frame and moves the queue on by one.
void DropOldest(RsmFullState& tFull) {
    RsmFrame& tFrame = Slot(tFull, tFull.wQueueRead);
    tFrame.pbyBytes.reset();
    tFrame.wLength = 0;
    tFrame.wCapacity = 0;
    tFrame.bSent = 0;
    tFull.byCurrentTxSequence =
        static_cast<std::uint8_t>((tFull.byCurrentTxSequence + 1) % RSMC_SEQUENCE_MODULO);
    ++tFull.wQueueRead;
}

// Appends a message to an unsent frame: its last continuation byte becomes 0x01, the block
// follows with a new last continuation byte and checksum. False (frame unchanged) without memory.
bool AppendToFrame(RsmFrame& tFrame, std::uint8_t byMsgType, std::uint16_t wLength,
                   const std::uint8_t* pbyData) {
    const std::uint32_t dwNeeded = tFrame.wLength + MaxBlockBytes(wLength);
    std::unique_ptr<std::uint8_t[]> pbyBytes(new (std::nothrow) std::uint8_t[dwNeeded]);
    if (!pbyBytes) {
        return false;
    }
    // Everything before the last continuation byte stays; the sum is taken again over it.
    const std::uint16_t wKeep = static_cast<std::uint16_t>(tFrame.wLength - 2);
    FrameWriter tWriter{pbyBytes.get(), 0, 0};
    for (std::uint16_t i = 0; i < wKeep; ++i) {
        tWriter.Put(tFrame.pbyBytes[i]);
    }
    tWriter.Put(RSMC_CONTINUE);
    tWriter.PutBlock(byMsgType, wLength, pbyData);
    tWriter.Finish();
    tFrame.pbyBytes = std::move(pbyBytes);
    tFrame.wLength = tWriter.wLength;
    tFrame.wCapacity = static_cast<std::uint16_t>(dwNeeded);
    return true;
}

} // namespace

std::uint16_t RsmFullQueued(const RsmPort& tPort) {
    return Queued(tPort.tFull);
}

std::uint16_t RsmTransmitAckNackSyncMessage(RsmPort& tPort, std::uint8_t byKind,
                                            std::uint8_t bySequence) {
    std::array<std::uint8_t, RSMC_CONTROL_FRAME_LENGTH> abyFrame{};
    FrameWriter tWriter{abyFrame.data(), 0, 0};
    tWriter.Put(RSMC_FRAME_START);
    tWriter.Put(byKind);
    tWriter.Put(bySequence);
    tWriter.Finish();
    const std::uint16_t wResult = WriteBytes(tPort, tWriter.wLength, abyFrame.data());
    if (wResult != 0) {
        LogError("RsmTransmitAckNackSyncMessage", wResult, nullptr);
    }
    return wResult;
}

std::uint16_t RsmFullTransmit(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                              const std::uint8_t* pbyData) {
    RsmFullState& tFull = tPort.tFull;
    if (Queued(tFull) >= RSMC_QUEUE_SIZE) {
        return RSMC_FULL_QUEUE_FULL;
    }
    if (wLength >= RSMC_MAX_MSG_LENGTH) {
        return RSMC_FULL_TOO_LONG;
    }
    if (wLength != 0 && pbyData == nullptr) {
        return RSMC_ERROR;
    }
    if (tFull.tParams.byPacking != 0 && Queued(tFull) != 0) {
        RsmFrame& tNewest = Slot(tFull, static_cast<std::uint16_t>(tFull.wQueueWrite - 1));
        if (tNewest.bSent == 0 && tNewest.pbyBytes &&
            static_cast<std::uint32_t>(tNewest.wLength) + wLength < RSMC_MAX_MSG_LENGTH) {
            return AppendToFrame(tNewest, byMsgType, wLength, pbyData) ? 0 : RSMC_FULL_NO_MEMORY;
        }
    }
    const std::uint32_t dwCapacity = 3u + MaxBlockBytes(wLength) + 1u;
    RsmFrame& tFrame = Slot(tFull, tFull.wQueueWrite);
    tFrame.pbyBytes.reset(new (std::nothrow) std::uint8_t[dwCapacity]);
    if (!tFrame.pbyBytes) {
        return RSMC_FULL_NO_MEMORY;
    }
    FrameWriter tWriter{tFrame.pbyBytes.get(), 0, 0};
    tWriter.Put(RSMC_FRAME_START);
    tWriter.Put(RSMC_KIND_DATA);
    tWriter.Put(tFull.byNextTxSequence);
    tWriter.PutBlock(byMsgType, wLength, pbyData);
    tWriter.Finish();
    tFrame.wLength = tWriter.wLength;
    tFrame.wCapacity = static_cast<std::uint16_t>(dwCapacity);
    tFrame.bSent = 0;
    ++tFull.wQueueWrite;
    tFull.byNextTxSequence =
        static_cast<std::uint8_t>((tFull.byNextTxSequence + 1) % RSMC_SEQUENCE_MODULO);
    if (Queued(tFull) == 1) {
        return RsmFullSendNext(tPort);
    }
    return 0;
}

std::uint16_t RsmFullSendNext(RsmPort& tPort) {
    RsmFullState& tFull = tPort.tFull;
    if (Queued(tFull) == 0) {
        return 0;
    }
    RsmFrame& tFrame = Slot(tFull, tFull.wQueueRead);
    const std::uint8_t bySequence = tFrame.pbyBytes[2];
    tFull.wRetriesLeft = tFull.tParams.NrRetries;
    tFull.byAwaitedAck = bySequence;
    if (tFull.bConnected == 0) {
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, RSMC_SYNC_RESET);
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, bySequence);
        (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, bySequence);
    }
    StartAckTimer(tPort, tFrame);
    tFrame.bSent = 1;
    const std::uint16_t wResult = WriteBytes(tPort, tFrame.wLength, tFrame.pbyBytes.get());
    tFull.byCurrentTxSequence = bySequence;
    return wResult;
}

std::uint16_t RsmFullTxEvent(RsmPort& tPort, std::uint8_t byEvent, std::uint8_t bySequence) {
    RsmFullState& tFull = tPort.tFull;
    switch (byEvent) {
    case RSMC_EVENT_ACK_TIMEOUT:
        if (tFull.dwAckDeadline == 0) {
            return 0;
        }
        LogWarning("Rsm Tx", bySequence, "ACK message not received in time. Retransmitting!");
        [[fallthrough]];
    case RSMC_KIND_NAK: {
        tFull.dwAckDeadline = 0;
        if (Queued(tFull) == 0) {
            return 0;
        }
        Purge(tPort);
        RsmFrame& tFrame = Slot(tFull, tFull.wQueueRead);
        if (tFull.wRetriesLeft > 0) {
            --tFull.wRetriesLeft;
            ++tFull.tStatistics.wRetries;
            const std::uint8_t byFrameSequence = tFrame.pbyBytes[2];
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, byFrameSequence);
            StartAckTimer(tPort, tFrame);
            const std::uint16_t wResult = WriteBytes(tPort, tFrame.wLength, tFrame.pbyBytes.get());
            tFull.byCurrentTxSequence = byFrameSequence;
            return wResult;
        }
        ++tFull.tStatistics.wMsgLosts;
        if (!RsmFullNotify(tPort, RSMC_EVENT_MSG_LOST)) {
            return 0; // closed by the callback: the close has emptied the queue
        }
        DropOldest(tFull);
        return RsmFullSendNext(tPort);
    }
    case RSMC_KIND_SYNC:
        if (bySequence < RSMC_SEQUENCE_MODULO && tFull.bConnected == 0) {
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, RSMC_SYNC_RESET);
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, tFull.byCurrentTxSequence);
            (void)RsmTransmitAckNackSyncMessage(tPort, RSMC_KIND_SYNC, tFull.byCurrentTxSequence);
            tFull.dwLastSyncSent = OssGetTime();
        }
        return 0;
    case RSMC_KIND_ACK:
        tFull.dwAckDeadline = 0;
        // Only the ACK of the frame in flight moves the queue; a stray one changes nothing.
        if (Queued(tFull) != 0 && Slot(tFull, tFull.wQueueRead).bSent != 0 &&
            bySequence == tFull.byAwaitedAck) {
            DropOldest(tFull);
            return RsmFullSendNext(tPort);
        }
        return 0;
    default:
        return 0;
    }
}

void RsmFullReset(RsmPort& tPort) {
    RsmFullState& tFull = tPort.tFull;
    Purge(tPort);
    while (Queued(tFull) != 0) {
        RsmFrame& tFrame = Slot(tFull, tFull.wQueueRead);
        tFrame = RsmFrame{};
        ++tFull.wQueueRead;
    }
    for (auto& tFrame : tFull.queue) {
        tFrame = RsmFrame{};
    }
    tFull.wRetriesLeft = tFull.tParams.NrRetries;
    tFull.wQueueRead = 0;
    tFull.wQueueWrite = 0;
    tFull.byNextTxSequence = 0;
    tFull.byCurrentTxSequence = 0;
    tFull.byExpectedSequence = 0;
    tFull.byLastDelivered = RSMC_NO_SEQUENCE;
    tFull.bDeliveredKept = 0;
    tFull.bResetSeen = 0;
    tFull.bEscape = 0;
    tFull.dwAckDeadline = 0;
    const bool bWasConnected = tFull.bConnected != 0;
    tFull.bConnected = 0;
    if (bWasConnected) {
        (void)RsmFullNotify(tPort, RSMC_EVENT_LOST);
    }
}
