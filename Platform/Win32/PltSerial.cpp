// Serial devices and pipes on Windows: COM devices opened for overlapped I/O, reads started
// asynchronously and only polled, writes bounded by waiting on their event, and anonymous pipes
// whose room is measured before each write so that a full pipe never blocks for good. Every
// Windows call goes through the replaceable table of PltWin32Sys.h.
//
// A PltHandle is an index into a fixed table of handle slots (offset by PLTC_HANDLE_BASE), so that
// each open device carries the state of its outstanding read and its two events with it.
#include "Platform/PltSerial.h"
#include "Platform/PltSerialNames.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Platform/PltClock.h"
#include "Platform/Win32/PltWin32Handles.h"
#include "Platform/Win32/PltWin32Sys.h"

namespace {

constexpr DWORD PLTC_QUEUE_SIZE = 3500;      // device input and output queues
constexpr DWORD PLTC_WAIT_SLICE_MS = 20;     // longest single wait, so that stop requests are seen
constexpr std::size_t PLTC_NR_OF_SLOTS = 32; // devices and pipe ends open at once

enum class SlotKind : std::uint8_t { Free, Device, PipeRead, PipeWrite };

// How the idle wait learns of input on a quiet device, found out on first use: a read of one byte
// left under way (Wine keeps it waiting for the byte), else a character-received watch (Windows
// completes that read at once), else looking every millisecond (Wine ends such a watch at once).
enum class WatchBy : std::uint8_t { Read, CommEvent, Poll };

struct Slot {
    SlotKind kind = SlotKind::Free;
    HANDLE hObject = INVALID_HANDLE_VALUE;
    HANDLE hPipeReadEnd = INVALID_HANDLE_VALUE; // pipe write end: the read end, to measure room
    DWORD dwCapacity = 0;                       // pipe write end: bytes the pipe may hold
    OVERLAPPED tGet{};                          // device: the asynchronous read, with the get-event
    OVERLAPPED tPut{};   // device: the asynchronous write, with the put-event
    OVERLAPPED tWatch{}; // device: the character-received watch of the idle wait, with its event
    DWORD dwWatchMask = 0;
    bool bWatchPending = false;
    bool bMaskSet = false;
    WatchBy tWatchBy = WatchBy::Read;
    bool bReadPending = false;
    DWORD dwHeld = 0;   // bytes of a completed read not yet handed out
    DWORD dwOffset = 0; // where they start in abyRead
    std::array<std::uint8_t, PLTC_QUEUE_SIZE> abyRead{};
};

BOOL WINAPI RealCloseHandle(HANDLE hObject) {
    return CloseHandle(hObject);
}

constexpr PltWin32SerialSys PLTC_REAL_SYS = {
    CreateFileA,   SetupComm,   SetCommTimeouts,     GetCommState,        SetCommState,
    ReadFile,      WriteFile,   GetOverlappedResult, WaitForSingleObject, ClearCommError,
    PurgeComm,     CancelIo,    FlushFileBuffers,    RealCloseHandle,     CreatePipe,
    PeekNamedPipe, SetCommMask, WaitCommEvent,
};

PltWin32SerialSys sys = PLTC_REAL_SYS;
std::array<Slot, PLTC_NR_OF_SLOTS> slots;
std::mutex slotLock; // guards the kind of every slot: ports open and close on several threads

PltHandle Allocate(SlotKind kind, HANDLE hObject) {
    const std::lock_guard<std::mutex> guard(slotLock);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].kind == SlotKind::Free) {
            slots[i].kind = kind;
            slots[i].hObject = hObject;
            return PLTC_HANDLE_BASE + static_cast<PltHandle>(i);
        }
    }
    return PLTC_INVALID_HANDLE;
}

Slot* Find(PltHandle hHandle) {
    if (hHandle < PLTC_HANDLE_BASE ||
        hHandle >= PLTC_HANDLE_BASE + static_cast<PltHandle>(PLTC_NR_OF_SLOTS)) {
        return nullptr;
    }
    Slot* ptSlot = &slots[static_cast<std::size_t>(hHandle - PLTC_HANDLE_BASE)];
    return ptSlot->kind == SlotKind::Free ? nullptr : ptSlot;
}

Slot* FindDevice(PltHandle hHandle) {
    Slot* ptSlot = Find(hHandle);
    return ptSlot != nullptr && ptSlot->kind == SlotKind::Device ? ptSlot : nullptr;
}

void CloseEvent(HANDLE& hEvent) {
    if (hEvent != nullptr) {
        CloseHandle(hEvent);
        hEvent = nullptr;
    }
}

void Release(Slot& slot) {
    CloseEvent(slot.tGet.hEvent);
    CloseEvent(slot.tPut.hEvent);
    CloseEvent(slot.tWatch.hEvent);
    const std::lock_guard<std::mutex> guard(slotLock);
    slot = Slot{};
}

// Errors of a read on a device that has gone away (a USB adapter unplugged, a virtual port
// removed): no byte will come again.
bool IsHangUp(DWORD dwError) {
    return dwError == ERROR_ACCESS_DENIED || dwError == ERROR_BAD_COMMAND ||
           dwError == ERROR_GEN_FAILURE || dwError == ERROR_DEVICE_NOT_CONNECTED ||
           dwError == ERROR_DEVICE_REMOVED;
}

// Hands out up to wMax held bytes of a completed read.
long HandOut(Slot& slot, std::uint8_t* pbyBuffer, std::size_t wMax) {
    const DWORD dwCount = wMax < slot.dwHeld ? static_cast<DWORD>(wMax) : slot.dwHeld;
    std::memcpy(pbyBuffer, slot.abyRead.data() + slot.dwOffset, dwCount);
    slot.dwOffset += dwCount;
    slot.dwHeld -= dwCount;
    if (slot.dwHeld == 0) {
        slot.dwOffset = 0;
    }
    return static_cast<long>(dwCount);
}

// Waits until the pipe of the write end has room, at most dwTimeoutMs: the room in bytes, or 0.
DWORD WaitForRoom(const Slot& slot, std::uint32_t dwStart, std::uint32_t dwTimeoutMs,
                  const std::atomic<std::uint8_t>* pbReaderAlive) {
    for (;;) {
        DWORD dwAvailable = 0;
        if (!sys.pfPeekNamedPipe(slot.hPipeReadEnd, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
            return 0;
        }
        if (dwAvailable < slot.dwCapacity) {
            return slot.dwCapacity - dwAvailable;
        }
        // Full: only a living reader can make room.
        if ((pbReaderAlive != nullptr && pbReaderAlive->load() == 0) ||
            PltGetTickCount() - dwStart >= dwTimeoutMs) {
            return 0;
        }
        Sleep(1);
    }
}

} // namespace

PltWin32SerialSys& PltWin32SerialSysTable() {
    return sys;
}

void PltWin32SerialSysReset() {
    sys = PLTC_REAL_SYS;
}

bool PltWin32DeviceReadable(PltHandle hHandle) {
    Slot* ptSlot = FindDevice(hHandle);
    if (ptSlot == nullptr) {
        return false;
    }
    if (ptSlot->dwHeld > 0) {
        return true;
    }
    if (ptSlot->bReadPending) {
        return HasOverlappedIoCompleted(&ptSlot->tGet) != FALSE;
    }
    DWORD dwErrors = 0;
    COMSTAT status{};
    return sys.pfClearCommError(ptSlot->hObject, &dwErrors, &status) && status.cbInQue > 0;
}

PltWin32Watch PltWin32DeviceWatch(PltHandle hHandle, HANDLE* phEvent) {
    Slot* ptSlot = FindDevice(hHandle);
    if (ptSlot == nullptr) {
        return PltWin32Watch::Unwatchable;
    }
    Slot& slot = *ptSlot;
    if (slot.bWatchPending && HasOverlappedIoCompleted(&slot.tWatch)) {
        slot.bWatchPending = false; // a character came: look at the queue
        if ((slot.dwWatchMask & EV_RXCHAR) == 0) {
            slot.tWatchBy = WatchBy::Poll; // ended without one: the watch is no use here
        }
    }
    if (PltWin32DeviceReadable(hHandle)) {
        return PltWin32Watch::Ready;
    }
    if (slot.tWatchBy == WatchBy::Read && !slot.bReadPending) {
        ResetEvent(slot.tGet.hEvent);
        const HANDLE hEvent = slot.tGet.hEvent;
        slot.tGet = OVERLAPPED{};
        slot.tGet.hEvent = hEvent;
        DWORD dwCount = 0;
        if (sys.pfReadFile(slot.hObject, slot.abyRead.data(), 1, &dwCount, &slot.tGet)) {
            slot.dwHeld = dwCount;
            if (dwCount > 0) {
                return PltWin32Watch::Ready;
            }
            slot.tWatchBy = WatchBy::CommEvent;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            slot.bReadPending = true;
        } else {
            slot.tWatchBy = WatchBy::CommEvent;
        }
    }
    if (slot.bReadPending) {
        *phEvent = slot.tGet.hEvent; // the outstanding read completes with the first byte
        return PltWin32Watch::Event;
    }
    if (slot.tWatchBy == WatchBy::Poll) {
        return PltWin32Watch::Unwatchable;
    }
    if (!slot.bWatchPending) {
        if (slot.tWatch.hEvent == nullptr) {
            slot.tWatch.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
        if (slot.tWatch.hEvent == nullptr ||
            (!slot.bMaskSet && !sys.pfSetCommMask(slot.hObject, EV_RXCHAR))) {
            return PltWin32Watch::Unwatchable;
        }
        slot.bMaskSet = true;
        ResetEvent(slot.tWatch.hEvent);
        const HANDLE hEvent = slot.tWatch.hEvent;
        slot.tWatch = OVERLAPPED{};
        slot.tWatch.hEvent = hEvent;
        if (sys.pfWaitCommEvent(slot.hObject, &slot.dwWatchMask, &slot.tWatch)) {
            return PltWin32Watch::Ready; // a character came meanwhile
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return PltWin32Watch::Unwatchable;
        }
        slot.bWatchPending = true;
        // A byte that came between the look at the queue and the start of the watch signals
        // nothing: look once more.
        if (PltWin32DeviceReadable(hHandle)) {
            return PltWin32Watch::Ready;
        }
    }
    *phEvent = slot.tWatch.hEvent;
    return PltWin32Watch::Event;
}

int PltSerialFormatDeviceName(const char* pszName, char* pszDevice, std::size_t wSize) {
    // COM1 to COM9 open by their bare names too, but later ports only through the device space.
    const bool bBareCom =
        (pszName[0] == 'C' || pszName[0] == 'c') && (pszName[1] == 'O' || pszName[1] == 'o') &&
        (pszName[2] == 'M' || pszName[2] == 'm') && pszName[3] >= '0' && pszName[3] <= '9';
    return std::snprintf(pszDevice, wSize, bBareCom ? "\\\\.\\%s" : "%s", pszName);
}

const char* PltSerialErrorText(int iError) {
    switch (iError) {
    case ERROR_FILE_NOT_FOUND:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
        return "Permission denied";
    case ERROR_SHARING_VIOLATION:
        return "Device or resource busy";
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
        return "No such device";
    default: {
        static std::array<char, 40> szText{};
        std::snprintf(szText.data(), szText.size(), "Windows error %d", iError);
        return szText.data();
    }
    }
}

void PltSerialDefaultDeviceName(std::uint8_t byPort, char* pszName, std::size_t wSize) {
    std::snprintf(pszName, wSize, "\\\\.\\COM%u", byPort + 1u);
}

PltHandle PltSerialOpen(const char* pszDevice, int* piError) {
    HANDLE hGet = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hPut = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    if (hGet != nullptr && hPut != nullptr && pszDevice != nullptr) {
        hDevice = sys.pfCreateFileA(pszDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    const DWORD dwError = GetLastError();
    const PltHandle hHandle =
        hDevice == INVALID_HANDLE_VALUE ? PLTC_INVALID_HANDLE : Allocate(SlotKind::Device, hDevice);
    if (hHandle == PLTC_INVALID_HANDLE) {
        if (hDevice != INVALID_HANDLE_VALUE) {
            sys.pfCloseHandle(hDevice);
        }
        CloseEvent(hGet);
        CloseEvent(hPut);
        if (piError != nullptr) {
            *piError = static_cast<int>(
                hDevice == INVALID_HANDLE_VALUE ? dwError : ERROR_TOO_MANY_OPEN_FILES);
        }
        return PLTC_INVALID_HANDLE;
    }
    Slot& slot = *Find(hHandle);
    slot.tGet.hEvent = hGet;
    slot.tPut.hEvent = hPut;
    return hHandle;
}

PltSerialConfig PltSerialConfigure(PltHandle hDevice, std::uint32_t dwBaudrate,
                                   std::uint8_t byByteSize, std::uint8_t byParity,
                                   std::uint8_t* pbyParityOn) {
    Slot* ptSlot = FindDevice(hDevice);
    if (ptSlot == nullptr) {
        return PltSerialConfig::GetFailed;
    }
    const HANDLE h = ptSlot->hObject;
    // A read returns at once with the bytes already received, even none; writes have no time-out
    // of their own (the writer bounds its wait). A read that waits for its first byte (a total
    // read time-out) is not used: under Wine such a read never completes.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!sys.pfSetupComm(h, PLTC_QUEUE_SIZE, PLTC_QUEUE_SIZE) ||
        !sys.pfSetCommTimeouts(h, &timeouts)) {
        return PltSerialConfig::SetFailed;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!sys.pfGetCommState(h, &dcb)) {
        return PltSerialConfig::GetFailed;
    }
    dcb.BaudRate = dwBaudrate;
    dcb.fBinary = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE; // a binary line: no XON/XOFF characters
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = (byByteSize >= 5 && byByteSize <= 8) ? byByteSize : 8;
    dcb.Parity = byParity <= SPACEPARITY ? byParity : NOPARITY;
    dcb.fParity = dcb.Parity != NOPARITY ? TRUE : FALSE;
    dcb.StopBits = ONESTOPBIT;
    if (pbyParityOn != nullptr) {
        *pbyParityOn = dcb.fParity != 0 ? 1 : 0;
    }
    return sys.pfSetCommState(h, &dcb) ? PltSerialConfig::Ok : PltSerialConfig::SetFailed;
}

bool PltSerialSetBaudrate(PltHandle hDevice, std::uint32_t dwBaudrate) {
    Slot* ptSlot = FindDevice(hDevice);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (ptSlot == nullptr || !sys.pfGetCommState(ptSlot->hObject, &dcb)) {
        return false;
    }
    dcb.BaudRate = dwBaudrate;
    return sys.pfSetCommState(ptSlot->hObject, &dcb) != 0;
}

long PltSerialRead(PltHandle hDevice, std::uint8_t* pbyBuffer, std::size_t wMax, int* piError) {
    Slot* ptSlot = FindDevice(hDevice);
    if (ptSlot == nullptr) {
        if (piError != nullptr) {
            *piError = ERROR_INVALID_HANDLE;
        }
        return -1;
    }
    Slot& slot = *ptSlot;
    if (wMax == 0) {
        return 0;
    }
    if (slot.dwHeld > 0) {
        return HandOut(slot, pbyBuffer, wMax);
    }
    DWORD dwCount = 0;
    if (slot.bReadPending) {
        if (!sys.pfGetOverlappedResult(slot.hObject, &slot.tGet, &dwCount, FALSE)) {
            // Still under way; any other failure drops the read so that the next call starts anew.
            const DWORD dwError = GetLastError();
            slot.bReadPending = dwError == ERROR_IO_INCOMPLETE;
            if (IsHangUp(dwError)) {
                if (piError != nullptr) {
                    *piError = static_cast<int>(dwError);
                }
                return PLTC_SERIAL_HUNG_UP;
            }
            return 0;
        }
        DWORD dwErrors = 0;
        (void)sys.pfClearCommError(slot.hObject, &dwErrors, nullptr);
        slot.bReadPending = false;
        slot.dwHeld = dwCount;
        return slot.dwHeld > 0 ? HandOut(slot, pbyBuffer, wMax) : 0;
    }
    // Only bytes already queued are asked for: such a read completes at once, and no read is
    // left outstanding while the line is quiet (Windows completes a read at once with these
    // time-outs anyway; Wine keeps it waiting for the first byte). A device that cannot report
    // its queue is read as it is.
    DWORD dwErrors = 0;
    COMSTAT status{};
    DWORD dwWanted = PLTC_QUEUE_SIZE;
    if (sys.pfClearCommError(slot.hObject, &dwErrors, &status)) {
        if (status.cbInQue == 0) {
            return 0;
        }
        dwWanted = status.cbInQue < PLTC_QUEUE_SIZE ? status.cbInQue : PLTC_QUEUE_SIZE;
    }
    ResetEvent(slot.tGet.hEvent);
    const HANDLE hEvent = slot.tGet.hEvent;
    slot.tGet = OVERLAPPED{};
    slot.tGet.hEvent = hEvent;
    if (sys.pfReadFile(slot.hObject, slot.abyRead.data(), dwWanted, &dwCount, &slot.tGet)) {
        slot.dwHeld = dwCount; // completed at once
        return slot.dwHeld > 0 ? HandOut(slot, pbyBuffer, wMax) : 0;
    }
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_IO_PENDING) {
        slot.bReadPending = true;
        return 0;
    }
    if (piError != nullptr) {
        *piError = static_cast<int>(dwError);
    }
    return IsHangUp(dwError) ? PLTC_SERIAL_HUNG_UP : -1;
}

long PltSerialWrite(PltHandle hDevice, const std::uint8_t* pbyData, std::size_t wCount,
                    std::uint32_t dwTimeoutMs, const std::atomic<std::uint8_t>* pbGoOn,
                    int* piError) {
    Slot* ptSlot = FindDevice(hDevice);
    if (ptSlot == nullptr) {
        if (piError != nullptr) {
            *piError = ERROR_INVALID_HANDLE;
        }
        return -1;
    }
    Slot& slot = *ptSlot;
    if (wCount == 0 || (pbGoOn != nullptr && pbGoOn->load() == 0)) {
        return 0;
    }
    ResetEvent(slot.tPut.hEvent);
    const HANDLE hEvent = slot.tPut.hEvent;
    slot.tPut = OVERLAPPED{};
    slot.tPut.hEvent = hEvent;
    DWORD dwWritten = 0;
    const DWORD dwCount = wCount > MAXDWORD ? MAXDWORD : static_cast<DWORD>(wCount);
    if (sys.pfWriteFile(slot.hObject, pbyData, dwCount, &dwWritten, &slot.tPut)) {
        return static_cast<long>(dwWritten);
    }
    const DWORD dwError = GetLastError();
    DWORD dwErrors = 0;
    if (dwError != ERROR_IO_PENDING) {
        (void)sys.pfClearCommError(slot.hObject, &dwErrors, nullptr);
        if (piError != nullptr) {
            *piError = static_cast<int>(dwError);
        }
        return -1;
    }
    const std::uint32_t dwStart = PltGetTickCount();
    for (;;) {
        const std::uint32_t dwElapsed = PltGetTickCount() - dwStart;
        const bool bStopped = pbGoOn != nullptr && pbGoOn->load() == 0;
        const DWORD dwLeft = bStopped || dwElapsed >= dwTimeoutMs ? 0 : dwTimeoutMs - dwElapsed;
        const DWORD dwWait = dwLeft < PLTC_WAIT_SLICE_MS ? dwLeft : PLTC_WAIT_SLICE_MS;
        const DWORD dwResult = sys.pfWaitForSingleObject(slot.tPut.hEvent, dwWait);
        if (dwResult == WAIT_OBJECT_0) {
            if (!sys.pfGetOverlappedResult(slot.hObject, &slot.tPut, &dwWritten, FALSE)) {
                // The write failed on the line: clear the device's error state and go on.
                (void)sys.pfFlushFileBuffers(slot.hObject);
                (void)sys.pfClearCommError(slot.hObject, &dwErrors, nullptr);
                return 0;
            }
            return static_cast<long>(dwWritten);
        }
        if (dwResult == WAIT_TIMEOUT && dwLeft > 0) {
            continue;
        }
        // Time-out, stop request or a failed wait: what has not gone out is dropped. The write
        // record stays in use until the cancelled write has ended.
        (void)sys.pfCancelIo(slot.hObject);
        dwWritten = 0;
        (void)sys.pfGetOverlappedResult(slot.hObject, &slot.tPut, &dwWritten, TRUE);
        if (dwResult != WAIT_TIMEOUT) {
            if (piError != nullptr) {
                *piError = static_cast<int>(GetLastError());
            }
            return -1;
        }
        return static_cast<long>(dwWritten);
    }
}

bool PltSerialPurge(PltHandle hDevice) {
    Slot* ptSlot = FindDevice(hDevice);
    return ptSlot != nullptr && sys.pfPurgeComm(ptSlot->hObject, PURGE_TXABORT | PURGE_TXCLEAR);
}

void PltSerialClose(PltHandle hDevice) {
    PltHandleClose(hDevice);
}

void PltHandleClose(PltHandle hHandle) {
    Slot* ptSlot = Find(hHandle);
    if (ptSlot == nullptr) {
        return;
    }
    Slot& slot = *ptSlot;
    if (slot.kind == SlotKind::Device && slot.bReadPending) {
        // The read record must not be written after the slot is reused.
        DWORD dwCount = 0;
        (void)sys.pfCancelIo(slot.hObject);
        (void)sys.pfGetOverlappedResult(slot.hObject, &slot.tGet, &dwCount, TRUE);
    }
    if (slot.kind == SlotKind::Device && slot.bWatchPending) {
        // Likewise the watch: clearing the mask ends it.
        DWORD dwCount = 0;
        (void)sys.pfSetCommMask(slot.hObject, 0);
        (void)sys.pfGetOverlappedResult(slot.hObject, &slot.tWatch, &dwCount, TRUE);
    }
    (void)sys.pfCloseHandle(slot.hObject);
    Release(slot);
}

bool PltPipeCreate(std::size_t wCapacity, PltHandle* phRead, PltHandle* phWrite) {
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    const DWORD dwCapacity = static_cast<DWORD>(wCapacity);
    if (!sys.pfCreatePipe(&hRead, &hWrite, nullptr, dwCapacity)) {
        return false;
    }
    const PltHandle hReadEnd = Allocate(SlotKind::PipeRead, hRead);
    const PltHandle hWriteEnd = Allocate(SlotKind::PipeWrite, hWrite);
    if (hReadEnd == PLTC_INVALID_HANDLE || hWriteEnd == PLTC_INVALID_HANDLE) {
        if (hReadEnd == PLTC_INVALID_HANDLE) {
            sys.pfCloseHandle(hRead);
        }
        if (hWriteEnd == PLTC_INVALID_HANDLE) {
            sys.pfCloseHandle(hWrite);
        }
        PltHandleClose(hReadEnd);
        PltHandleClose(hWriteEnd);
        return false;
    }
    Slot& writeEnd = *Find(hWriteEnd);
    writeEnd.hPipeReadEnd = hRead;
    writeEnd.dwCapacity = dwCapacity;
    *phRead = hReadEnd;
    *phWrite = hWriteEnd;
    return true;
}

long PltPipeRead(PltHandle hRead, std::uint8_t* pbyBuffer, std::size_t wMax) {
    Slot* ptSlot = Find(hRead);
    if (ptSlot == nullptr || ptSlot->kind != SlotKind::PipeRead) {
        return -1;
    }
    DWORD dwRead = 0;
    const DWORD dwMax = wMax > MAXDWORD ? MAXDWORD : static_cast<DWORD>(wMax);
    if (!sys.pfReadFile(ptSlot->hObject, pbyBuffer, dwMax, &dwRead, nullptr) || dwRead == 0) {
        return -1;
    }
    return static_cast<long>(dwRead);
}

bool PltPipeWrite(PltHandle hWrite, const std::uint8_t* pbyData, std::size_t wCount,
                  std::uint32_t dwTimeoutMs, const std::atomic<std::uint8_t>* pbReaderAlive) {
    Slot* ptSlot = Find(hWrite);
    if (ptSlot == nullptr || ptSlot->kind != SlotKind::PipeWrite) {
        return false;
    }
    const std::uint32_t dwStart = PltGetTickCount();
    std::size_t done = 0;
    while (done < wCount) {
        // Never more than fits, so that the blocking write returns at once.
        const DWORD dwRoom = WaitForRoom(*ptSlot, dwStart, dwTimeoutMs, pbReaderAlive);
        if (dwRoom == 0) {
            return false;
        }
        const std::size_t left = wCount - done;
        const DWORD dwChunk = left < dwRoom ? static_cast<DWORD>(left) : dwRoom;
        DWORD dwWritten = 0;
        if (!sys.pfWriteFile(ptSlot->hObject, pbyData + done, dwChunk, &dwWritten, nullptr)) {
            return false;
        }
        done += dwWritten;
    }
    return true;
}

long PltPipeWriteSome(PltHandle hWrite, const std::uint8_t* pbyData, std::size_t wCount) {
    Slot* ptSlot = Find(hWrite);
    if (ptSlot == nullptr || ptSlot->kind != SlotKind::PipeWrite) {
        return -1;
    }
    std::size_t done = 0;
    while (done < wCount) {
        // Never more than fits, so that the blocking write returns at once.
        const DWORD dwRoom = WaitForRoom(*ptSlot, PltGetTickCount(), 0, nullptr);
        if (dwRoom == 0) {
            break;
        }
        const std::size_t left = wCount - done;
        const DWORD dwChunk = left < dwRoom ? static_cast<DWORD>(left) : dwRoom;
        DWORD dwWritten = 0;
        if (!sys.pfWriteFile(ptSlot->hObject, pbyData + done, dwChunk, &dwWritten, nullptr)) {
            return done > 0 ? static_cast<long>(done) : -1;
        }
        done += dwWritten;
    }
    return static_cast<long>(done);
}

bool PltPtyOpen(PltHandle* /*phMaster*/, PltHandle* /*phSlave*/, char* pszSlave,
                std::size_t wSize) {
    // Windows has no pseudo-terminals: a simulated line needs a real or virtual COM port pair.
    if (pszSlave != nullptr && wSize > 0) {
        pszSlave[0] = '\0';
    }
    return false;
}
