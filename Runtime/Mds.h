// Mds: message dispatch. Received messages go up by message type to the application's handlers,
// messages to be sent go down by channel id to the channels' transmit handlers.
#pragma once

#include <cstdint>

constexpr std::uint16_t MDSC_ERROR = 11901;           // invalid id (255) or no handler registered
constexpr std::uint8_t MDSC_INVALID_ID = 255;         // not a valid index in either table
constexpr std::uint16_t MDSC_TABLE_SIZE = 255;        // entries 0..254 in each table
constexpr std::uint8_t MDSC_SERIAL_CHANNEL_0 = 32;    // first opened serial port
constexpr std::uint8_t MDSC_SERIAL_CHANNEL_1 = 33;    // second opened serial port
constexpr std::uint8_t MDSC_TERMINAL_CHANNEL = 34;    // console terminal
constexpr std::uint8_t MDSC_TCPIP_SESSION_BASE = 44;  // channel of TCP/IP session 0
constexpr std::uint8_t MDSC_HIGHEST_CHANNEL_ID = 100; // TCP/IP sessions stay below this

// Message types, the first thing every message carries. These are the ones the system itself
// sends, receives or reacts to; a remote function's own messages use RFS_REQUEST/RFS_RESPONSE.
constexpr std::uint8_t MDSC_MSG_NAK = 2;
constexpr std::uint8_t MDSC_MSG_RFS_REQUEST = 3;           // a remote call
constexpr std::uint8_t MDSC_MSG_RFS_RESPONSE = 4;          // its answer
constexpr std::uint8_t MDSC_MSG_PC_NOTIFY = 5;             // notification of an UPDATE function
constexpr std::uint8_t MDSC_MSG_TERMINAL_REQUEST = 6;      // one console line
constexpr std::uint8_t MDSC_MSG_TERMINAL_RESPONSE = 7;     // text answering one
constexpr std::uint8_t MDSC_MSG_COMMUNICATION_PARAMS = 15; // link parameters and statistics
constexpr std::uint8_t MDSC_MSG_CAMERA_REQUEST = 25;       // a terminal line in camera control mode

// A message handler: (channel id, message type, length, data). The data belong to the caller and
// are valid only during the call. Returns 0 for success or a status.
using MsgHandler = std::uint16_t (*)(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                     std::uint16_t wLength, const std::uint8_t* pbyData);

// Empties both tables on the first call; later calls change nothing
[[nodiscard]] std::uint16_t MdsInit();
[[nodiscard]] std::uint16_t MdsClose(); // nothing to release; returns 0
// Number of handlers called so far, in either direction (wraps). A message sent or received means
// more work may follow at once, so an idle loop only sleeps after a round without any.
std::uint32_t MdsActivityCount();

[[nodiscard]] std::uint16_t MdsRegisterMsgHandler(std::uint8_t byMsgType, MsgHandler pfHandler);
[[nodiscard]] std::uint16_t MdsDeregisterMsgHandler(std::uint8_t byMsgType);
// Calls the handler of the message type; MDSC_ERROR when none or the type is 255.
[[nodiscard]] std::uint16_t MdsExecuteMsgHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                                 std::uint16_t wLength,
                                                 const std::uint8_t* pbyData);

[[nodiscard]] std::uint16_t MdsRegisterResponseHandler(std::uint8_t byChannelId,
                                                       MsgHandler pfHandler);
[[nodiscard]] std::uint16_t MdsDeregisterResponseHandler(std::uint8_t byChannelId);
// Calls the transmit handler of the channel; MDSC_ERROR when none or the channel is 255.
[[nodiscard]] std::uint16_t MdsExecuteResponseHandler(std::uint8_t byChannelId,
                                                      std::uint8_t byMsgType, std::uint16_t wLength,
                                                      const std::uint8_t* pbyData);

// Empties both tables whatever the initialised state (test set-up only).
std::uint16_t MdsHandlerCount(); // handlers registered, both directions
void MdsResetForTest();
