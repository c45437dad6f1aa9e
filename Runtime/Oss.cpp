// Cooperative scheduler, service clock and native thread helpers.
#include "Runtime/Oss.h"

#include <algorithm>
#include <array>

#include "Platform/PltClock.h"

namespace {

constexpr std::uint16_t OSSC_TYPE_EVERY_PASS = 0;
constexpr std::uint16_t OSSC_TYPE_EVERY_SECOND = 1;
constexpr std::uint16_t OSSC_TYPE_EVERY_FOURTH = 3;

struct OssSlot {
    OssThread pfEntry = nullptr;
    std::uint16_t wType = OSSC_TYPE_EVERY_FOURTH;
};

std::array<OssSlot, OSSC_MAX_THREADS> slots{};
std::int32_t highestSlot = 0;
std::uint8_t passCounter = 0;
std::uint16_t currentSlot = OSSC_NO_THREAD;
bool stopFlag = false;
std::uint16_t exitCode = 0;
bool bInitialised = false;

std::uint32_t clockBase = 0;
std::uint32_t clockOffset = 0;
bool clockFrozen = false;
bool waitDisabled = false;

OssIdleHandler idleHandler = nullptr;

bool deadlineDeclared = false;
std::uint32_t earliestDeadline = 0;

void RecomputeHighestSlot() {
    highestSlot = OSSC_MAX_THREADS - 1;
    while (highestSlot > 0 && slots[static_cast<std::size_t>(highestSlot)].pfEntry == nullptr) {
        --highestSlot;
    }
}

} // namespace

std::uint16_t OssInit() {
    if (bInitialised) {
        return 0;
    }
    stopFlag = false;
    exitCode = 0;
    clockBase = PltGetTickCount();
    PltClockUseFineWaits();
    for (auto& slot : slots) {
        slot = OssSlot{};
    }
    highestSlot = 0;
    deadlineDeclared = false;
    bInitialised = true;
    return 0;
}

std::uint16_t OssTerminate() {
    bInitialised = false;
    return 0;
}

std::uint16_t OssCreateThread(OssThread pfEntry, std::uint16_t wType) {
    if (pfEntry == nullptr || (wType != OSSC_TYPE_EVERY_PASS && wType != OSSC_TYPE_EVERY_SECOND &&
                               wType != OSSC_TYPE_EVERY_FOURTH)) {
        return OSSC_NO_THREAD;
    }
    for (std::uint16_t i = 0; i < OSSC_MAX_THREADS; ++i) {
        if (slots[i].pfEntry == nullptr) {
            slots[i].pfEntry = pfEntry;
            slots[i].wType = wType;
            RecomputeHighestSlot();
            OssDeclareWorkPending(); // its first run comes before any sleep
            return i;
        }
    }
    return OSSC_NO_THREAD;
}

std::uint16_t OssDeleteThread(std::uint16_t wSlot) {
    if (wSlot >= OSSC_MAX_THREADS || slots[wSlot].pfEntry == nullptr) {
        return 1;
    }
    slots[wSlot].pfEntry = nullptr;
    RecomputeHighestSlot();
    return 0;
}

std::uint16_t OssThreadCount() {
    std::uint16_t wCount = 0;
    for (const auto& slot : slots) {
        wCount += slot.pfEntry != nullptr ? 1 : 0;
    }
    return wCount;
}

std::uint16_t OssGetCurrentThread() {
    return currentSlot;
}

void OssSchedule() {
    const std::uint8_t pass = passCounter;
    // The bound is read at every step: tasks added or removed during the pass move it.
    for (std::int32_t i = 0; i <= highestSlot; ++i) {
        const OssSlot& slot = slots[static_cast<std::size_t>(i)];
        if (slot.pfEntry == nullptr) {
            continue;
        }
        if ((static_cast<std::uint16_t>(i) & slot.wType) == (pass & slot.wType)) {
            currentSlot = static_cast<std::uint16_t>(i);
            slot.pfEntry();
        }
    }
    ++passCounter;
}

void OssRun() {
    while (!stopFlag) {
        OssSchedule();
        // Every fourth pass each phase of the type-3 tasks has run once; give the processor away
        // briefly so that an idle program does not keep a core busy. Tasks go by the clock.
        if (!stopFlag && (passCounter & 3u) == 0) {
            if (idleHandler != nullptr) {
                idleHandler();
            } else {
                PltSleepMicroseconds(OSSC_IDLE_SLEEP_US);
            }
            OssClearDeadlines(); // the next four passes declare them afresh
        }
    }
}

std::uint16_t OssExit(std::uint16_t wCode) {
    stopFlag = true;
    exitCode = wCode;
    return wCode;
}

std::uint16_t OssGetExitCode() {
    return exitCode;
}

std::uint8_t OssGetPassCounter() {
    return passCounter;
}

std::uint32_t OssGetTime() {
    if (clockFrozen) {
        return clockOffset;
    }
    return PltGetTickCount() - clockBase + clockOffset;
}

bool OssTimeReached(std::uint32_t dwTime) {
    return static_cast<std::int32_t>(OssGetTime() - dwTime) >= 0;
}

std::uint32_t OssTimeSince(std::uint32_t dwEarlier) {
    return OssTimeDiff(OssGetTime(), dwEarlier);
}

void OssWait(std::uint32_t dwMs) {
    if (waitDisabled) {
        return;
    }
    const std::uint32_t start = OssGetTime();
    while (OssTimeSince(start) < dwMs) {
    }
}

void OssFreezeTime(std::uint8_t bFrozen) {
    clockFrozen = bFrozen != 0;
}

std::uint32_t OssAdvanceTime(std::uint16_t wMs) {
    clockOffset += wMs;
    return clockOffset;
}

void OssDisableWait(std::uint8_t bDisabled) {
    waitDisabled = bDisabled != 0;
}

std::uint16_t OssStartNativeThread(OssThreadHandle* phThread, OssNativeRoutine pfRoutine,
                                   void* pvParam, std::uint32_t* pdwThreadId) {
    OssThreadHandle hThread = PltThreadStart(pfRoutine, pvParam, pdwThreadId);
    if (phThread != nullptr) {
        *phThread = hThread;
    }
    return hThread == nullptr ? 1 : 0;
}

std::uint16_t OssJoinNativeThread(OssThreadHandle hThread) {
    return PltThreadJoin(hThread, OSSC_JOIN_TIMEOUT_MS) ? 0 : 1;
}

void OssDeclareDeadline(std::uint32_t dwTime) {
    if (!deadlineDeclared || static_cast<std::int32_t>(dwTime - earliestDeadline) < 0) {
        earliestDeadline = dwTime;
        deadlineDeclared = true;
    }
}

void OssDeclareDeadlineIn(std::uint32_t dwMs) {
    // Beyond half the clock's range a time would read as past; no link waits that long.
    OssDeclareDeadline(OssGetTime() + std::min<std::uint32_t>(dwMs, 0x7FFFFFFFu));
}

void OssDeclareWorkPending() {
    OssDeclareDeadline(OssGetTime());
}

std::uint32_t OssTimeToNextDeadline() {
    if (!deadlineDeclared) {
        return OSSC_NO_DEADLINE;
    }
    const auto iLeft = static_cast<std::int32_t>(earliestDeadline - OssGetTime());
    return iLeft > 0 ? static_cast<std::uint32_t>(iLeft) : 0;
}

void OssClearDeadlines() {
    deadlineDeclared = false;
}

void OssSetIdleHandler(OssIdleHandler pfIdle) {
    idleHandler = pfIdle;
}
