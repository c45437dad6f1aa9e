// RsmTypes: the RS232 manager's codes, limits and value types, shared by its contract (Rsm.h) and
// its protocols' private header (RsmPriv.h).
#pragma once

#include <cstdint>

constexpr std::uint8_t RSMC_NR_OF_SLOTS = 2;       // port slots
constexpr std::uint16_t RSMC_ERROR = 1;            // refusal status of the manager
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

// The byte driver under the manager (the serial port driver unless a test replaces it).
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
