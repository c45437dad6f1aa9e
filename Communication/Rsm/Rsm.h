// Rsm: the RS232 manager. Makes up to two serial ports channels of the dispatch layer (slot 0 on
// channel 32, slot 1 on channel 33), each with the Terminal, Simple or Full framing protocol,
// and keeps the Full protocol's statistics and communication parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/PltWait.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

constexpr std::uint8_t RSMC_NR_OF_SLOTS = 2;          // port slots
constexpr std::uint16_t RSMC_READ_BUFFER_SIZE = 3500; // bytes read per task run
constexpr std::uint16_t RSMC_MAX_MSG_LENGTH = 5000;   // lengths from here on are refused
constexpr std::size_t RSMC_MSG_BUFFER_LIMIT = 65535;  // largest received frame kept
constexpr std::uint16_t RSMC_LINE_SIZE = 200;         // Terminal line: 199 characters and 0
constexpr std::uint32_t RSMC_RX_TIMEOUT_MS = 100;     // silence that abandons a frame
constexpr std::uint16_t RSMC_ERROR = 1;               // refusal status of the manager
constexpr std::uint16_t RSMC_TASK_TYPE = OSSC_EVERY_FOURTH_PASS; // port tasks run every fourth pass
constexpr std::uint16_t RSMC_READ_HUNG_UP = 12305; // driver read status: the line hung up

constexpr std::uint16_t RSMC_PROTOCOL_TERMINAL = 0; // protocol codes of RsmOpen
constexpr std::uint16_t RSMC_PROTOCOL_SIMPLE = 1;
constexpr std::uint16_t RSMC_PROTOCOL_FULL = 2;
constexpr std::uint16_t RSMC_PROTOCOL_TERMINAL_ALT = 3; // also Terminal

constexpr std::uint16_t RSMC_EVENT_ESTABLISHED = 1; // notify events of the Full protocol
constexpr std::uint16_t RSMC_EVENT_LOST = 2;
constexpr std::uint16_t RSMC_EVENT_MSG_LOST = 3;

constexpr std::uint16_t RSMC_CODE_PARAM_REQUEST = 1; // COMMUNICATION_PARAMS function codes
constexpr std::uint16_t RSMC_CODE_PARAM_RESPONSE = 2;
constexpr std::uint16_t RSMC_CODE_STAT_REQUEST = 0x3001;
constexpr std::uint16_t RSMC_CODE_STAT_RESPONSE = 0x3002;
constexpr std::uint16_t RSMC_PARAM_MSG_LENGTH = 10;   // code, three values, packing, spare
constexpr std::uint16_t RSMC_STAT_REQUEST_LENGTH = 2; // code only
constexpr std::uint16_t RSMC_STAT_MSG_LENGTH = 16;    // code and seven counters

constexpr std::uint16_t RSMC_DEFAULT_HEARTBEAT = 5; // seconds
constexpr std::uint16_t RSMC_DEFAULT_RETRIES = 2;
constexpr std::uint16_t RSMC_DEFAULT_RETRY_TIME = 2; // seconds
constexpr std::uint16_t RSMC_MAX_HEARTBEAT = 1000;   // limits applied when parameters are set
constexpr std::uint16_t RSMC_MAX_RETRIES = 10;
constexpr std::uint16_t RSMC_MIN_RETRY_TIME = 1;
constexpr std::uint16_t RSMC_MAX_RETRY_TIME = 100;

constexpr std::uint16_t RSMC_QUEUE_SIZE = 256; // Full-protocol transmit queue slots

// Statistics counters of a port, in display order; they wrap from 65535 to 0.
struct RsmStatistics {
    std::uint16_t wNackReceived = 0;       // NAK frames with a good checksum
    std::uint16_t wInvalidFrameLength = 0; // blocks with a length of 5000 or more
    std::uint16_t wTimeouts = 0;           // frames abandoned after 100 ms of silence
    std::uint16_t wInvalidChecksums = 0;   // frames with a wrong checksum
    std::uint16_t wCommLosts = 0;          // connections declared lost for silence
    std::uint16_t wRetries = 0;            // data frames sent again
    std::uint16_t wMsgLosts = 0;           // data frames dropped after the last retry
};

// Retransmission parameters of a port.
struct RsmCommParams {
    std::uint16_t HeartbeatTime = 0; // seconds; 0 switches heartbeat and silence supervision off
    std::uint16_t NrRetries = 0;
    std::uint16_t RetryTime = 0; // seconds
    std::uint8_t byPacking = 0;  // non-zero: several messages may share one frame
};

// Link event callback: (event 1 established, 2 lost, 3 message lost; channel id).
using RsmNotify = void (*)(std::uint16_t wEvent, std::uint8_t byChannelId);

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

// ---- the byte driver under the manager (the serial port driver unless a test replaces it) ----
struct RsmDriverOps {
    std::uint16_t (*pfOpen)(std::uint8_t byComport, std::uint32_t dwBaudrate,
                            std::uint8_t byByteSize, std::uint8_t byStopBits,
                            std::uint8_t byParity);
    std::uint16_t (*pfClose)(std::uint8_t byComport);
    std::uint16_t (*pfWrite)(std::uint8_t byComport, std::uint16_t wCount,
                             const std::uint8_t* pbyData);
    // 0 with the count, RSMC_READ_HUNG_UP once the line has hung up, or another error status.
    std::uint16_t (*pfRead)(std::uint8_t byComport, std::uint16_t wMax, std::uint8_t* pbyData,
                            std::uint16_t* pwCount);
    std::uint16_t (*pfPurge)(std::uint8_t byComport);
    std::uint8_t (*pfIsOpen)(std::uint8_t byComport);
    std::uint16_t (*pfSetBaudrate)(std::uint8_t byComport, std::uint32_t dwBaudrate);
    std::uint16_t (*pfEnableNotify)(std::uint8_t byComport, std::uint8_t bEnable);
    // Descriptor that becomes readable when bytes arrive, or -1 (an idle program waits on it).
    int (*pfReadHandle)(std::uint8_t byComport);
};
const RsmDriverOps& RsmDriver();             // the driver in use
void RsmSetDriver(const RsmDriverOps* pOps); // nullptr: the serial port driver (tests, simulator)

// ---- operations ----
std::uint16_t RsmInit();      // clears both records; 0
std::uint16_t RsmTerminate(); // 0
// Opens the port with the protocol; slot 0 gets channel 32, slot 1 channel 33. 0, 1 or the
// driver's status; on failure nothing stays open.
std::uint16_t RsmOpen(std::uint8_t byComport, std::uint32_t dwBaudrate, std::uint16_t wProtocol,
                      RsmNotify pfNotify);
std::uint16_t RsmClose(std::uint8_t byComport); // 0, or 1 when not open or a removal failed
std::uint16_t RsmGetProtocolType(std::uint8_t byComport, std::uint16_t* pwProtocol);
std::uint16_t RsmGetChannelId(std::uint8_t byComport, std::uint8_t* pbyChannelId);
std::uint16_t RsmEnableNotify(std::uint8_t byComport, std::uint8_t bEnable);
std::uint16_t RsmSetCameraControlMode(std::uint8_t byComport, std::uint8_t byMode);
// Copies the counters out and sets them to 0.
std::uint16_t RsmGetStatistics(std::uint8_t byComport, RsmStatistics* ptStatistics);
// Stores the parameters under the limits and writes the values in force back.
std::uint16_t RsmSetCommunicationParams(std::uint8_t byComport, RsmCommParams* ptParams);
// Adds the descriptors of the open ports' lines to an idle wait.
void RsmAddWaitHandles(PltWaitSet& rSet);
std::uint16_t RsmGetComport(std::uint8_t bySlot, std::uint8_t* pbyComport); // 0 or 1
std::uint8_t RsmIsPortOpen(std::uint8_t byComport);                         // UasIsOpen
std::uint16_t RsmSetBaudrate(std::uint8_t byComport, std::uint32_t dwBaudrate);
// Answers a COMMUNICATION_PARAMS request arriving on the port; returns the send status or 0.
std::uint16_t RsmHandleComNessage(RsmPort& tPort, std::uint8_t byMsgType, std::uint16_t wLength,
                                  const std::uint8_t* pbyData);
// The manager's COMMUNICATION_PARAMS message handler (registered for type 15 by a Full open).
std::uint16_t RsmComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                  std::uint16_t wLength, const std::uint8_t* pbyData);

// ---- COMMUNICATION_PARAMS payloads, built and read byte by byte, low byte first ----
// Parameter message (code 1 or 2): 10 bytes, the last one the spare byte.
void RsmPackCommParams(std::uint16_t wCode, const RsmCommParams& tParams, std::uint8_t bySpare,
                       std::array<std::uint8_t, RSMC_PARAM_MSG_LENGTH>& abyOut);
// Reads a parameter message; bytes missing from a short message count as 0.
RsmCommParams RsmUnpackCommParams(const std::uint8_t* pbyData, std::uint16_t wLength);
// Statistics response (code 0x3002): 16 bytes.
void RsmPackStatistics(const RsmStatistics& tStatistics,
                       std::array<std::uint8_t, RSMC_STAT_MSG_LENGTH>& abyOut);
RsmStatistics RsmUnpackStatistics(const std::uint8_t* pbyData, std::uint16_t wLength);
// The 16-bit word at byte wOffset, low byte first; 0 for bytes beyond wLength.
std::uint16_t RsmReadWord(const std::uint8_t* pbyData, std::uint16_t wLength,
                          std::uint16_t wOffset);

// Reads what the port's line has received into its read buffer: the driver's status and count.
// A hang-up marks the port: its task then reports the line lost once (event 2 through the
// callback given to RsmOpen, whatever the protocol) and stops reading it.
std::uint16_t RsmReadLine(RsmPort& tPort, std::uint16_t* pwCount);

// Runs the task of a slot once (what the scheduler does every fourth pass).
void RsmRunSlotForTest(std::uint8_t bySlot);
// Closes every open port through the driver and clears both records (test set-up only).
void RsmResetForTest();
