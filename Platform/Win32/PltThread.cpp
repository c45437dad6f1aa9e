// Native threads on Windows: CreateThread, and WaitForSingleObject with a time limit to join.
#include "Platform/PltThread.h"

#include <new>

#include <windows.h>

struct PltThread {
    HANDLE hThread = nullptr;
    PltThreadRoutine routine = nullptr;
    void* pvParam = nullptr;
};

namespace {

constexpr SIZE_T PLTC_THREAD_STACK_SIZE = 64 * 1024; // reserved stack of a started thread

DWORD WINAPI ThreadTrampoline(LPVOID pv) {
    auto* ptThread = static_cast<PltThread*>(pv);
    return static_cast<DWORD>(ptThread->routine(ptThread->pvParam));
}

} // namespace

PltThread* PltThreadStart(PltThreadRoutine routine, void* pvParam, std::uint32_t* pdwThreadId) {
    if (routine == nullptr) {
        return nullptr;
    }
    auto* ptThread = new (std::nothrow) PltThread;
    if (ptThread == nullptr) {
        return nullptr;
    }
    ptThread->routine = routine;
    ptThread->pvParam = pvParam;
    DWORD dwId = 0;
    ptThread->hThread = CreateThread(nullptr, PLTC_THREAD_STACK_SIZE, ThreadTrampoline, ptThread,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &dwId);
    if (ptThread->hThread == nullptr) {
        delete ptThread;
        return nullptr;
    }
    if (pdwThreadId != nullptr) {
        *pdwThreadId = static_cast<std::uint32_t>(dwId);
    }
    return ptThread;
}

bool PltThreadJoin(PltThread* ptThread, std::uint32_t dwTimeoutMs) {
    if (ptThread == nullptr) {
        return false;
    }
    if (WaitForSingleObject(ptThread->hThread, static_cast<DWORD>(dwTimeoutMs)) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(ptThread->hThread);
    delete ptThread;
    return true;
}
