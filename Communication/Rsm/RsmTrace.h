// RsmTrace: the serial ports' tap for the link trace (Runtime/Trace). While a capture is open the
// manager hands every byte a port writes and reads to these operations, which cut the two byte
// streams into the frames of the port's protocol exactly as they stand on the line (escapes and
// checksum included) and write one record per frame. Bytes that belong to no frame (noise, a frame
// abandoned after the receiver's 100 ms of silence or broken off by a bad byte) make records of
// their own, marked TRACEC_FLAG_NO_FRAME. The cut follows the receivers' own rules, so a record
// boundary falls where the protocol saw one.
#pragma once

#include <cstdint>

#include "Communication/Rsm/Rsm.h"

// Bytes the port wrote to the line.
void RsmTraceSent(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData);
// Bytes a read delivered (wCount 0 for an empty read, which may end an abandoned frame), at dwNow.
void RsmTraceReceived(const RsmPort& tPort, std::uint16_t wCount, const std::uint8_t* pbyData,
                      std::uint32_t dwNow);
// The port closes: whatever is left of an unfinished frame is written as a no-frame record.
void RsmTracePortClosed(const RsmPort& tPort);
// Forgets every unfinished frame without writing it (test set-up only).
void RsmTraceResetForTest();
