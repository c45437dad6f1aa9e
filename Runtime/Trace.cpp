// The link trace's capture file: pcap headers built byte by byte, one flushed write per record.
#include "Runtime/Trace.h"

#include <array>
#include <cstdio>

#include "Platform/PltClock.h"
#include "Runtime/Log.h"

namespace TraceDetail {
bool bActive = false;
}

namespace {

std::FILE* g_pFile = nullptr;
std::vector<std::uint8_t> g_buffer; // records not yet written to the file
std::uint64_t g_qwLastWrite = 0;    // clock of the last write to the file, microseconds

// Writes the buffered records to the file with one write. False on a write error.
bool WriteBuffer(std::uint64_t qwNow) {
    g_qwLastWrite = qwNow;
    if (g_buffer.empty()) {
        return true;
    }
    const bool bOk = std::fwrite(g_buffer.data(), 1, g_buffer.size(), g_pFile) == g_buffer.size() &&
                     std::fflush(g_pFile) == 0;
    g_buffer.clear();
    return bOk;
}

void PutLe16(std::uint8_t* pbyOut, std::uint16_t wValue) {
    pbyOut[0] = static_cast<std::uint8_t>(wValue & 0xFF);
    pbyOut[1] = static_cast<std::uint8_t>(wValue >> 8);
}

void PutLe32(std::uint8_t* pbyOut, std::uint32_t dwValue) {
    for (int i = 0; i < 4; ++i) {
        pbyOut[i] = static_cast<std::uint8_t>(dwValue >> (8 * i));
    }
}

// Adds one pcap record of header and bytes; writes the buffer when the last write is
// TRACEC_FLUSH_US old or more (or bFlush). False on a write error.
bool WriteRecord(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                 std::span<const std::uint8_t> bytes, bool bFlush) {
    const std::uint64_t qwNow = PltWallClockMicroseconds();
    const std::size_t wBytes = bytes.size() < TRACEC_MAX_RECORD ? bytes.size() : TRACEC_MAX_RECORD;
    const auto dwLength = static_cast<std::uint32_t>(TRACEC_HEADER_SIZE + wBytes);
    std::array<std::uint8_t, TRACEC_PCAP_RECORD_HEADER_SIZE + TRACEC_HEADER_SIZE> abyHead{};
    PutLe32(abyHead.data(), static_cast<std::uint32_t>(qwNow / 1000000u));
    PutLe32(abyHead.data() + 4, static_cast<std::uint32_t>(qwNow % 1000000u));
    PutLe32(abyHead.data() + 8, dwLength);
    PutLe32(abyHead.data() + 12, dwLength);
    TraceBuildHeader(tDir, tSource, byFlags, abyHead.data() + TRACEC_PCAP_RECORD_HEADER_SIZE);
    g_buffer.insert(g_buffer.end(), abyHead.begin(), abyHead.end());
    g_buffer.insert(g_buffer.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(wBytes));
    if (bFlush || qwNow - g_qwLastWrite >= TRACEC_FLUSH_US ||
        g_buffer.size() >= TRACEC_FLUSH_BYTES) {
        return WriteBuffer(qwNow);
    }
    return true;
}

// A write error ends the capture, reported once, so that the link goes on untouched.
void StopOnError() {
    LogError("TraceRecord", TRACEC_ERROR, "Capture file write failed, capture stopped");
    g_buffer.clear();
    TraceClose();
}

} // namespace

void TraceBuildHeader(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                      std::uint8_t* pbyOut) {
    pbyOut[0] = TRACEC_VERSION;
    pbyOut[1] = static_cast<std::uint8_t>(TRACEC_HEADER_SIZE);
    pbyOut[2] = static_cast<std::uint8_t>(tDir);
    pbyOut[3] = static_cast<std::uint8_t>(tSource.tLink);
    pbyOut[4] = byFlags;
    pbyOut[5] = tSource.byChannelId;
    PutLe16(pbyOut + 6, tSource.wEndpoint);
}

std::uint16_t TraceOpen(const char* pszPath) {
    TraceClose();
    if (pszPath == nullptr || *pszPath == '\0') {
        return TRACEC_ERROR;
    }
    std::FILE* pFile = std::fopen(pszPath, "wb");
    if (pFile == nullptr) {
        return TRACEC_ERROR;
    }
    std::array<std::uint8_t, TRACEC_PCAP_HEADER_SIZE> abyHeader{};
    PutLe32(abyHeader.data(), TRACEC_PCAP_MAGIC);
    PutLe16(abyHeader.data() + 4, TRACEC_PCAP_MAJOR);
    PutLe16(abyHeader.data() + 6, TRACEC_PCAP_MINOR);
    // Bytes 8 to 15: time zone offset and accuracy, both 0.
    PutLe32(abyHeader.data() + 16, TRACEC_SNAPLEN);
    PutLe32(abyHeader.data() + 20, TRACEC_LINKTYPE_USER0);
    if (std::fwrite(abyHeader.data(), 1, abyHeader.size(), pFile) != abyHeader.size() ||
        std::fflush(pFile) != 0) {
        std::fclose(pFile);
        return TRACEC_ERROR;
    }
    g_pFile = pFile;
    g_buffer.clear();
    g_buffer.reserve(TRACEC_FLUSH_BYTES + TRACEC_MAX_RECORD);
    g_qwLastWrite = PltWallClockMicroseconds();
    TraceDetail::bActive = true;
    return TRACEC_OK;
}

std::uint16_t TraceWriteTable(std::span<const std::uint8_t> text) {
    if (g_pFile == nullptr) {
        return TRACEC_ERROR;
    }
    return WriteRecord(TraceDir::Table, TraceSource{}, 0, text, true) ? TRACEC_OK : TRACEC_ERROR;
}

void TraceRecord(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                 std::span<const std::uint8_t> bytes) {
    if (g_pFile == nullptr) {
        return;
    }
    if (!WriteRecord(tDir, tSource, byFlags, bytes, false)) {
        StopOnError(); // a full disk must not stop the link
    }
}

void TraceFlush() {
    if (g_pFile != nullptr && !WriteBuffer(PltWallClockMicroseconds())) {
        StopOnError();
    }
}

void TraceIdle() {
    if (g_pFile != nullptr && !g_buffer.empty() &&
        PltWallClockMicroseconds() - g_qwLastWrite >= TRACEC_FLUSH_US) {
        TraceFlush();
    }
}

void TraceClose() {
    TraceDetail::bActive = false;
    if (g_pFile != nullptr) {
        (void)WriteBuffer(0);
        std::fclose(g_pFile);
        g_pFile = nullptr;
    }
}

void TracePending::Emit(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                        std::size_t wCount) {
    const std::size_t wTake = wCount < bytes_.size() ? wCount : bytes_.size();
    if (wTake == 0) {
        return;
    }
    TraceRecord(tDir, tSource, byFlags, std::span<const std::uint8_t>(bytes_.data(), wTake));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(wTake));
}
