// Platform threads: start a native thread and join it with a time limit.
#pragma once

#include <cstdint>

// Routine run by a native thread: one pointer argument, 32-bit result.
using PltThreadRoutine = std::uint32_t (*)(void* pvParam);

// Opaque handle of a started native thread.
struct PltThread;

// Starts a thread running routine(param) at once. Returns the handle, or nullptr on failure;
// *pdwThreadId receives a number that identifies the thread.
[[nodiscard]] PltThread* PltThreadStart(PltThreadRoutine routine, void* pvParam,
                                        std::uint32_t* pdwThreadId);

// Waits at most dwTimeoutMs for the thread to end. Returns true and releases the handle when it
// ended in time; false leaves the handle valid.
[[nodiscard]] bool PltThreadJoin(PltThread* ptThread, std::uint32_t dwTimeoutMs);
