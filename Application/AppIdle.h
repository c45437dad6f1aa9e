// AppIdle: the idle step of talvo_rc and talvo_sim, run by the scheduler once every four passes.
// It sleeps until input arrives on a watched handle (the console, the serial lines, the session
// sockets) or the earliest deadline the tasks have declared is due, and not at all when a message
// went by in the last round or a task has work waiting. With nothing due it sleeps until input.
#pragma once

#include <cstdint>

#include "Platform/PltWait.h"

void AppIdleWait();            // links only (talvo_sim)
void AppIdleWaitWithConsole(); // links and the console keyboard (talvo_rc)

// Test hook: the wait the idle step calls instead of PltWaitReadable (nullptr: that one again).
using AppIdleWaitFunction = int (*)(const PltWaitSet& rSet, std::uint32_t dwTimeoutMs);
void AppIdleSetWaitForTest(AppIdleWaitFunction pfWait);
