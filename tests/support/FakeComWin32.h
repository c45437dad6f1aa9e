// A scripted COM device behind the Win32 backend's call table: reads that complete at once or
// later, writes that complete at once, later or never. Pipes pass through to Windows.
#pragma once

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Platform/Win32/PltWin32Sys.h"

namespace fakecom {

// What the scripted device does and what it was asked.
struct FakeDevice {
    HANDLE hDevice = nullptr; // an event object stands in for the device handle
    std::string name;
    DWORD dwFlags = 0;
    DWORD dwShare = 1;
    DWORD dwInQueue = 0;
    DWORD dwOutQueue = 0;
    COMMTIMEOUTS timeouts{};
    DCB dcb{};
    bool bReadAtOnce = false;          // ReadFile completes at once (else it stays pending)
    DWORD dwReadError = 0;             // ReadFile fails at once with this error
    DWORD dwPollError = 0;             // a pending read's poll fails with this error
    std::vector<std::uint8_t> arrived; // bytes that complete the read
    DWORD dwQueued = 0;                // input queue length the device reports
    OVERLAPPED* ptRead = nullptr;      // the outstanding read
    OVERLAPPED* ptWatch = nullptr;     // the outstanding character-received watch
    DWORD dwMask = 0;                  // the event mask set
    DWORD* pdwWatchMask = nullptr;     // where the watch reports its events
    std::uint8_t* pbyReadBuffer = nullptr;
    int nReads = 0;
    int nClears = 0;
    int nCancels = 0;
    bool bWritePending = false;        // WriteFile stays pending (else it completes at once)
    bool bSignalWrite = false;         // a pending write completes right after it starts
    std::vector<std::uint8_t> written; // read it once the writer thread has ended
    std::atomic<std::size_t> nWritten{0};
};

inline FakeDevice device;

inline HANDLE WINAPI FakeCreateFileA(LPCSTR pszName, DWORD, DWORD dwShare, LPSECURITY_ATTRIBUTES,
                                     DWORD, DWORD dwFlags, HANDLE) {
    device.name = pszName;
    device.dwShare = dwShare;
    device.dwFlags = dwFlags;
    device.hDevice = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return device.hDevice;
}
inline BOOL WINAPI FakeSetupComm(HANDLE, DWORD dwIn, DWORD dwOut) {
    device.dwInQueue = dwIn;
    device.dwOutQueue = dwOut;
    return TRUE;
}
inline BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS ptTimeouts) {
    device.timeouts = *ptTimeouts;
    return TRUE;
}
inline BOOL WINAPI FakeGetCommState(HANDLE, LPDCB ptDcb) {
    *ptDcb = device.dcb;
    return TRUE;
}
inline BOOL WINAPI FakeSetCommState(HANDLE, LPDCB ptDcb) {
    device.dcb = *ptDcb;
    return TRUE;
}
inline BOOL WINAPI FakeReadFile(HANDLE hFile, LPVOID pvBuffer, DWORD dwCount, LPDWORD pdwRead,
                                LPOVERLAPPED ptOverlapped) {
    if (hFile != device.hDevice) {
        return ReadFile(hFile, pvBuffer, dwCount, pdwRead, ptOverlapped); // a pipe
    }
    ++device.nReads;
    if (device.dwReadError != 0) {
        SetLastError(device.dwReadError);
        return FALSE;
    }
    if (device.bReadAtOnce) {
        std::memcpy(pvBuffer, device.arrived.data(), device.arrived.size());
        *pdwRead = static_cast<DWORD>(device.arrived.size());
        device.arrived.clear();
        return TRUE;
    }
    ptOverlapped->Internal = STATUS_PENDING;
    device.ptRead = ptOverlapped;
    device.pbyReadBuffer = static_cast<std::uint8_t*>(pvBuffer);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
inline BOOL WINAPI FakeWriteFile(HANDLE hFile, LPCVOID pvData, DWORD dwCount, LPDWORD pdwWritten,
                                 LPOVERLAPPED ptOverlapped) {
    if (hFile != device.hDevice) {
        return WriteFile(hFile, pvData, dwCount, pdwWritten, ptOverlapped); // a pipe
    }
    const auto* pbyData = static_cast<const std::uint8_t*>(pvData);
    if (!device.bWritePending) {
        device.written.insert(device.written.end(), pbyData, pbyData + dwCount);
        device.nWritten += dwCount;
        *pdwWritten = dwCount;
        return TRUE;
    }
    if (device.bSignalWrite) {
        device.written.insert(device.written.end(), pbyData, pbyData + dwCount);
        ptOverlapped->InternalHigh = dwCount;
        SetEvent(ptOverlapped->hEvent);
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
inline BOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED ptOverlapped, LPDWORD pdwCount,
                                           BOOL bWait) {
    *pdwCount = 0;
    if (ptOverlapped != device.ptRead) {
        // The write record: done when signalled, or once cancelled.
        *pdwCount = static_cast<DWORD>(ptOverlapped->InternalHigh);
        return TRUE;
    }
    if (bWait) {
        device.ptRead = nullptr; // a cancelled read ends with nothing
        return TRUE;
    }
    if (device.dwPollError != 0) {
        SetLastError(device.dwPollError);
        return FALSE;
    }
    if (device.arrived.empty()) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    std::memcpy(device.pbyReadBuffer, device.arrived.data(), device.arrived.size());
    *pdwCount = static_cast<DWORD>(device.arrived.size());
    device.arrived.clear();
    device.ptRead = nullptr;
    return TRUE;
}
inline BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD pdwErrors, LPCOMSTAT ptStatus) {
    ++device.nClears;
    *pdwErrors = 0;
    if (ptStatus != nullptr) {
        *ptStatus = COMSTAT{};
        ptStatus->cbInQue = device.dwQueued;
    }
    return TRUE;
}
inline BOOL WINAPI FakeSetCommMask(HANDLE, DWORD dwMask) {
    device.dwMask = dwMask;
    return TRUE;
}
inline BOOL WINAPI FakeWaitCommEvent(HANDLE, LPDWORD pdwMask, LPOVERLAPPED ptOverlapped) {
    ptOverlapped->Internal = STATUS_PENDING;
    device.pdwWatchMask = pdwMask;
    device.ptWatch = ptOverlapped;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
// Characters arrive: the outstanding read takes them, or they wait in the input queue and the
// watch, if any, completes.
inline void Arrive(const std::vector<std::uint8_t>& bytes) {
    device.arrived = bytes;
    if (device.ptRead != nullptr) {
        device.ptRead->Internal = 0;
        SetEvent(device.ptRead->hEvent);
        return;
    }
    device.dwQueued = static_cast<DWORD>(bytes.size());
    if (device.ptWatch != nullptr) {
        *device.pdwWatchMask = EV_RXCHAR;
        device.ptWatch->Internal = 0;
        SetEvent(device.ptWatch->hEvent);
        device.ptWatch = nullptr;
    }
}
inline BOOL WINAPI FakeCancelIo(HANDLE) {
    ++device.nCancels;
    return TRUE;
}

// Puts the scripted device into the backend's table (with a fresh script).
inline void InstallFakeDevice() {
    device.~FakeDevice();
    new (&device) FakeDevice{};
    device.dcb.DCBlength = sizeof(DCB);
    PltWin32SerialSys& sys = PltWin32SerialSysTable();
    sys.pfCreateFileA = FakeCreateFileA;
    sys.pfSetupComm = FakeSetupComm;
    sys.pfSetCommTimeouts = FakeSetCommTimeouts;
    sys.pfGetCommState = FakeGetCommState;
    sys.pfSetCommState = FakeSetCommState;
    sys.pfReadFile = FakeReadFile;
    sys.pfWriteFile = FakeWriteFile;
    sys.pfGetOverlappedResult = FakeGetOverlappedResult;
    sys.pfClearCommError = FakeClearCommError;
    sys.pfCancelIo = FakeCancelIo;
    sys.pfSetCommMask = FakeSetCommMask;
    sys.pfWaitCommEvent = FakeWaitCommEvent;
}

} // namespace fakecom
