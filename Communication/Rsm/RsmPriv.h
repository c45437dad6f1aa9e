// RsmPriv: what only the RS232 manager's own files share: the port record with its buffers and
// transmit queue, the manager's services to its protocols, and the Full, Simple and Terminal
// protocols and the trace tap as the manager drives them. Nothing outside the manager includes
// this but its unit tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Communication/Rsm/RsmTypes.h"
#include "Runtime/Oss.h"

constexpr std::uint16_t RSMC_READ_BUFFER_SIZE = 3500; // bytes read per task run
constexpr std::uint16_t RSMC_MAX_MSG_LENGTH = 5000;   // lengths from here on are refused
constexpr std::size_t RSMC_MSG_BUFFER_LIMIT = 65535;  // largest received frame kept
constexpr std::uint16_t RSMC_LINE_SIZE = 200;         // Terminal line: 199 characters and 0
constexpr std::uint32_t RSMC_RX_TIMEOUT_MS = 100;     // silence that abandons a frame
constexpr std::uint16_t RSMC_TASK_TYPE = OSSC_EVERY_FOURTH_PASS; // port tasks run every fourth pass
constexpr std::uint16_t RSMC_QUEUE_SIZE = 256; // Full-protocol transmit queue slots

// ---- the port record, handed to the protocols' receive and transmit operations ----

// A growable message buffer owned by a port record; never holds more than RSMC_MSG_BUFFER_LIMIT.
class RsmMsgBuffer {
  public:
    bool Reserve(std::size_t wSize);   // room for wSize bytes in all, keeping the content
    bool Append(std::uint8_t byValue); // false when no room was reserved
    std::uint8_t* Data() { return pbyData_.get(); }
    std::size_t Size() const { return wSize_; }
    void Release(); // frees the memory
  private:
    std::unique_ptr<std::uint8_t[]> pbyData_;
    std::size_t wCapacity_ = 0;
    std::size_t wSize_ = 0;
};

// One queued Full-protocol frame in its on-the-line form.
struct RsmFrame {
    std::uint8_t bSent = 0;
    std::uint16_t wLength = 0;
    std::uint16_t wCapacity = 0;
    std::unique_ptr<std::uint8_t[]> pbyBytes; // empty slot when null
};

// Full-protocol state of a port.
struct RsmFullState {
    std::uint8_t byFrameKind = 0;
    std::uint8_t byRxSequence = 0;
    std::uint8_t byExpectedSequence = 0;
    std::uint8_t byNextTxSequence = 0;
    std::uint8_t byLastDelivered = 0xFF;
    // The last delivered frame as the peer may still be retrying it: kept across a reset request
    // until dwDeliveredUntil, so that a retransmission after the reset is not delivered again.
    std::uint8_t bDeliveredKept = 0;
    std::uint8_t byDeliveredSequence = 0;
    std::uint16_t wDeliveredLength = 0;
    std::uint32_t dwDeliveredHash = 0;
    std::uint32_t dwDeliveredUntil = 0;
    std::uint8_t bResetSeen = 0;    // a reset request came and no data frame since
    std::uint32_t dwResetTime = 0;  // when it came
    std::uint32_t dwFrameStart = 0; // when the frame being received began
    std::uint8_t byCurrentTxSequence = 0;
    std::uint8_t byAwaitedAck = 0;
    std::uint8_t bConnected = 0;
    RsmNotify pfNotify = nullptr;
    std::uint8_t bEscape = 0;
    std::uint32_t dwLastSyncSent = 0;
    std::uint32_t dwAckDeadline = 0; // 0: not waiting for an acknowledgement
    std::uint16_t wQueueRead = 0;
    std::uint16_t wQueueWrite = 0;
    std::array<RsmFrame, RSMC_QUEUE_SIZE> queue;
    RsmCommParams tParams;
    std::uint32_t dwHeartbeatMs = 0;
    std::uint32_t dwRetryMs = 0;
    RsmStatistics tStatistics;
    std::uint16_t wRetriesLeft = 0;
    std::uint32_t dwLastReception = 0;
};

struct RsmPort;
using RsmReceiveOp = void (*)(RsmPort& tPort);
using RsmTransmitOp = std::uint16_t (*)(RsmPort& tPort, std::uint8_t byMsgType,
                                        std::uint16_t wLength, const std::uint8_t* pbyData);

struct RsmPort {
    RsmReceiveOp pfReceive = nullptr;
    RsmTransmitOp pfTransmit = nullptr;
    std::uint8_t bOpen = 0;
    std::uint8_t byCameraMode = 0;
    std::uint8_t byChannelId = 0;
    std::uint8_t byComport = 0;
    std::uint16_t wProtocol = 0;
    std::uint32_t dwBaudrate = 0;
    std::uint16_t wTaskId = 0;
    std::uint16_t wRxState = 0;       // 0: idle, waiting for the start of a frame
    std::uint16_t wRxLength = 0;      // length of the block being received
    std::uint16_t wRxCount = 0;       // its data bytes received so far
    std::uint8_t byRxType = 0;        // its message type
    std::uint8_t byRxChecksum = 0;    // running checksum
    RsmMsgBuffer rxBuffer;            // message being assembled
    std::uint32_t dwLastRx = 0;       // Simple: time of the last reception
    std::uint32_t dwGeneration = 0;   // raised by every close; lets a step see it was closed
    std::uint8_t byLineLost = 0;      // 1: the line hung up in this step; 2: reported, not read
    RsmNotify pfLineNotify = nullptr; // link event callback of every protocol (the line's loss)
    std::array<std::uint8_t, RSMC_READ_BUFFER_SIZE> abyRead{};
    std::array<char, RSMC_LINE_SIZE> szLine{}; // Terminal line
    std::uint16_t wLineLength = 0;
    RsmFullState tFull;
};

// ---- the manager's services to its protocols ----
const RsmDriverOps& RsmDriver(); // the driver in use; while a capture is open, through the tap
RsmPort* RsmFindOpen(std::uint8_t byComport); // the record of an open port, or nullptr
// Reads what the port's line has received into its read buffer: the driver's status and count.
// A hang-up marks the port: its task then reports the line lost once (event 2 through the
// callback given to RsmOpen, whatever the protocol) and stops reading it.
std::uint16_t RsmReadLine(RsmPort& tPort, std::uint16_t* pwCount);
// Abandons the message being received: its buffer is freed and the receiver waits for a start.
void RsmDropMessage(RsmPort& tPort);
// Hands the message received whole up (type byRxType, wRxLength bytes) and leaves the receiver
// waiting for a start. False when the port was closed meanwhile (by a handler).
bool RsmDeliverMessage(RsmPort& tPort);

// Receive states of the Simple protocol; the Terminal protocol reads its framed messages with
// them from Type on, and its text in Idle.
enum class RsmFrameState : std::uint16_t {
    Idle = 0,
    Dollar = 1,
    Return = 2,
    Type = 3,
    LengthLow = 4,
    LengthHigh = 5,
    Data = 6,
    Checksum = 7,
};
constexpr std::uint16_t RsmStateOf(RsmFrameState tState) {
    return static_cast<std::uint16_t>(tState);
}

// ---- RsmFull ----
// The Full framing protocol of a serial port: data frames with sequence numbers and a
// checksum, ACK, NAK and SYNC control frames, retransmission, heartbeat, silence supervision and
// optional packing of several messages into one frame.
constexpr std::uint8_t RSMC_FRAME_START = 0xC8; // first byte of every frame; doubled in data
constexpr std::uint8_t RSMC_KIND_NAK = 0x23;
constexpr std::uint8_t RSMC_KIND_DATA = 0x24;
constexpr std::uint8_t RSMC_KIND_SYNC = 0x3F;
constexpr std::uint8_t RSMC_KIND_ACK = 0x40;
constexpr std::uint8_t RSMC_PAD = 0x13;         // keeps a checksum from becoming 0xC8
constexpr std::uint8_t RSMC_PAD_TRIGGER = 0x37; // byte sum that would give the checksum 0xC8
constexpr std::uint8_t RSMC_CONTINUE = 0x01;    // another message block follows
constexpr std::uint8_t RSMC_SYNC_RESET = 0x80;  // SYNC sequence of a reset request
constexpr std::uint8_t RSMC_NO_SEQUENCE = 0xFF; // last delivered sequence: none
constexpr std::uint8_t RSMC_SEQUENCE_MODULO = 128;
constexpr std::uint8_t RSMC_WINDOW = 64;             // frames this far ahead or more are old ones
constexpr std::uint32_t RSMC_LINE_BITS_PER_BYTE = 9; // for a frame's time on the line
constexpr std::uint8_t RSMC_EVENT_ACK_TIMEOUT = 0;   // RsmFullTxEvent: no ACK in time
constexpr std::uint16_t RSMC_CONTROL_FRAME_LENGTH = 5;
constexpr std::uint32_t RSMC_KEEP_MARGIN_MS = 1000; // a delivered frame is kept this much longer
// A frame that begins within a retry time / 2 after a reset request is a new start.
constexpr std::uint32_t RSMC_FRESH_START_DIVISOR = 2;

// The kind byte after a 0xC8 that starts a frame.
constexpr bool RsmIsFrameKind(std::uint8_t byValue) {
    return byValue == RSMC_KIND_NAK || byValue == RSMC_KIND_DATA || byValue == RSMC_KIND_SYNC ||
           byValue == RSMC_KIND_ACK;
}

constexpr std::uint16_t RSMC_FULL_TOO_LONG = 11101;   // message of 5000 bytes or more
constexpr std::uint16_t RSMC_FULL_NO_MEMORY = 11102;  // no memory for the frame
constexpr std::uint16_t RSMC_FULL_QUEUE_FULL = 11105; // 256 frames already queued

// Sets up the Full-protocol state of a port being opened, with the default parameters.
void RsmFullSetup(RsmPort& tPort, RsmNotify pfNotify);
// Queues a message (packing it into the newest unsent frame when allowed) and sends it when it
// is the only one queued. 0, 11101, 11102, 11105 or the status of the send.
std::uint16_t RsmFullTransmit(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                              const std::uint8_t* pbyData);
// One receive and timer step of the port's task.
void RsmFullProcess(RsmPort& tPort);
// Sends a 5-byte NAK, SYNC or ACK frame; the status of the write.
std::uint16_t RsmTransmitAckNackSyncMessage(RsmPort& tPort, std::uint8_t byKind,
                                            std::uint8_t bySequence);
// Sends the oldest queued frame and starts waiting for its ACK; 0 when nothing is queued.
std::uint16_t RsmFullSendNext(RsmPort& tPort);
// Reaction of the transmit side to an ACK time-out (0), a NAK, a SYNC or an ACK.
std::uint16_t RsmFullTxEvent(RsmPort& tPort, std::uint8_t byEvent, std::uint8_t bySequence);
// Empties the transmit side and ends the connection (event 2 when it was connected).
void RsmFullReset(RsmPort& tPort);
// Frames queued now.
std::uint16_t RsmFullQueued(const RsmPort& tPort);
// Calls the port's notify callback, if any. False when the port was closed meanwhile (by the
// callback), so that the caller stops touching the record.
bool RsmFullNotify(RsmPort& tPort, std::uint16_t wEvent);

// ---- RsmSimple ----
// The Simple framing protocol: each message in one checksummed frame
// (1B 24 0D, type, length, data, checksum), a NAK message on a bad frame, no retries.
constexpr std::uint8_t RSMC_ESC = 0x1B;               // first byte of a frame
constexpr std::uint8_t RSMC_DOLLAR = 0x24;            // second byte
constexpr std::uint8_t RSMC_CR = 0x0D;                // third byte; ends a Terminal line
constexpr std::uint8_t RSMC_BACKSPACE = 0x08;         // Terminal line editing
constexpr std::uint8_t RSMC_SIMPLE_HEADER_SUM = 0x4C; // 1B + 24 + 0D

// Sends the message as one frame, in five driver writes; the status of the last write.
std::uint16_t RsmTransmitMessage(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                                 const std::uint8_t* pbyData);
// One receive step: reads the port and delivers every complete frame.
void RsmProcessMessages(RsmPort& tPort);
// Writes the head of a frame, 1B 24 0D, the type and the length, in three driver writes.
void RsmWriteFrameHead(const RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength);

// ---- RsmTerminal ----
// The Terminal protocol: text lines from the serial line go up as terminal
// requests, terminal responses go out as bare text, other messages travel in short frames.
// Sends a TERMINAL_RESPONCE as its text alone, any other message framed; last write's status.
std::uint16_t RsmTransmitChars(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                               const std::uint8_t* pbyData);
// One receive step: reads the port, edits the line, delivers lines and framed messages.
void RsmProcessChars(RsmPort& tPort);

// ---- RsmTrace ----
// The serial ports' tap for the link trace (Runtime/Trace). While a capture is open the
// manager hands every byte a port writes and reads to these operations, which cut the two byte
// streams into the frames of the port's protocol exactly as they stand on the line (escapes and
// checksum included) and write one record per frame. Bytes that belong to no frame (noise, a frame
// abandoned after the receiver's 100 ms of silence or broken off by a bad byte) make records of
// their own, marked TRACEC_FLAG_NO_FRAME. The cut follows the receivers' own rules, so a record
// boundary falls where the protocol saw one.
// Bytes the port wrote to the line.
void RsmTraceSent(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData);
// Bytes a read delivered (wCount 0 for an empty read, which may end an abandoned frame), at dwNow.
void RsmTraceReceived(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData,
                      std::uint32_t dwNow);
// The port closes: whatever is left of an unfinished frame is written as a no-frame record.
void RsmTracePortClosed(const RsmPort& tPort);
// Forgets every unfinished frame without writing it (test set-up only).
void RsmTraceResetForTest();
