// Readiness wait on Windows. The set mixes three kinds of handles: serial devices (the backend's
// slot handles), sockets and the C run-time descriptor of the console input. The wait blocks in
// WaitForMultipleObjects on what each of them can signal: a serial device its outstanding read or
// a character-received watch, the sockets one event tied to them with WSAEventSelect, the console
// its input handle (or the event of the pipe reader thread), and the wake event of PltWaitWake.
// Only a handle that has nothing to wait on (a pipe of another kind) makes the wait look again
// every millisecond.
#include "Platform/PltWait.h"

#include <io.h>

#include "Platform/PltClock.h"
#include "Platform/Win32/PltWin32Handles.h"
#include "Platform/Win32/PltWin32Sys.h"

namespace {

constexpr DWORD PLTC_WAIT_SLICE_MS = 1; // wait between two looks when a handle cannot signal

// Auto-reset; made before main so that a signal or console handler never finds it missing.
const HANDLE hWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

bool IsSocket(int iHandle) {
    int iType = 0;
    int iLen = sizeof iType;
    return getsockopt(static_cast<SOCKET>(static_cast<unsigned>(iHandle)), SOL_SOCKET, SO_TYPE,
                      reinterpret_cast<char*>(&iType), &iLen) == 0;
}

// A descriptor that is not the console input: a pipe with bytes (or whose writer is gone), a
// character device, a file. Looked at, not waited on.
bool OtherInputReady(int iFd) {
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

struct WaitPlan {
    HANDLE ahEvents[MAXIMUM_WAIT_OBJECTS] = {};
    DWORD dwEvents = 0;
    SOCKET ahSockets[PLTC_MAX_WAIT_HANDLES] = {};
    bool abWritable[PLTC_MAX_WAIT_HANDLES] = {};
    std::size_t wSockets = 0;
    int nReady = 0;
    bool bPoll = false; // a handle without an event: look again after a slice

    void AddEvent(HANDLE hEvent) {
        for (DWORD i = 0; i < dwEvents; ++i) {
            if (ahEvents[i] == hEvent) {
                return;
            }
        }
        if (dwEvents < MAXIMUM_WAIT_OBJECTS) {
            ahEvents[dwEvents++] = hEvent;
        } else {
            bPoll = true;
        }
    }
    void Add(PltWin32Watch tWatch, HANDLE hEvent) {
        if (tWatch == PltWin32Watch::Ready) {
            ++nReady;
        } else if (tWatch == PltWin32Watch::Event) {
            AddEvent(hEvent);
        } else {
            bPoll = true;
        }
    }
};

// Sockets ready now, without waiting.
int SocketsReady(const WaitPlan& plan) {
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    for (std::size_t i = 0; i < plan.wSockets; ++i) {
        FD_SET(plan.ahSockets[i], plan.abWritable[i] ? &writable : &readable);
    }
    timeval tNow{0, 0};
    const int rc = select(0, &readable, &writable, nullptr, &tNow);
    return rc == SOCKET_ERROR ? -1 : rc;
}

} // namespace

bool PltWaitAdd(PltWaitSet& rSet, int iHandle) {
    if (iHandle < 0) {
        return true;
    }
    if (rSet.wCount >= PLTC_MAX_WAIT_HANDLES) {
        return false;
    }
    rSet.abWritable[rSet.wCount] = false;
    rSet.aHandles[rSet.wCount++] = iHandle;
    return true;
}

bool PltWaitAddWritable(PltWaitSet& rSet, int iHandle) {
    if (!PltWaitAdd(rSet, iHandle)) {
        return false;
    }
    if (iHandle >= 0) {
        rSet.abWritable[rSet.wCount - 1] = true;
    }
    return true;
}

int PltWaitReadable(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs) {
    static const HANDLE hSocketEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::uint32_t dwStart = PltGetTickCount();
    for (;;) {
        WaitPlan plan;
        if (hWakeEvent != nullptr) {
            plan.AddEvent(hWakeEvent);
        }
        for (std::size_t i = 0; i < rSet.wCount; ++i) {
            const int iHandle = rSet.aHandles[i];
            HANDLE hEvent = nullptr;
            if (iHandle >= PLTC_HANDLE_BASE) {
                const PltWin32Watch tWatch = PltWin32DeviceWatch(iHandle, &hEvent);
                plan.Add(tWatch, hEvent);
            } else if (IsSocket(iHandle)) {
                plan.abWritable[plan.wSockets] = rSet.abWritable[i];
                plan.ahSockets[plan.wSockets++] =
                    static_cast<SOCKET>(static_cast<unsigned>(iHandle));
            } else {
                const PltWin32Watch tWatch = PltWin32ConsoleWatch(iHandle, &hEvent);
                if (tWatch != PltWin32Watch::Foreign) {
                    plan.Add(tWatch, hEvent);
                } else if (OtherInputReady(iHandle)) {
                    ++plan.nReady;
                } else {
                    plan.bPoll = true;
                }
            }
        }
        if (plan.wSockets > 0) {
            const int nSockets = SocketsReady(plan);
            if (nSockets < 0) {
                return -1;
            }
            plan.nReady += nSockets;
        }
        const std::uint32_t dwElapsed = PltGetTickCount() - dwStart;
        if (plan.nReady > 0) {
            return plan.nReady;
        }
        if (dwTimeoutMs != PLTC_WAIT_FOREVER && dwElapsed >= dwTimeoutMs) {
            return 0;
        }
        // Each socket signals the one event on input, a connection, the end of a connect or a
        // hang-up; the association is dropped again after the wait (the sockets stay
        // non-blocking, as the socket layer made them).
        if (plan.wSockets > 0 && hSocketEvent != nullptr) {
            ResetEvent(hSocketEvent);
            for (std::size_t i = 0; i < plan.wSockets; ++i) {
                const long lEvents = plan.abWritable[i] ? (FD_CONNECT | FD_WRITE | FD_CLOSE)
                                                        : (FD_READ | FD_ACCEPT | FD_CLOSE);
                if (WSAEventSelect(plan.ahSockets[i], hSocketEvent, lEvents) != 0) {
                    plan.bPoll = true;
                }
            }
            plan.AddEvent(hSocketEvent);
        } else if (plan.wSockets > 0) {
            plan.bPoll = true;
        }
        DWORD dwWait = dwTimeoutMs == PLTC_WAIT_FOREVER ? INFINITE : dwTimeoutMs - dwElapsed;
        if (plan.bPoll && dwWait > PLTC_WAIT_SLICE_MS) {
            dwWait = PLTC_WAIT_SLICE_MS;
        }
        const DWORD dwResult =
            plan.dwEvents > 0 ? WaitForMultipleObjects(plan.dwEvents, plan.ahEvents, FALSE, dwWait)
                              : (Sleep(dwWait), WAIT_TIMEOUT);
        for (std::size_t i = 0; i < plan.wSockets; ++i) {
            (void)WSAEventSelect(plan.ahSockets[i], nullptr, 0);
        }
        if (dwResult == WAIT_FAILED) {
            return -1;
        }
        if (dwResult == WAIT_OBJECT_0 && hWakeEvent != nullptr) {
            return 0; // PltWaitWake: the caller looks at its flags
        }
        // Something signalled, or a slice passed: look at the set again (a signalled event
        // counts only once its handle shows input, so the count is right).
    }
}

void PltWaitWake() {
    if (hWakeEvent != nullptr) {
        SetEvent(hWakeEvent);
    }
}
