// Serial port driver: port table, read hand-over, writer pipe and writer thread. The device,
// pipe and thread services come from the platform layer.
#include "Driver/Uas/Uas.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Platform/PltSerial.h"
#include "Platform/PltThread.h"
#include "Runtime/Log.h"

namespace {

// The checks below report their texts and this file name as the driver always reported them,
// so that logs read the same as ever.
constexpr const char* UASC_SOURCE_PATH = "..\\..\\..\\..\\Driver\\Uas\\UasIni.winntApp";
constexpr const char* UASC_THREAD_NAME = "Uas - WriteThread";
constexpr std::uint32_t UASC_BITS_PER_BYTE = 10; // start, 8 data and stop bit on the line

struct UasPort {
    PltHandle hDevice = PLTC_INVALID_HANDLE;
    PltHandle hPipeRead = PLTC_INVALID_HANDLE;
    PltHandle hPipeWrite = PLTC_INVALID_HANDLE;
    std::uint32_t dwBaudrate = 0;
    PltThread* hThread = nullptr;
    std::atomic<std::uint8_t> bRunning{0}; // 1 while the writer thread is to keep going
    std::atomic<std::uint8_t> bAlive{0};   // 1 from the thread's start until it has ended
    std::uint32_t dwHeld = 0;              // bytes received and not yet handed to the caller
    bool bHungUp = false;                  // the line hung up: the device is read no more
    std::vector<std::uint8_t> backlog;     // bytes the full pipe could not take yet (main thread)
    std::uint32_t dwDropped = 0;           // buffers dropped for a full backlog
    bool bDropping = false;                // the last buffer was dropped (logged once per run)
    std::array<std::uint8_t, UASC_BUFFER_SIZE> abyRead{};
    std::array<std::uint8_t, UASC_BUFFER_SIZE> abyTransfer{}; // the writer thread's own buffer
};

std::array<UasPort, UASC_NR_OF_PORTS> ports;
std::array<std::uint8_t, UASC_NR_OF_PORTS> bInUse{};
std::array<PltHandle, UASC_NR_OF_PORTS> adoptedDevices = {PLTC_INVALID_HANDLE, PLTC_INVALID_HANDLE,
                                                          PLTC_INVALID_HANDLE, PLTC_INVALID_HANDLE};
bool bInitialised = false;

// The entry checks of the operations on an open port, reported at the operation's line iLine;
// false when the record must not be used.
bool CheckOpenPort(std::uint8_t byComport, int iLine) {
    LogCheck(bInitialised, "bUASInitialised", UASC_SOURCE_PATH, iLine); // reported only
    if (!LogCheck(byComport < UASC_NR_OF_PORTS, "byComport < NR_OF_PORTS", UASC_SOURCE_PATH,
                  iLine)) {
        return false;
    }
    return LogCheck(bInUse[byComport] != 0, "bInUse[byComport]", UASC_SOURCE_PATH, iLine);
}

void ResetRecord(UasPort& port) {
    port.hDevice = PLTC_INVALID_HANDLE;
    port.hPipeRead = PLTC_INVALID_HANDLE;
    port.hPipeWrite = PLTC_INVALID_HANDLE;
    port.dwBaudrate = 0;
    port.hThread = nullptr;
    port.bRunning.store(0);
    port.bAlive.store(0);
    port.dwHeld = 0;
    port.bHungUp = false;
    port.backlog.clear();
    port.backlog.shrink_to_fit();
    port.dwDropped = 0;
    port.bDropping = false;
}

// Moves held-back bytes into the pipe as far as it has room. False when the pipe is broken.
bool FlushBacklog(UasPort& port) {
    if (port.backlog.empty()) {
        return true;
    }
    const long n = PltPipeWriteSome(port.hPipeWrite, port.backlog.data(), port.backlog.size());
    if (n < 0) {
        return false;
    }
    port.backlog.erase(port.backlog.begin(), port.backlog.begin() + n);
    return true;
}

std::uint32_t UasWriteThread(void* pvPort) {
    if (!LOG_CHECK_TEXT(pvPort != nullptr, "NULL != dummy", UASC_SOURCE_PATH)) {
        return 0;
    }
    UasPort& port = *static_cast<UasPort*>(pvPort);
    while (port.bRunning.load() != 0) {
        const long n =
            PltPipeRead(port.hPipeRead, port.abyTransfer.data(), port.abyTransfer.size());
        if (n < 0) {
            LogError(UASC_THREAD_NAME, 0,
                     "Blocking read from pipe returned error, stop processing");
            break;
        }
        if (port.bRunning.load() == 0) {
            break; // the wake-up bytes of UasClose are not sent
        }
        // One second plus the block's time on the line; what does not go out by then is dropped.
        std::uint32_t dwTimeout = UASC_WRITE_TIMEOUT_MS;
        if (port.dwBaudrate != 0) {
            dwTimeout +=
                static_cast<std::uint32_t>(n) * UASC_BITS_PER_BYTE * 1000u / port.dwBaudrate;
        }
        int iError = 0;
        const long written =
            PltSerialWrite(port.hDevice, port.abyTransfer.data(), static_cast<std::size_t>(n),
                           dwTimeout, &port.bRunning, &iError);
        if (written < 0) {
            LogError(UASC_THREAD_NAME, 0, "Communication error encountered, lasterror=%x",
                     static_cast<unsigned>(iError));
            break;
        }
    }
    port.bRunning.store(0);
    port.bAlive.store(0);
    return 0;
}

// Closes what an open step created, in the order of the close.
void CloseHandles(UasPort& port) {
    PltSerialClose(port.hDevice);
    PltHandleClose(port.hPipeRead);
    PltHandleClose(port.hPipeWrite);
    port.hDevice = PLTC_INVALID_HANDLE;
    port.hPipeRead = PLTC_INVALID_HANDLE;
    port.hPipeWrite = PLTC_INVALID_HANDLE;
}

} // namespace

std::uint16_t UasInit() {
    LOG_CHECK_TEXT(!bInitialised, "!bUASInitialised",
                   UASC_SOURCE_PATH); // reported; the operation goes on
    for (std::uint8_t i = 0; i < UASC_NR_OF_PORTS; ++i) {
        if (bInUse[i] == 0) {
            ResetRecord(ports[i]); // an open port keeps its record and its thread
        }
    }
    bInitialised = true;
    return 0;
}

std::uint16_t UasTerminate() {
    LOG_CHECK_TEXT(bInitialised, "bUASInitialised",
                   UASC_SOURCE_PATH); // reported; the operation goes on
    bInitialised = false;
    return 0;
}

namespace {
int iLastOpenError = 0; // error of the last device open, 0 when it succeeded
} // namespace

int UasLastOpenError() {
    return iLastOpenError;
}

std::uint16_t UasOpen(std::uint8_t byComport, std::uint32_t dwBaudrate, std::uint8_t byByteSize,
                      std::uint8_t /*byStopBits*/, std::uint8_t byParity) {
    LOG_CHECK_TEXT(bInitialised, "bUASInitialised",
                   UASC_SOURCE_PATH); // reported; the operation goes on
    if (!LOG_CHECK_TEXT(byComport < UASC_NR_OF_PORTS, "byComport < NR_OF_PORTS",
                        UASC_SOURCE_PATH)) {
        return UASC_OPEN_FAILED;
    }
    if (!LOG_CHECK_TEXT(bInUse[byComport] == 0, "!bInUse[byComport]", UASC_SOURCE_PATH)) {
        return UASC_OPEN_FAILED; // an open port is never opened over
    }
    UasPort& port = ports[byComport];
    ResetRecord(port);
    std::array<char, PLTC_DEVICE_NAME_SIZE> szDevice{};
    PltSerialDeviceName(byComport, szDevice.data(), szDevice.size());

    int iError = 0;
    if (adoptedDevices[byComport] != PLTC_INVALID_HANDLE) {
        port.hDevice = adoptedDevices[byComport];
        adoptedDevices[byComport] = PLTC_INVALID_HANDLE; // the port owns it from here on
        std::snprintf(szDevice.data(), szDevice.size(), "handle %d", port.hDevice);
    } else {
        port.hDevice = PltSerialOpen(szDevice.data(), &iError);
    }
    iLastOpenError = iError;
    if (port.hDevice == PLTC_INVALID_HANDLE) {
        LogError("UasOpen", 0, "Unable to open the communication port: %s", szDevice.data());
        return UASC_OPEN_FAILED;
    }
    port.dwBaudrate = dwBaudrate;
    std::uint8_t byParityOn = 0;
    switch (PltSerialConfigure(port.hDevice, dwBaudrate, byByteSize, byParity, &byParityOn)) {
    case PltSerialConfig::Ok:
        break;
    case PltSerialConfig::GetFailed:
        CloseHandles(port);
        LogError("UasOpen", 0, "Unable to get the Device Control Block (DCB) for %s",
                 szDevice.data());
        return UASC_CONFIG_FAILED;
    case PltSerialConfig::SetFailed:
        CloseHandles(port);
        LogError("UasOpen", 0,
                 "Unable to set the IOCTL parameters for %s, baudrate=%d, bytesize=%d, parity=%d",
                 szDevice.data(), static_cast<int>(dwBaudrate), static_cast<int>(byByteSize),
                 static_cast<int>(byParityOn));
        return UASC_CONFIG_FAILED;
    }
    if (!PltPipeCreate(UASC_PIPE_SIZE, &port.hPipeRead, &port.hPipeWrite)) {
        CloseHandles(port);
        LogError("UasOpen", 0, "Unable to create a pipe for communication with writer-thread");
        return UASC_ERROR;
    }
    port.bRunning.store(1);
    port.bAlive.store(1);
    std::uint32_t dwThreadId = 0;
    port.hThread = PltThreadStart(UasWriteThread, &port, &dwThreadId);
    if (port.hThread == nullptr) {
        port.bRunning.store(0);
        port.bAlive.store(0);
        CloseHandles(port);
        LogError("UasOpen", 0, "Unable to start the writer-thread on %s", szDevice.data());
        return UASC_ERROR;
    }
    bInUse[byComport] = 1;
    return 0;
}

std::uint16_t UasSetDeviceHandle(std::uint8_t byComport, PltHandle hDevice) {
    if (byComport >= UASC_NR_OF_PORTS || bInUse[byComport] != 0) {
        return UASC_ERROR;
    }
    PltHandleClose(adoptedDevices[byComport]);
    adoptedDevices[byComport] = hDevice;
    return 0;
}

std::uint16_t UasClose(std::uint8_t byComport) {
    if (!CheckOpenPort(byComport, __LINE__)) {
        return 0; // nothing of a closed port is left to close
    }
    UasPort& port = ports[byComport];
    bInUse[byComport] = 0;
    port.bRunning.store(0);
    if (port.hThread != nullptr) {
        // Wakes the thread if it waits on the empty pipe; it sees the cleared flag and ends.
        const std::array<std::uint8_t, UASC_WAKE_UP_BYTES> wakeUp{};
        (void)PltPipeWrite(port.hPipeWrite, wakeUp.data(), wakeUp.size(), UASC_JOIN_TIMEOUT_MS,
                           &port.bAlive);
        if (!PltThreadJoin(port.hThread, UASC_JOIN_TIMEOUT_MS) &&
            !PltThreadJoin(port.hThread, UASC_JOIN_TIMEOUT_MS)) {
            // Every wait of the thread is bounded, so this does not happen; should it, the
            // thread may still use the handles, which are then left open rather than reused.
            LogError("UasClose", 0, "Writer-thread of port %d did not end", byComport);
            port.hThread = nullptr;
            port.hDevice = PLTC_INVALID_HANDLE;
            port.hPipeRead = PLTC_INVALID_HANDLE;
            port.hPipeWrite = PLTC_INVALID_HANDLE;
            return 0;
        }
        port.hThread = nullptr;
    }
    CloseHandles(port);
    port.dwHeld = 0;
    port.backlog.clear();
    return 0;
}

std::uint16_t UasWriteBuffer(std::uint8_t byComport, std::uint16_t wCount,
                             const std::uint8_t* pbyData) {
    if (!CheckOpenPort(byComport, __LINE__)) {
        return UASC_ERROR;
    }
    if (wCount == 0) {
        return 0;
    }
    if (pbyData == nullptr) {
        return UASC_ERROR;
    }
    UasPort& port = ports[byComport];
    // A stopped writer thread drains nothing.
    if (port.bRunning.load() == 0 || !FlushBacklog(port)) {
        return UASC_ERROR;
    }
    // A line that takes nothing must never stall the caller (the whole program waits on it): a
    // buffer is taken whole or dropped whole, and the protocol's retries cover the loss.
    if (port.backlog.size() >= UASC_BACKLOG_LIMIT) {
        ++port.dwDropped;
        if (!port.bDropping) {
            LogWarning("UasWriteBuffer", UASC_ERROR, "Port %d does not take its output, dropping",
                       static_cast<int>(byComport));
        }
        port.bDropping = true;
        return UASC_ERROR;
    }
    port.bDropping = false;
    std::size_t wTaken = 0;
    if (port.backlog.empty()) {
        const long n = PltPipeWriteSome(port.hPipeWrite, pbyData, wCount);
        if (n < 0) {
            return UASC_ERROR;
        }
        wTaken = static_cast<std::size_t>(n);
    }
    port.backlog.insert(port.backlog.end(), pbyData + wTaken, pbyData + wCount);
    return 0;
}

std::uint16_t UasPutChar(std::uint8_t byComport, std::uint8_t byChar) {
    return UasWriteBuffer(byComport, 1, &byChar);
}

std::uint16_t UasReadBuffer(std::uint8_t byComport, std::uint16_t wMax, std::uint8_t* pbyData,
                            std::uint16_t* pwCount) {
    if (pwCount != nullptr) {
        *pwCount = 0;
    }
    if (!CheckOpenPort(byComport, __LINE__) || pbyData == nullptr || pwCount == nullptr) {
        return UASC_ERROR;
    }
    UasPort& port = ports[byComport];
    const std::uint16_t wLimit = wMax < UASC_BUFFER_SIZE ? wMax : UASC_BUFFER_SIZE;
    std::uint16_t wResult = 0;
    if (port.bHungUp) {
        return UASC_HUNG_UP;
    }
    (void)FlushBacklog(port); // output held back goes on while the caller polls for input
    if (port.dwHeld == 0 && wLimit > 0) {
        int iError = 0;
        const long n = PltSerialRead(port.hDevice, port.abyRead.data(), wLimit, &iError);
        if (n == PLTC_SERIAL_HUNG_UP) {
            LogError("UasReadBuffer", UASC_HUNG_UP, "Port %d hung up, error=%x",
                     static_cast<int>(byComport), static_cast<unsigned>(iError));
            port.bHungUp = true;
            return UASC_HUNG_UP;
        }
        if (n < 0) {
            LogError("UasReadBuffer", 0, "Reading from port %d returned error, error=%x",
                     static_cast<int>(byComport), static_cast<unsigned>(iError));
            wResult = UASC_ERROR;
        } else {
            port.dwHeld = static_cast<std::uint32_t>(n);
        }
    }
    if (port.dwHeld > 0) {
        if (wLimit >= port.dwHeld) {
            std::memcpy(pbyData, port.abyRead.data(), port.dwHeld);
            *pwCount = static_cast<std::uint16_t>(port.dwHeld);
            port.dwHeld = 0;
        } else {
            std::memcpy(pbyData, port.abyRead.data(), wLimit);
            *pwCount = wLimit;
            port.dwHeld -= wLimit;
            std::memmove(port.abyRead.data(), port.abyRead.data() + wLimit, port.dwHeld);
        }
    }
    return wResult;
}

std::uint16_t UasGetChar(std::uint8_t byComport, std::uint8_t* pbyChar) {
    std::uint16_t wCount = 0;
    if (pbyChar == nullptr) {
        return UASC_NO_CHAR;
    }
    const std::uint16_t wResult = UasReadBuffer(byComport, 1, pbyChar, &wCount);
    return (wResult == 0 && wCount == 1) ? 0 : UASC_NO_CHAR;
}

std::uint16_t UasPurge(std::uint8_t byComport) {
    LOG_CHECK_TEXT(bInitialised, "bUASInitialised",
                   UASC_SOURCE_PATH); // reported; the operation goes on
    if (!LOG_CHECK_TEXT(byComport < UASC_NR_OF_PORTS, "byComport < NR_OF_PORTS",
                        UASC_SOURCE_PATH)) {
        return UASC_ERROR;
    }
    if (bInUse[byComport] == 0) {
        return 0;
    }
    ports[byComport].backlog.clear();
    return PltSerialPurge(ports[byComport].hDevice) ? 0 : UASC_ERROR;
}

std::uint32_t UasDroppedBuffers(std::uint8_t byComport) {
    return byComport < UASC_NR_OF_PORTS ? ports[byComport].dwDropped : 0;
}

std::uint8_t UasIsOpen(std::uint8_t byComport) {
    LOG_CHECK_TEXT(bInitialised, "bUASInitialised",
                   UASC_SOURCE_PATH); // reported; the operation goes on
    if (!LOG_CHECK_TEXT(byComport < UASC_NR_OF_PORTS, "byComport < NR_OF_PORTS",
                        UASC_SOURCE_PATH)) {
        return 0;
    }
    return (ports[byComport].bRunning.load() != 0 && bInUse[byComport] != 0) ? 1 : 0;
}

int UasReadHandle(std::uint8_t byComport) {
    if (byComport >= UASC_NR_OF_PORTS || bInUse[byComport] == 0 || ports[byComport].bHungUp) {
        return -1; // a hung-up line is always "readable": waiting on it would never sleep
    }
    return ports[byComport].hDevice;
}

std::uint16_t UasSetBaudrate(std::uint8_t byComport, std::uint32_t dwBaudrate) {
    if (byComport >= UASC_NR_OF_PORTS || bInUse[byComport] == 0) {
        return UASC_BAUDRATE_FAILED;
    }
    return PltSerialSetBaudrate(ports[byComport].hDevice, dwBaudrate) ? 0 : UASC_BAUDRATE_FAILED;
}

std::uint16_t UasEnableNotify(std::uint8_t /*byComport*/, std::uint8_t /*bEnable*/) {
    return 0;
}

void UasResetForTest() {
    bInitialised = true;
    for (std::uint8_t i = 0; i < UASC_NR_OF_PORTS; ++i) {
        if (bInUse[i] != 0) {
            (void)UasClose(i);
        }
        ResetRecord(ports[i]);
        PltHandleClose(adoptedDevices[i]);
        adoptedDevices[i] = PLTC_INVALID_HANDLE;
    }
    bInitialised = false;
}

std::uint8_t UasOpenPortCount() {
    std::uint8_t byCount = 0;
    for (const std::uint8_t bUsed : bInUse) {
        byCount = static_cast<std::uint8_t>(byCount + (bUsed != 0 ? 1 : 0));
    }
    return byCount;
}
