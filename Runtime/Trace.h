// Trace: the link trace. Every frame a link sends or receives can go into a capture file in the
// classic pcap format (link type USER0, microsecond time stamps), each record behind a small
// header that says which way it went, on which link protocol and on which port or session. The
// first record describes the capture itself (the function table in force, as the application
// hands it over), so that a trace decodes anywhere. A record reaches the file at once when the
// last write is a millisecond old or more; records that follow each other faster are gathered
// and written together by the next record after that millisecond, or by the programs' idle step
// before it sleeps (TraceFlush). So a run that is killed leaves a
// readable file that lacks at most the records of its last few milliseconds, and a busy link is
// not slowed by a write per frame. With no capture open, TraceActive() is false and the links do
// nothing more than test it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

constexpr std::uint16_t TRACEC_OK = 0;
constexpr std::uint16_t TRACEC_ERROR = 1; // the file cannot be created or written

constexpr std::uint32_t TRACEC_PCAP_MAGIC = 0xA1B2C3D4; // microsecond time stamps
constexpr std::uint16_t TRACEC_PCAP_MAJOR = 2;
constexpr std::uint16_t TRACEC_PCAP_MINOR = 4;
constexpr std::uint32_t TRACEC_SNAPLEN = 262144;
constexpr std::uint32_t TRACEC_LINKTYPE_USER0 = 147;
constexpr std::size_t TRACEC_PCAP_HEADER_SIZE = 24;
constexpr std::size_t TRACEC_PCAP_RECORD_HEADER_SIZE = 16;

// The record header in front of every record's bytes (all multi-byte fields little-endian).
constexpr std::uint8_t TRACEC_VERSION = 1;
constexpr std::size_t TRACEC_HEADER_SIZE = 8;
constexpr std::uint64_t TRACEC_FLUSH_US = 1000;   // records younger than this may wait
constexpr std::size_t TRACEC_FLUSH_BYTES = 65536; // so much waiting is written at once
// Longest run of bytes that one record carries; a longer frame is cut into no-frame records.
constexpr std::size_t TRACEC_MAX_RECORD = 131072;

enum class TraceDir : std::uint8_t {
    Table = 0,    // the capture's own description (function table)
    Sent = 1,     // bytes this program put on the link
    Received = 2, // bytes this program read from the link
};

enum class TraceLink : std::uint8_t {
    None = 0, // a record that belongs to no link (the function table)
    Full = 1, // serial, Full protocol
    Simple = 2,
    SerialTerminal = 3,
    Oip = 4, // TCP/IP session protocols
    Multi = 5,
    TcpTerminal = 6,
};

// Flags of a record.
constexpr std::uint8_t TRACEC_FLAG_NO_FRAME = 0x01; // noise, an abandoned frame, skipped bytes

// Where a record's bytes travelled: the link protocol, the dispatch channel, and the serial port
// number (1 for COM1) or the TCP/IP session id.
struct TraceSource {
    TraceLink tLink = TraceLink::None;
    std::uint8_t byChannelId = 0;
    std::uint16_t wEndpoint = 0;
};

namespace TraceDetail {
extern bool bActive;
}

// True while a capture file is open: the only cost of the trace when it is off.
inline bool TraceActive() {
    return TraceDetail::bActive;
}

// Creates (or truncates) the capture file and writes the pcap file header. TRACEC_OK or
// TRACEC_ERROR; a capture already open is closed first.
[[nodiscard]] std::uint16_t TraceOpen(const char* pszPath);
// Writes the capture's description record (direction Table, link None) at once.
// TRACEC_OK or TRACEC_ERROR.
[[nodiscard]] std::uint16_t TraceWriteTable(std::span<const std::uint8_t> text);
// Adds one record: header and bytes (written as above). Nothing when no capture is open. A write
// error closes the capture (reported once in the event log) so that the link goes on untouched.
void TraceRecord(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                 std::span<const std::uint8_t> bytes);
void TraceFlush(); // writes every record that waits
// The idle step of a program: writes the waiting records when the last write is
// TRACEC_FLUSH_US old or more.
void TraceIdle();
void TraceClose(); // writes what waits and closes the file; nothing when none is open

// Builds the record header into abyOut (TRACEC_HEADER_SIZE bytes).
void TraceBuildHeader(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
                      std::uint8_t* pbyOut);

// The bytes of one direction of a link, gathered until the link's framing says where a record
// ends. Never holds more than TRACEC_MAX_RECORD bytes: the caller emits before that.
class TracePending {
  public:
    void Add(std::uint8_t byValue) { bytes_.push_back(byValue); }
    std::size_t Size() const { return bytes_.size(); }
    bool Empty() const { return bytes_.empty(); }
    bool Full() const { return bytes_.size() >= TRACEC_MAX_RECORD; }
    std::uint8_t At(std::size_t w) const { return bytes_[w]; }
    // Writes the first wCount bytes (all when wCount is larger) as one record and drops them.
    void Emit(TraceDir tDir, const TraceSource& tSource, std::uint8_t byFlags,
              std::size_t wCount = SIZE_MAX);
    void Clear() { bytes_.clear(); }

  private:
    std::vector<std::uint8_t> bytes_;
};
