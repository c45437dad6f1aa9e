// Native threads on POSIX: pthreads, with a joiner that gives up after a time limit.
#include "Platform/PltThread.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

struct PltThread {
    pthread_t thread{};
    PltThreadRoutine routine = nullptr;
    void* pvParam = nullptr;
};

namespace {

std::atomic<std::uint32_t> nextThreadId{1};

void* ThreadTrampoline(void* pv) {
    auto* ptThread = static_cast<PltThread*>(pv);
    ptThread->routine(ptThread->pvParam);
    return nullptr;
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
    if (pthread_create(&ptThread->thread, nullptr, ThreadTrampoline, ptThread) != 0) {
        delete ptThread;
        return nullptr;
    }
    if (pdwThreadId != nullptr) {
        *pdwThreadId = nextThreadId.fetch_add(1);
    }
    return ptThread;
}

bool PltThreadJoin(PltThread* ptThread, std::uint32_t dwTimeoutMs) {
    if (ptThread == nullptr) {
        return false;
    }
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(dwTimeoutMs / 1000u);
    deadline.tv_nsec += static_cast<long>(dwTimeoutMs % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc = 0;
    do {
        rc = pthread_timedjoin_np(ptThread->thread, nullptr, &deadline);
    } while (rc == EINTR);
    if (rc != 0) {
        return false;
    }
    delete ptThread;
    return true;
}
