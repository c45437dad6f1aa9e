// Cutting the TCP/IP byte streams into Oip messages, Multi packages and Terminal lines for the
// link trace, by the receivers' own rules.
#include "Communication/Ipm/IpmTrace.h"

#include <array>

#include "Communication/Ipm/IpmMulti.h"
#include "Communication/Ipm/IpmOip.h"
#include "Communication/Ipm/IpmTerminal.h"
#include "Runtime/Trace.h"

namespace {

constexpr std::size_t IPMC_OIP_LENGTH_END = 8; // the length field ends here: checked at once

enum class Cut : std::uint8_t {
    Header, // gathering a header (or a Terminal line)
    Body,   // the rest of the unit: dwLength bytes in all
    Skip,   // Oip: bytes the receiver skips after an invalid length
};

struct Cutter {
    TracePending pending;
    Cut tCut = Cut::Header;
    std::uint32_t dwLength = 0; // whole unit (Body) or bytes still to skip (Skip)

    void Reset() {
        pending.Clear();
        tCut = Cut::Header;
        dwLength = 0;
    }
};

struct SessionCutters {
    Cutter tSent;
    Cutter tReceived;
};

std::array<SessionCutters, IPMC_MAX_NR_OF_SESSIONS> g_aSessions;

TraceLink LinkOf(const IpmSessionData& tSession) {
    switch (tSession.tProtocol) {
    case IPMC_PROTOCOL_OIP:
        return TraceLink::Oip;
    case IPMC_PROTOCOL_MULTI:
        return TraceLink::Multi;
    default:
        return TraceLink::TcpTerminal;
    }
}

std::uint32_t Le32(const TracePending& p, std::size_t w) {
    return static_cast<std::uint32_t>(p.At(w)) | static_cast<std::uint32_t>(p.At(w + 1)) << 8 |
           static_cast<std::uint32_t>(p.At(w + 2)) << 16 |
           static_cast<std::uint32_t>(p.At(w + 3)) << 24;
}

void Emit(Cutter& c, TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags) {
    c.pending.Emit(tDir, tSource, byFlags);
    c.tCut = Cut::Header;
    c.dwLength = 0;
}

void OipByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    c.pending.Add(byValue);
    const std::size_t wSize = c.pending.Size();
    switch (c.tCut) {
    case Cut::Header:
        if (wSize == IPMC_OIP_LENGTH_END) {
            const std::uint32_t dwLength = Le32(c.pending, 4);
            if (dwLength < IPMC_OIP_HEADER_SIZE || dwLength > IPMC_OIP_MAX_LENGTH) {
                // Rejected: the receiver skips what the length announced after these 8 bytes.
                c.dwLength =
                    dwLength < IPMC_OIP_SKIP_BASE ? 0 : ((dwLength - IPMC_OIP_SKIP_BASE) & 0xFFFFu);
                if (c.dwLength == 0) {
                    Emit(c, tDir, tSource, TRACEC_FLAG_NO_FRAME);
                } else {
                    c.tCut = Cut::Skip;
                }
            } else {
                c.dwLength = dwLength;
            }
        } else if (wSize == IPMC_OIP_HEADER_SIZE) {
            if (c.dwLength == IPMC_OIP_HEADER_SIZE) {
                Emit(c, tDir, tSource, 0);
            } else {
                c.tCut = Cut::Body;
            }
        }
        break;
    case Cut::Body:
        if (wSize >= c.dwLength) {
            Emit(c, tDir, tSource, 0);
        }
        break;
    case Cut::Skip:
        if (--c.dwLength == 0) {
            Emit(c, tDir, tSource, TRACEC_FLAG_NO_FRAME);
        }
        break;
    }
}

void MultiByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    c.pending.Add(byValue);
    const std::size_t wSize = c.pending.Size();
    if (c.tCut == Cut::Body) {
        if (wSize >= c.dwLength) {
            Emit(c, tDir, tSource, 0);
        }
        return;
    }
    if (wSize < IPMC_MULTI_HEADER_SIZE) {
        return;
    }
    const auto wPreamble = static_cast<std::uint16_t>(c.pending.At(0) | (c.pending.At(1) << 8));
    const std::uint8_t byPackage = c.pending.At(2);
    const auto wLength = static_cast<std::uint16_t>(c.pending.At(4) | (c.pending.At(5) << 8));
    if (wPreamble != IPMC_MULTI_PREAMBLE) {
        Emit(c, tDir, tSource, TRACEC_FLAG_NO_FRAME); // the receiver ignores the header
    } else if (byPackage == IPMC_MULTI_PACKAGE_KEEPALIVE || wLength == 0) {
        Emit(c, tDir, tSource, 0); // complete: a keep-alive carries nothing, whatever its length
    } else if (wLength > IPMC_MULTI_BUFFER_SIZE) {
        Emit(c, tDir, tSource, TRACEC_FLAG_NO_FRAME); // the receiver gives the session up
    } else {
        c.dwLength = IPMC_MULTI_HEADER_SIZE + wLength;
        c.tCut = Cut::Body;
    }
}

void TerminalByte(Cutter& c, std::uint8_t byValue, TraceDir tDir, const TraceSource& tSource) {
    c.pending.Add(byValue);
    if (byValue == IPMC_TERMINAL_CR) {
        Emit(c, tDir, tSource, 0);
    }
}

void Feed(Cutter& c, TraceLink tLink, const std::uint8_t* pbyData, std::uint32_t dwCount,
          TraceDir tDir, const TraceSource& tSource) {
    for (std::uint32_t i = 0; i < dwCount; ++i) {
        switch (tLink) {
        case TraceLink::Oip:
            OipByte(c, pbyData[i], tDir, tSource);
            break;
        case TraceLink::Multi:
            MultiByte(c, pbyData[i], tDir, tSource);
            break;
        default:
            TerminalByte(c, pbyData[i], tDir, tSource);
            break;
        }
        if (c.pending.Full()) {
            Emit(c, tDir, tSource, TRACEC_FLAG_NO_FRAME);
        }
    }
}

SessionCutters* CuttersOf(const IpmSessionData& tSession) {
    return tSession.bySessionId < g_aSessions.size() ? &g_aSessions[tSession.bySessionId] : nullptr;
}

TraceSource SourceOf(const IpmSessionData& tSession) {
    return TraceSource{LinkOf(tSession), tSession.byChannelId, tSession.bySessionId};
}

} // namespace

std::uint16_t IpmSessionRead(IpmSessionData* ptSessionData, std::uint8_t* pbyBuffer,
                             std::uint32_t dwSize, std::uint32_t* pdwCount) {
    const std::uint16_t wStatus = IpsRead(&ptSessionData->tSocket, pbyBuffer, dwSize, pdwCount);
    if (TraceActive() && wStatus == IPSC_OK && *pdwCount > 0) {
        if (SessionCutters* pCutters = CuttersOf(*ptSessionData); pCutters != nullptr) {
            const TraceSource tSource = SourceOf(*ptSessionData);
            Feed(pCutters->tReceived, tSource.tLink, pbyBuffer, *pdwCount, TraceDir::Received,
                 tSource);
        }
    }
    return wStatus;
}

std::uint16_t IpmSessionWrite(IpmSessionData* ptSessionData, const std::uint8_t* pbyData,
                              std::uint32_t dwLength) {
    if (TraceActive() && pbyData != nullptr && dwLength > 0) {
        if (SessionCutters* pCutters = CuttersOf(*ptSessionData); pCutters != nullptr) {
            const TraceSource tSource = SourceOf(*ptSessionData);
            if (tSource.tLink == TraceLink::Oip) {
                // One write may carry a response and the notifications held back behind it.
                Feed(pCutters->tSent, tSource.tLink, pbyData, dwLength, TraceDir::Sent, tSource);
            } else {
                TraceRecord(TraceDir::Sent, tSource, 0,
                            std::span<const std::uint8_t>(pbyData, dwLength));
            }
        }
    }
    return IpsWrite(&ptSessionData->tSocket, pbyData, dwLength);
}

void IpmTraceSessionEnded(const IpmSessionData& tSession) {
    SessionCutters* pCutters = CuttersOf(tSession);
    if (pCutters == nullptr) {
        return;
    }
    const TraceSource tSource = SourceOf(tSession);
    pCutters->tSent.pending.Emit(TraceDir::Sent, tSource, TRACEC_FLAG_NO_FRAME);
    pCutters->tReceived.pending.Emit(TraceDir::Received, tSource, TRACEC_FLAG_NO_FRAME);
    pCutters->tSent.Reset();
    pCutters->tReceived.Reset();
}

void IpmTraceResetForTest() {
    for (auto& tCutters : g_aSessions) {
        tCutters.tSent.Reset();
        tCutters.tReceived.Reset();
    }
}
