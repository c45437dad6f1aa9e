// Readiness wait on Windows. The set mixes three kinds of handles: serial devices (the backend's
// slot handles), sockets and the C run-time descriptor of the console input. Windows has no one
// call that waits on all three, so the set is looked at once per millisecond until one is ready
// or the time-out passes; sockets are waited on with select in between, so that data on a
// session ends the wait at once.
#include "Platform/PltWait.h"

#include <io.h>

#include "Platform/PltClock.h"
#include "Platform/Win32/PltWin32Handles.h"
#include "Platform/Win32/PltWin32Sys.h"

namespace {

constexpr long PLTC_WAIT_SLICE_US = 1000; // longest single wait between two looks at the set

bool IsSocket(int iHandle) {
    int iType = 0;
    int iLen = sizeof iType;
    return getsockopt(static_cast<SOCKET>(static_cast<unsigned>(iHandle)), SOL_SOCKET, SO_TYPE,
                      reinterpret_cast<char*>(&iType), &iLen) == 0;
}

// Console input by its run-time descriptor: a console with pending input events, a pipe with
// bytes (or whose writer is gone), or a file (which never blocks).
bool InputReady(int iFd) {
    const HANDLE hInput = reinterpret_cast<HANDLE>(_get_osfhandle(iFd));
    if (hInput == INVALID_HANDLE_VALUE) {
        return false;
    }
    switch (GetFileType(hInput)) {
    case FILE_TYPE_CHAR: {
        DWORD dwMode = 0;
        if (!GetConsoleMode(hInput, &dwMode)) {
            return true; // a character device such as NUL reads at once
        }
        return WaitForSingleObject(hInput, 0) == WAIT_OBJECT_0;
    }
    case FILE_TYPE_PIPE: {
        DWORD dwAvailable = 0;
        return !PeekNamedPipe(hInput, nullptr, 0, nullptr, &dwAvailable, nullptr) ||
               dwAvailable > 0;
    }
    default:
        return true;
    }
}

} // namespace

bool PltWaitAdd(PltWaitSet& rSet, int iHandle) {
    if (iHandle < 0) {
        return true;
    }
    if (rSet.wCount >= PLTC_MAX_WAIT_HANDLES) {
        return false;
    }
    rSet.aHandles[rSet.wCount++] = iHandle;
    return true;
}

int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs) {
    const std::uint32_t dwStart = PltGetTickCount();
    for (;;) {
        int nReady = 0;
        fd_set sockets;
        FD_ZERO(&sockets);
        for (std::size_t i = 0; i < rSet.wCount; ++i) {
            const int iHandle = rSet.aHandles[i];
            if (iHandle >= PLTC_HANDLE_BASE) {
                nReady += PltWin32DeviceReadable(iHandle) ? 1 : 0;
            } else if (IsSocket(iHandle)) {
                FD_SET(static_cast<SOCKET>(static_cast<unsigned>(iHandle)), &sockets);
            } else {
                nReady += InputReady(iHandle) ? 1 : 0;
            }
        }
        const std::uint32_t dwElapsed = PltGetTickCount() - dwStart;
        const bool bLast = nReady > 0 || dwElapsed >= dwTimeoutMs;
        if (sockets.fd_count > 0) {
            timeval slice{0, bLast ? 0 : PLTC_WAIT_SLICE_US};
            const int rc = select(0, &sockets, nullptr, nullptr, &slice);
            if (rc == SOCKET_ERROR) {
                return -1;
            }
            nReady += rc;
        } else if (!bLast) {
            Sleep(1);
        }
        if (nReady > 0) {
            return nReady;
        }
        if (bLast) {
            return 0;
        }
    }
}
