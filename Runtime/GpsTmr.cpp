// Software timers: a fixed table scanned by the timer task once per GPSTMRC_TICK_MS.
#include "Runtime/GpsTmr.h"

#include <algorithm>
#include <array>
#include <limits>

#include "Runtime/Log.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint8_t GPSTMRC_ALLOCATED = 0x01;
constexpr std::uint8_t GPSTMRC_RUNNING = 0x02;
constexpr std::uint8_t GPSTMRC_ONESHOT = 0x04;
constexpr std::uint8_t GPSTMRC_ARG_SHORT = 0x08;
constexpr std::uint8_t GPSTMRC_ARG_LONG = 0x10;

struct GpsTmrEntry {
    GpsTmrCallback pfNone = nullptr;
    GpsTmrCallbackShort pfShort = nullptr;
    GpsTmrCallbackLong pfLong = nullptr;
    std::uint32_t dwArgument = 0;
    std::uint32_t dwPeriodMs = 0;
    std::uint32_t dwReference = 0;
    std::uint8_t byFlags = 0;
};

std::array<GpsTmrEntry, GPSTMRC_MAX_ENTRIES> table{};
std::uint16_t usedRange = 0;
std::uint16_t taskSlot = OSSC_NO_THREAD;
bool taskRegistered = false;
std::uint32_t lastRun = 0;

GpsTmrEntry* GpsTmrFindEntry(std::uint16_t wId) {
    if (wId >= usedRange) {
        LogError("GpsTmrFindEntry", 0xFFFF, nullptr);
        return nullptr;
    }
    GpsTmrEntry& entry = table[wId];
    return (entry.byFlags & GPSTMRC_ALLOCATED) != 0 ? &entry : nullptr;
}

std::uint16_t GpsTmrFreeEntry() {
    for (std::uint16_t i = 0; i < usedRange; ++i) {
        if ((table[i].byFlags & GPSTMRC_ALLOCATED) == 0) {
            return i;
        }
    }
    if (usedRange < GPSTMRC_MAX_ENTRIES) {
        return usedRange++;
    }
    LogError("GpsTmrFreeEntry", 0xFFFF, "No free entry");
    return GPSTMRC_NO_TIMER;
}

std::uint16_t Create(GpsTmrCallback pfNone, GpsTmrCallbackShort pfShort, GpsTmrCallbackLong pfLong,
                     std::uint32_t dwArgument, std::uint16_t wPeriod, std::uint16_t wDelay,
                     std::uint8_t byFlags) {
    const std::uint16_t id = GpsTmrFreeEntry();
    if (id == GPSTMRC_NO_TIMER) {
        return id;
    }
    GpsTmrEntry& entry = table[id];
    entry.pfNone = pfNone;
    entry.pfShort = pfShort;
    entry.pfLong = pfLong;
    entry.dwArgument = dwArgument;
    entry.dwPeriodMs = static_cast<std::uint32_t>(wPeriod == 0 ? 1 : wPeriod) * GPSTMRC_TICK_MS;
    entry.dwReference = OssGetTime() + static_cast<std::uint32_t>(wDelay) * GPSTMRC_TICK_MS;
    entry.byFlags = byFlags;
    OssDeclareWorkPending(); // the timer task declares its deadline on its next run
    return id;
}

void GpsTmrTask() {
    std::uint32_t dwSinceRun = OssTimeSince(lastRun);
    if (dwSinceRun >= GPSTMRC_TICK_MS) {
        lastRun = OssGetTime();
        dwSinceRun = 0;
        GpsTmrProcess();
    }
    // The next run that fires something: the earliest timer, on the processing interval.
    const std::uint32_t dwNext = GpsTmrTimeToNextExpiry();
    if (dwNext != std::numeric_limits<std::uint32_t>::max()) {
        OssDeclareDeadlineIn(std::max(dwNext, GPSTMRC_TICK_MS - dwSinceRun));
    }
}

} // namespace

std::uint16_t GpsTmrInit() {
    if (!taskRegistered) {
        taskSlot = OssCreateThread(GpsTmrTask, OSSC_EVERY_FOURTH_PASS);
        taskRegistered = true;
    }
    return 0;
}

std::uint16_t GpsTmrTerminate() {
    taskRegistered = false;
    static_cast<void>(OssDeleteThread(taskSlot)); // no slot (never initialised) is no failure
    taskSlot = OSSC_NO_THREAD;
    return 0;
}

void GpsTmrProcess() {
    const std::uint32_t now = OssGetTime();
    // The bound is read at every step: timers created by a callback are visited in this run.
    for (std::uint16_t i = 0; i < usedRange; ++i) {
        GpsTmrEntry& entry = table[i];
        if ((entry.byFlags & (GPSTMRC_ALLOCATED | GPSTMRC_RUNNING)) !=
            (GPSTMRC_ALLOCATED | GPSTMRC_RUNNING)) {
            continue;
        }
        const auto elapsed = static_cast<std::int32_t>(now - entry.dwReference);
        if (elapsed < 0 || static_cast<std::uint32_t>(elapsed) < entry.dwPeriodMs) {
            continue;
        }
        if ((entry.byFlags & GPSTMRC_ONESHOT) != 0) {
            entry.byFlags = static_cast<std::uint8_t>(entry.byFlags & ~GPSTMRC_ALLOCATED);
        } else {
            entry.dwReference = now;
        }
        // Copy what the call needs: the callback may reuse or delete this entry.
        const GpsTmrEntry fired = entry;
        if ((fired.byFlags & GPSTMRC_ARG_SHORT) != 0) {
            fired.pfShort(static_cast<std::uint16_t>(fired.dwArgument & 0xFFFFu));
        } else if ((fired.byFlags & GPSTMRC_ARG_LONG) != 0) {
            fired.pfLong(fired.dwArgument);
        } else {
            fired.pfNone();
        }
    }
}

std::uint16_t GpsTmrCreateOnce(GpsTmrCallback pfCallback, std::uint16_t wPeriod) {
    return Create(pfCallback, nullptr, nullptr, 0, wPeriod, 0, 0x07);
}

std::uint16_t GpsTmrCreateCyclic(GpsTmrCallback pfCallback, std::uint16_t wPeriod,
                                 std::uint16_t wDelay) {
    return Create(pfCallback, nullptr, nullptr, 0, wPeriod, wDelay, 0x03);
}

std::uint16_t GpsTmrCreateOnceShort(GpsTmrCallbackShort pfCallback, std::uint16_t wValue,
                                    std::uint16_t wPeriod) {
    return Create(nullptr, pfCallback, nullptr, wValue, wPeriod, 0, 0x0F);
}

std::uint16_t GpsTmrCreateCyclicShort(GpsTmrCallbackShort pfCallback, std::uint16_t wValue,
                                      std::uint16_t wPeriod, std::uint16_t wDelay) {
    return Create(nullptr, pfCallback, nullptr, wValue, wPeriod, wDelay, 0x0B);
}

std::uint16_t GpsTmrCreateOnceLong(GpsTmrCallbackLong pfCallback, std::uint32_t dwValue,
                                   std::uint16_t wPeriod) {
    return Create(nullptr, nullptr, pfCallback, dwValue, wPeriod, 0, 0x17);
}

std::uint16_t GpsTmrCreateCyclicLong(GpsTmrCallbackLong pfCallback, std::uint32_t dwValue,
                                     std::uint16_t wPeriod, std::uint16_t wDelay) {
    return Create(nullptr, nullptr, pfCallback, dwValue, wPeriod, wDelay, 0x13);
}

std::uint16_t GpsTmrDelete(std::uint16_t wId) {
    GpsTmrEntry* entry = GpsTmrFindEntry(wId);
    if (entry == nullptr) {
        return GPSTMRC_NO_TIMER;
    }
    entry->byFlags = static_cast<std::uint8_t>(entry->byFlags & ~GPSTMRC_ALLOCATED);
    return 0;
}

std::uint16_t GpsTmrStop(std::uint16_t wId) {
    GpsTmrEntry* entry = GpsTmrFindEntry(wId);
    if (entry == nullptr) {
        return GPSTMRC_NO_TIMER;
    }
    entry->byFlags = static_cast<std::uint8_t>(entry->byFlags & ~GPSTMRC_RUNNING);
    return 0;
}

std::uint16_t GpsTmrResume(std::uint16_t wId) {
    GpsTmrEntry* entry = GpsTmrFindEntry(wId);
    if (entry == nullptr) {
        return GPSTMRC_NO_TIMER;
    }
    entry->byFlags = static_cast<std::uint8_t>(entry->byFlags | GPSTMRC_RUNNING);
    OssDeclareWorkPending(); // the timer task declares its deadline on its next run
    return 0;
}

std::uint32_t GpsTmrTimeToNextExpiry() {
    const std::uint32_t now = OssGetTime();
    std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
    for (std::uint16_t i = 0; i < usedRange; ++i) {
        const GpsTmrEntry& entry = table[i];
        if ((entry.byFlags & (GPSTMRC_ALLOCATED | GPSTMRC_RUNNING)) !=
            (GPSTMRC_ALLOCATED | GPSTMRC_RUNNING)) {
            continue;
        }
        const auto elapsed =
            static_cast<std::int64_t>(static_cast<std::int32_t>(now - entry.dwReference));
        const std::int64_t left = static_cast<std::int64_t>(entry.dwPeriodMs) - elapsed;
        const std::uint32_t wait = left <= 0 ? 0 : static_cast<std::uint32_t>(left);
        if (wait < best) {
            best = wait;
        }
    }
    return best;
}

std::uint16_t GpsTmrCount() {
    std::uint16_t wCount = 0;
    for (const auto& entry : table) {
        wCount += (entry.byFlags & GPSTMRC_ALLOCATED) != 0 ? 1 : 0;
    }
    return wCount;
}

void GpsTmrResetForTest() {
    for (auto& entry : table) {
        entry = GpsTmrEntry{};
    }
    usedRange = 0;
    lastRun = 0;
}
