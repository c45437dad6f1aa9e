// Platform serial access: serial devices with their line settings, non-blocking reads, bounded
// writes, the byte pipe that feeds a port's writer thread, and pseudo-terminal pairs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

using PltHandle = int;                             // an open device, pipe end or terminal
constexpr PltHandle PLTC_INVALID_HANDLE = -1;      // no handle
constexpr std::size_t PLTC_DEVICE_NAME_SIZE = 128; // bytes of a device name, terminating 0 included

// Result of applying the line settings to an open device.
enum class PltSerialConfig : std::uint8_t {
    Ok,        // settings in force
    GetFailed, // the current settings could not be read
    SetFailed, // the new settings could not be written (or the baud rate is not supported)
};

constexpr std::uint8_t PLTC_NAMED_PORTS = 4; // port indexes that take a device name

// Device name of port index byPort (0 = COM1): the name given by PltSerialSetDeviceName, else the
// value of TALVO_RC_COM<byPort + 1> when that variable is set and not empty, else /dev/ttyS<byPort>
// (\\.\COM<byPort + 1> on Windows). Always terminated within wSize bytes.
void PltSerialDeviceName(std::uint8_t byPort, char* pszName, std::size_t wSize);
// Names the device of port index byPort (below PLTC_NAMED_PORTS); nullptr or "" forgets the name.
// On Windows a bare COM<n> becomes \\.\COM<n>, which reaches the ports beyond COM9. False when
// the name does not fit PLTC_DEVICE_NAME_SIZE or the index is out of range.
[[nodiscard]] bool PltSerialSetDeviceName(std::uint8_t byPort, const char* pszName);
const char* PltSerialErrorText(int iError); // the system's words for an open or transfer error

// Opens a device for reading and writing, non-blocking, not as controlling terminal, and asks
// for exclusive use. Returns the handle or PLTC_INVALID_HANDLE; *piError gets the error number.
[[nodiscard]] PltHandle PltSerialOpen(const char* pszDevice, int* piError);

// Raw 8-bit line with the given baud rate, byte size (5..8), parity code (0 none, 1 odd, 2 even,
// 3 mark, 4 space), one stop bit, RTS/CTS handshake, receiver on, DTR raised.
// *pbyParityOn receives the parity enable bit of the settings as written (0 or 1).
PltSerialConfig PltSerialConfigure(PltHandle hDevice, std::uint32_t dwBaudrate,
                                   std::uint8_t byByteSize, std::uint8_t byParity,
                                   std::uint8_t* pbyParityOn);

// Changes only the baud rate of an open device. False when reading or writing the settings fails.
[[nodiscard]] bool PltSerialSetBaudrate(PltHandle hDevice, std::uint32_t dwBaudrate);

// PltSerialRead: the line has hung up (far end of a pseudo-terminal closed, adapter unplugged).
constexpr long PLTC_SERIAL_HUNG_UP = -2;

// Reads what has arrived, never waiting: the byte count (> 0), 0 when nothing is there,
// PLTC_SERIAL_HUNG_UP when the line has hung up (no byte will ever come again), or -1 on another
// error, with *piError set for both. An interrupted call is repeated.
[[nodiscard]] long PltSerialRead(PltHandle hDevice, std::uint8_t* pbyBuffer, std::size_t wMax,
                                 int* piError);

// Writes the bytes, waiting for room at most dwTimeoutMs and stopping early once *pbGoOn is 0
// (pbGoOn may be null). Returns the bytes written (fewer on a time-out or stop), or -1 on an
// error with *piError set.
[[nodiscard]] long PltSerialWrite(PltHandle hDevice, const std::uint8_t* pbyData,
                                  std::size_t wCount, std::uint32_t dwTimeoutMs,
                                  const std::atomic<std::uint8_t>* pbGoOn, int* piError);

// Discards output not yet sent by the device. False on failure.
[[nodiscard]] bool PltSerialPurge(PltHandle hDevice);

// Gives up the exclusive use asked for by PltSerialOpen and closes the device, so that the
// next open of the same device (while the far end keeps it open) succeeds.
void PltSerialClose(PltHandle hDevice);

// Closes a device, pipe end or terminal; PLTC_INVALID_HANDLE is ignored.
void PltHandleClose(PltHandle hHandle);

// Creates a byte pipe holding at least wCapacity bytes. The read end blocks, the write end does
// not (PltPipeWrite waits itself). False on failure, with nothing left open.
[[nodiscard]] bool PltPipeCreate(std::size_t wCapacity, PltHandle* phRead, PltHandle* phWrite);

// Blocking read of up to wMax bytes: the count (> 0), or -1 on an error or when the pipe ended.
[[nodiscard]] long PltPipeRead(PltHandle hRead, std::uint8_t* pbyBuffer, std::size_t wMax);

// Appends all bytes to the pipe. While the pipe is full it waits for room, but gives up (false)
// once *pbReaderAlive is 0 or after dwTimeoutMs. True when every byte is in the pipe.
[[nodiscard]] bool PltPipeWrite(PltHandle hWrite, const std::uint8_t* pbyData, std::size_t wCount,
                                std::uint32_t dwTimeoutMs,
                                const std::atomic<std::uint8_t>* pbReaderAlive);

// Appends what fits into the pipe now, never waiting: the bytes taken (0 when it is full), or -1
// when the pipe cannot be written (its reader is gone).
[[nodiscard]] long PltPipeWriteSome(PltHandle hWrite, const std::uint8_t* pbyData,
                                    std::size_t wCount);

// Creates a pseudo-terminal pair. *phMaster gets the master side (non-blocking; use it with
// PltSerialRead, PltSerialWrite and PltHandleClose) and pszSlave the path of the other side, the
// serial device a port can open. The other side is set to a raw line at once; when phSlave is
// not null it stays open and *phSlave receives it, so that the master never sees a hang-up.
[[nodiscard]] bool PltPtyOpen(PltHandle* phMaster, PltHandle* phSlave, char* pszSlave,
                              std::size_t wSize);
