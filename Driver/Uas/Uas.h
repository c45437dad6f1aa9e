// Uas: the serial port driver. Opens and configures up to four serial ports, hands every byte
// written to a writer thread of the port through a byte pipe, and lets the caller poll for
// received bytes without blocking.
#pragma once

#include <cstdint>

#include "Platform/PltSerial.h"

constexpr std::uint8_t UASC_NR_OF_PORTS = 4;          // port indexes 0..3 (COM1..COM4)
constexpr std::uint16_t UASC_BUFFER_SIZE = 3500;      // read buffer, writer transfer buffer
constexpr std::uint32_t UASC_PIPE_SIZE = 7000;        // capacity of a port's write pipe
constexpr std::uint32_t UASC_WRITE_TIMEOUT_MS = 1000; // base time-out of one device write
constexpr std::uint32_t UASC_JOIN_TIMEOUT_MS = 1000;  // UasClose waits this long for the writer
constexpr std::uint32_t UASC_BACKLOG_LIMIT = 7000;    // bytes held back for a full pipe at most
constexpr std::uint8_t UASC_WAKE_UP_BYTES = 4;        // zero bytes that wake the writer on close

constexpr std::uint16_t UASC_ERROR = 12300;           // event, pipe or thread creation, pipe write,
                                                      // read error, purge failure
constexpr std::uint16_t UASC_NO_CHAR = 12301;         // UasGetChar: no byte or read failed
constexpr std::uint16_t UASC_OPEN_FAILED = 12302;     // the device failed to open
constexpr std::uint16_t UASC_BAUDRATE_FAILED = 12303; // UasSetBaudrate failed
constexpr std::uint16_t UASC_CONFIG_FAILED = 12304;   // configuring the device failed
constexpr std::uint16_t UASC_HUNG_UP = 12305;         // UasReadBuffer: the line has hung up

// Every status is checked by its caller: 0 is success, anything else one of the codes above.
[[nodiscard]] std::uint16_t UasInit();      // resets the four port records; 0
[[nodiscard]] std::uint16_t UasTerminate(); // clears the initialised flag; closes nothing; 0
// Opens the port (device from PltSerialDeviceName), applies the line settings (one stop bit
// always; byStopBits is not used) and starts its writer thread. 0 or a code above.
[[nodiscard]] std::uint16_t UasOpen(std::uint8_t byComport, std::uint32_t dwBaudrate,
                                    std::uint8_t byByteSize, std::uint8_t byStopBits,
                                    std::uint8_t byParity);
// Hands an already open device (such as the master side of a pseudo-terminal pair, for the unit
// simulator) to port index byComport: its next UasOpen configures and uses this handle instead
// of opening the device by name, and UasClose closes it. 0, or UASC_ERROR for a bad index or a
// port in use.
[[nodiscard]] std::uint16_t UasSetDeviceHandle(std::uint8_t byComport, PltHandle hDevice);
// Stops the writer, closes everything; 0
[[nodiscard]] std::uint16_t UasClose(std::uint8_t byComport);
int UasLastOpenError(); // system error of the last UasOpen's device open; 0 when it opened
// Hands the bytes to the writer thread without ever waiting: what the write pipe cannot take now
// is held back in order and goes on at the next write or read of the port. While UASC_BACKLOG_LIMIT
// bytes or more are held back (a line that takes nothing), the buffer is dropped whole and
// counted. 0, or UASC_ERROR when the port is not open, its writer thread has stopped, or the
// buffer was dropped.
[[nodiscard]] std::uint16_t UasWriteBuffer(std::uint8_t byComport, std::uint16_t wCount,
                                           const std::uint8_t* pbyData);
[[nodiscard]] std::uint16_t UasPutChar(std::uint8_t byComport, std::uint8_t byChar); // one byte
// Delivers up to wMax (at most UASC_BUFFER_SIZE) received bytes in arrival order; never blocks.
// Once the line has hung up it returns UASC_HUNG_UP (logged once) and reads the device no more.
[[nodiscard]] std::uint16_t UasReadBuffer(std::uint8_t byComport, std::uint16_t wMax,
                                          std::uint8_t* pbyData, std::uint16_t* pwCount);
[[nodiscard]] std::uint16_t UasGetChar(std::uint8_t byComport,
                                       std::uint8_t* pbyChar); // 0 or UASC_NO_CHAR
// Discards pending output; 0 or UASC_ERROR
[[nodiscard]] std::uint16_t UasPurge(std::uint8_t byComport);
std::uint32_t UasDroppedBuffers(std::uint8_t byComport); // buffers dropped since the port opened
std::uint8_t UasIsOpen(std::uint8_t byComport);          // 1 when in use and the writer runs
int UasReadHandle(std::uint8_t byComport); // the open port's device descriptor, or -1 (hung up)
[[nodiscard]] std::uint16_t UasSetBaudrate(std::uint8_t byComport,
                                           std::uint32_t dwBaudrate); // 0 or 12303
[[nodiscard]] std::uint16_t UasEnableNotify(std::uint8_t byComport,
                                            std::uint8_t bEnable); // does nothing; 0
std::uint8_t UasOpenPortCount();                                   // ports in use in the driver now

// Closes every open port and clears the initialised flag (test tear-down only).
void UasResetForTest();
