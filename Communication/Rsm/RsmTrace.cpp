// Cutting the serial byte streams into frames for the link trace: the Full receiver's escape
// rule and frame layout, the Simple frame with its short NAK, and Terminal lines with their
// framed messages.
#include "Communication/Rsm/RsmPriv.h"

#include <array>

#include "Runtime/Mds.h"
#include "Runtime/Trace.h"

namespace {

// Where a cutter stands in the frame it is reading.
enum class Cut : std::uint8_t {
    Noise,    // between frames
    Dollar,   // Simple: after 0x1B
    Return,   // Simple: after 0x1B 0x24
    Sequence, // Full: after 0xC8 and the kind
    Type,
    LengthLow,
    LengthHigh,
    Data,
    Continuation, // Full: continuation or pad byte
    Checksum,
};

// One direction of one port.
struct Cutter {
    TracePending pending;
    Cut tCut = Cut::Noise;
    bool bEscape = false;      // Full: a 0xC8 waits for the byte after it
    std::size_t wStart = 0;    // Full: position of that 0xC8; Simple: of a 0x1B
    std::uint8_t byKind = 0;   // Full: frame kind
    std::uint8_t byType = 0;   // Simple, Terminal: message type
    std::uint8_t bySum = 0;    // Simple: byte sum so far
    std::uint16_t wLength = 0; // block length
    std::uint16_t wCount = 0;  // its data bytes so far
    std::uint32_t dwLastRx = 0;

    void Reset() {
        pending.Clear();
        tCut = Cut::Noise;
        bEscape = false;
        wStart = 0;
    }
};

struct PortCutters {
    Cutter tSent;
    Cutter tReceived;
};

std::array<PortCutters, RSMC_NR_OF_SLOTS> g_aPorts;

PortCutters& CuttersOf(const RsmPort& tPort) {
    return g_aPorts[tPort.byChannelId == MDSC_SERIAL_CHANNEL_1 ? 1 : 0];
}

TraceLink LinkOf(const RsmPort& tPort) {
    switch (tPort.wProtocol) {
    case RSMC_PROTOCOL_FULL:
        return TraceLink::Full;
    case RSMC_PROTOCOL_SIMPLE:
        return TraceLink::Simple;
    default:
        return TraceLink::SerialTerminal;
    }
}

TraceSource SourceOf(const RsmPort& tPort) {
    return TraceSource{LinkOf(tPort), tPort.byChannelId,
                       static_cast<std::uint16_t>(tPort.byComport + 1)};
}

// The frame (or noise) gathered so far, as one record.
void EmitAll(Cutter& c, TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags) {
    c.pending.Emit(tDir, tSource, byFlags);
    c.tCut = Cut::Noise;
}

// The length bytes of a message block, low byte first: true once both are in, and the count of
// its data bytes starts again.
bool TakeLength(Cutter& c, std::uint8_t byValue) {
    if (c.tCut == Cut::LengthLow) {
        c.wLength = byValue;
        c.tCut = Cut::LengthHigh;
        return false;
    }
    c.wLength = static_cast<std::uint16_t>(c.wLength | (byValue << 8));
    c.wCount = 0;
    return true;
}

// A complete block length of a Full or Simple frame: the receivers refuse 5000 bytes or more; an
// empty block moves on to tAfter at once.
void StartData(Cutter& c, Cut tAfter, TraceDir tDir, const TraceSource& tSource) {
    if (c.wLength >= RSMC_MAX_MSG_LENGTH) {
        EmitAll(c, tDir, tSource, TRACEC_FLAG_NO_FRAME); // the receiver refuses it
    } else {
        c.tCut = c.wLength == 0 ? tAfter : Cut::Data;
    }
}

// A data byte of a block; its last one moves on to tAfter.
void CountData(Cutter& c, Cut tAfter) {
    if (++c.wCount >= c.wLength) {
        c.tCut = tAfter;
    }
}

// ---- Full ----

// One byte of a Full frame after the escape rule.
void FullAdvance(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    switch (c.tCut) {
    case Cut::Sequence:
        c.tCut = c.byKind == RSMC_KIND_DATA ? Cut::Type : Cut::Continuation;
        break;
    case Cut::Type:
        c.tCut = Cut::LengthLow;
        break;
    case Cut::LengthLow:
    case Cut::LengthHigh:
        if (!TakeLength(c, byValue)) {
            break;
        }
        StartData(c, Cut::Continuation, tDir, tSource);
        break;
    case Cut::Data:
        CountData(c, Cut::Continuation);
        break;
    case Cut::Continuation:
        c.tCut = byValue == RSMC_CONTINUE ? Cut::Type : Cut::Checksum;
        break;
    case Cut::Checksum:
        EmitAll(c, tDir, tSource, 0);
        break;
    default:
        break; // noise
    }
}

void FullByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    const bool bStuffed = c.tCut == Cut::LengthLow || c.tCut == Cut::Data;
    c.pending.Add(byValue);
    if (byValue == RSMC_FRAME_START) {
        if (c.bEscape && bStuffed) {
            c.bEscape = false; // the second byte of a stuffed pair
            FullAdvance(c, byValue, tDir, tSource);
        } else {
            c.bEscape = true; // may start a frame; a repeated one moves the start on
            c.wStart = c.pending.Size() - 1;
        }
        return;
    }
    if (c.bEscape) {
        c.bEscape = false;
        if (RsmIsFrameKind(byValue)) {
            // A frame starts at the 0xC8: what came before it is noise or an abandoned frame.
            c.pending.Emit(tDir, tSource, TRACEC_FLAG_NO_FRAME, c.wStart);
            c.byKind = byValue;
            c.tCut = Cut::Sequence;
        } else if (c.tCut != Cut::Noise) {
            EmitAll(c, tDir, tSource, TRACEC_FLAG_NO_FRAME); // the receiver drops the frame
        }
        return;
    }
    FullAdvance(c, byValue, tDir, tSource);
}

// ---- Simple ----

void SimpleByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    c.pending.Add(byValue);
    switch (c.tCut) {
    case Cut::Noise:
        if (byValue == RSMC_ESC) {
            c.wStart = c.pending.Size() - 1;
            c.tCut = Cut::Dollar;
        }
        break;
    case Cut::Dollar:
        c.tCut = byValue == RSMC_DOLLAR ? Cut::Return : Cut::Noise;
        break;
    case Cut::Return:
        if (byValue == RSMC_CR) {
            c.pending.Emit(tDir, tSource, TRACEC_FLAG_NO_FRAME, c.wStart);
            c.bySum = RSMC_SIMPLE_HEADER_SUM;
            c.tCut = Cut::Type;
        } else {
            c.tCut = Cut::Noise;
        }
        break;
    case Cut::Type:
        c.byType = byValue;
        c.bySum = static_cast<std::uint8_t>(c.bySum + byValue);
        c.tCut = Cut::LengthLow;
        break;
    case Cut::LengthLow:
        if (c.byType == MDSC_MSG_NAK && byValue == static_cast<std::uint8_t>(~c.bySum)) {
            EmitAll(c, tDir, tSource, 0); // the short NAK: its checksum stands here
            break;
        }
        c.bySum = static_cast<std::uint8_t>(c.bySum + byValue);
        static_cast<void>(TakeLength(c, byValue)); // the low byte
        break;
    case Cut::LengthHigh:
        static_cast<void>(TakeLength(c, byValue)); // the high byte completes the length
        StartData(c, Cut::Checksum, tDir, tSource);
        break;
    case Cut::Data:
        CountData(c, Cut::Checksum);
        break;
    default:
        EmitAll(c, tDir, tSource, 0); // the checksum byte
        break;
    }
}

// ---- Terminal ----

// Received text: a record per line (CR included); a line that ends in 0x1B 0x24 announces a
// framed message, which ends the record.
void TerminalByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    c.pending.Add(byValue);
    switch (c.tCut) {
    case Cut::Noise: {
        if (byValue != RSMC_CR) {
            break;
        }
        const std::size_t w = c.pending.Size();
        if (w >= 3 && c.pending.At(w - 3) == RSMC_ESC && c.pending.At(w - 2) == RSMC_DOLLAR) {
            c.tCut = Cut::Type;
        } else {
            EmitAll(c, tDir, tSource, 0);
        }
        break;
    }
    case Cut::Type:
        c.tCut = Cut::LengthLow;
        break;
    case Cut::LengthLow:
    case Cut::LengthHigh:
        if (!TakeLength(c, byValue)) {
            break;
        }
        if (c.wLength == 0) {
            EmitAll(c, tDir, tSource, 0);
        } else {
            c.tCut = Cut::Data;
        }
        break;
    default:
        if (++c.wCount >= c.wLength) {
            EmitAll(c, tDir, tSource, 0);
        }
        break;
    }
}

// Sent Terminal traffic: a terminal response is one write of text, any other message the header
// 1B 24 0D and then its type, length and data in further writes.
void TerminalSent(Cutter& c, std::uint16_t wCount, const std::uint8_t* pbyData,
                  const TraceSource& tSource) {
    if (c.tCut == Cut::Noise) {
        if (wCount == 3 && pbyData[0] == RSMC_ESC && pbyData[1] == RSMC_DOLLAR &&
            pbyData[2] == RSMC_CR) {
            for (std::uint16_t i = 0; i < wCount; ++i) {
                c.pending.Add(pbyData[i]);
            }
            c.tCut = Cut::Type;
        } else if (wCount > 0) {
            TraceRecord(TraceDir::Sent, tSource, 0, std::span<const std::uint8_t>(pbyData, wCount));
        }
        return;
    }
    for (std::uint16_t i = 0; i < wCount; ++i) {
        TerminalByte(c, pbyData[i], TraceDir::Sent, tSource);
    }
}

using ByteCutter = void (*)(Cutter&, std::uint8_t, TraceDir, const TraceSource&);

ByteCutter CutterOf(TraceLink tLink) {
    switch (tLink) {
    case TraceLink::Full:
        return FullByte;
    case TraceLink::Simple:
        return SimpleByte;
    default:
        return TerminalByte;
    }
}

void Feed(Cutter& c, ByteCutter pfCut, const std::uint8_t* pbyData, std::uint16_t wCount,
          TraceDir tDir, const TraceSource& tSource) {
    for (std::uint16_t i = 0; i < wCount; ++i) {
        pfCut(c, pbyData[i], tDir, tSource);
        if (c.pending.Full()) {
            c.bEscape = false;
            EmitAll(c, tDir, tSource, TRACEC_FLAG_NO_FRAME);
        }
    }
}

} // namespace

void RsmTraceSent(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData) {
    if (pbyData == nullptr) {
        return;
    }
    Cutter& c = CuttersOf(tPort).tSent;
    const TraceSource tSource = SourceOf(tPort);
    switch (tSource.tLink) {
    case TraceLink::Full:
        // The Full protocol writes every frame, built whole, with one write.
        if (wCount > 0) {
            TraceRecord(TraceDir::Sent, tSource, 0, std::span<const std::uint8_t>(pbyData, wCount));
        }
        break;
    case TraceLink::Simple:
        Feed(c, SimpleByte, pbyData, wCount, TraceDir::Sent, tSource);
        break;
    default:
        TerminalSent(c, wCount, pbyData, tSource);
        break;
    }
}

void RsmTraceReceived(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData,
                      std::uint32_t dwNow) {
    Cutter& c = CuttersOf(tPort).tReceived;
    const TraceSource tSource = SourceOf(tPort);
    if (wCount == 0 || pbyData == nullptr) {
        // Full and Simple give a frame up after 100 ms without bytes; Terminal waits for ever.
        if (tSource.tLink != TraceLink::SerialTerminal && !c.pending.Empty() &&
            OssTimeDiff(dwNow, c.dwLastRx) > RSMC_RX_TIMEOUT_MS) {
            c.bEscape = false;
            EmitAll(c, TraceDir::Received, tSource, TRACEC_FLAG_NO_FRAME);
        }
        return;
    }
    c.dwLastRx = dwNow;
    Feed(c, CutterOf(tSource.tLink), pbyData, wCount, TraceDir::Received, tSource);
    // Noise is written with the read that brought it, unless it may still start a frame.
    if (tSource.tLink != TraceLink::SerialTerminal && c.tCut == Cut::Noise && !c.bEscape) {
        EmitAll(c, TraceDir::Received, tSource, TRACEC_FLAG_NO_FRAME);
    }
}

void RsmTracePortClosed(const RsmPort& tPort) {
    PortCutters& tCutters = CuttersOf(tPort);
    const TraceSource tSource = SourceOf(tPort);
    tCutters.tSent.pending.Emit(TraceDir::Sent, tSource, TRACEC_FLAG_NO_FRAME);
    tCutters.tReceived.pending.Emit(TraceDir::Received, tSource, TRACEC_FLAG_NO_FRAME);
    tCutters.tSent.Reset();
    tCutters.tReceived.Reset();
}

void RsmTraceResetForTest() {
    for (auto& tCutters : g_aPorts) {
        tCutters.tSent.Reset();
        tCutters.tReceived.Reset();
    }
}
