// RsmFull: the Full framing protocol of a serial port: data frames with sequence numbers and a
// checksum, ACK, NAK and SYNC control frames, retransmission, heartbeat, silence supervision and
// optional packing of several messages into one frame.
#pragma once

#include <cstdint>

#include "Communication/Rsm/Rsm.h"

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
constexpr std::uint32_t RSMC_FRESH_START_DIVISOR =
    2; // a retry time / 2 after a reset: no new start

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
