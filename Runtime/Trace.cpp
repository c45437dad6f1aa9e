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

void PutLe16(std::uint8_t* pbyOut, std::uint16_t wValue) {
    pbyOut[0] = static_cast<std::uint8_t>(wValue & 0xFF);
    pbyOut[1] = static_cast<std::uint8_t>(wValue >> 8);
}

void PutLe32(std::uint8_t* pbyOut, std::uint32_t dwValue) {
    for (int i = 0; i < 4; ++i) {
        pbyOut[i] = static_cast<std::uint8_t>(dwValue >> (8 * i));
    }
}

// Writes one pcap record of header and bytes and flushes it. False on a write error.
bool WriteRecord(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                 std::span<const std::uint8_t> bytes) {
    const std::uint64_t qwNow = PltWallClockMicroseconds();
    const std::size_t wBytes = bytes.size() < TRACEC_MAX_RECORD ? bytes.size() : TRACEC_MAX_RECORD;
    const auto dwLength = static_cast<std::uint32_t>(TRACEC_HEADER_SIZE + wBytes);
    std::array<std::uint8_t, TRACEC_PCAP_RECORD_HEADER_SIZE + TRACEC_HEADER_SIZE> abyHead{};
    PutLe32(abyHead.data(), static_cast<std::uint32_t>(qwNow / 1000000u));
    PutLe32(abyHead.data() + 4, static_cast<std::uint32_t>(qwNow % 1000000u));
    PutLe32(abyHead.data() + 8, dwLength);
    PutLe32(abyHead.data() + 12, dwLength);
    TraceBuildHeader(tDir, tSource, byFlags, abyHead.data() + TRACEC_PCAP_RECORD_HEADER_SIZE);
    return std::fwrite(abyHead.data(), 1, abyHead.size(), g_pFile) == abyHead.size() &&
           (wBytes == 0 || std::fwrite(bytes.data(), 1, wBytes, g_pFile) == wBytes) &&
           std::fflush(g_pFile) == 0;
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
    TraceDetail::bActive = true;
    return TRACEC_OK;
}

std::uint16_t TraceWriteTable(std::span<const std::uint8_t> text) {
    if (g_pFile == nullptr) {
        return TRACEC_ERROR;
    }
    return WriteRecord(TraceDir::Table, TraceSource{}, 0, text) ? TRACEC_OK : TRACEC_ERROR;
}

void TraceRecord(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                 std::span<const std::uint8_t> bytes) {
    if (g_pFile == nullptr) {
        return;
    }
    if (!WriteRecord(tDir, tSource, byFlags, bytes)) {
        // A full disk must not stop the link: the capture ends here, and says so once.
        LogError("TraceRecord", TRACEC_ERROR, "Capture file write failed, capture stopped");
        TraceClose();
    }
}

void TraceClose() {
    TraceDetail::bActive = false;
    if (g_pFile != nullptr) {
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
