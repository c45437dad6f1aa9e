// Event log: record building with a busy flag shared with the serial writer threads, and a sink
// that keeps the newest records in a ring.
#include "Runtime/Log.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Runtime/Oss.h"

namespace {

bool bInitialised = false;
std::atomic_flag busy = ATOMIC_FLAG_INIT;
std::atomic<bool> masterSwitch{false};
std::atomic<bool> errorSwitch{false};
std::atomic<bool> warningSwitch{false};
std::atomic<bool> echoOn{false};
std::uint8_t filterMode = LOGC_FILTER_OFF;
std::array<char, LOGC_FILTER_SIZE> filterText{};

std::uint8_t routeChannel = 0;
std::atomic<LogPrintFunction> routePrint{nullptr};

std::array<char, LOGC_RECORD_SIZE> recordBuffer{};

// Ring of kept records, written by the sink (any thread) and read by LOG VIEW (main thread).
std::mutex keptMutex;
std::array<std::array<char, LOGC_RECORD_SIZE>, LOGC_KEPT_RECORDS> keptRecords{};
std::size_t keptCount = 0;   // records in the ring
std::size_t keptNext = 0;    // ring position of the next record to write
std::uint64_t keptTotal = 0; // records ever kept: sequence number of the next one
std::uint64_t readNext = 0;  // sequence number LogReadEntry hands out next

void BuildRecord(char cKind, std::uint16_t wKind, const char* pszName, std::uint16_t wCode,
                 const char* pszFormat, va_list args) {
    if (busy.test_and_set(std::memory_order_acquire)) {
        return; // another record is being built: this one is dropped
    }
    std::size_t n =
        LogFormatPrefix(recordBuffer.data(), recordBuffer.size(), cKind, pszName, wCode);
    if (pszFormat != nullptr && n < recordBuffer.size() - 1) {
        const int written =
            std::vsnprintf(recordBuffer.data() + n, recordBuffer.size() - n, pszFormat, args);
        if (written > 0) {
            n += static_cast<std::size_t>(written);
        }
        if (n > recordBuffer.size() - 1) {
            n = recordBuffer.size() - 1; // cut at the record size
        }
    }
    LogSink(wKind, recordBuffer.data(), static_cast<std::uint16_t>(n));
    busy.clear(std::memory_order_release);
}

std::size_t ModuleKey(const char* pszModule, char* key) {
    std::size_t len = 0;
    while (len < 2 && pszModule[len] != '\0') {
        key[len] = static_cast<char>(std::toupper(static_cast<unsigned char>(pszModule[len])));
        ++len;
    }
    while (len < 2) {
        key[len++] = ' ';
    }
    key[2] = ' ';
    key[3] = '\0';
    return LOGC_FILTER_ENTRY;
}

} // namespace

std::uint16_t LogInit() {
    if (bInitialised) {
        return 0;
    }
    masterSwitch = true;
    errorSwitch = true;
    warningSwitch = true;
    filterMode = LOGC_FILTER_ON;
    bInitialised = true;
    return 0;
}

std::uint16_t LogTerminate() {
    if (!bInitialised) {
        return 0;
    }
    bInitialised = false;
    masterSwitch = false;
    errorSwitch = false;
    warningSwitch = false;
    filterMode = LOGC_FILTER_OFF;
    return 0;
}

void LogError(const char* pszName, std::uint16_t wCode, const char* pszFormat, ...) {
    if (!bInitialised || !masterSwitch || !errorSwitch) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    BuildRecord('E', LOGC_KIND_ERROR, pszName, wCode, pszFormat, args);
    va_end(args);
}

void LogWarning(const char* pszName, std::uint16_t wCode, const char* pszFormat, ...) {
    if (!bInitialised || !masterSwitch || !warningSwitch) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    BuildRecord('W', LOGC_KIND_WARNING, pszName, wCode, pszFormat, args);
    va_end(args);
}

bool LogCheck(bool bHolds, const char* pszCondition, const char* pszFile, int nLine) {
    if (bHolds) {
        return true;
    }
    std::array<char, LOGC_RECORD_SIZE> text{};
    std::snprintf(text.data(), text.size(), "Assertion failed: %s, file %s, line %d",
                  pszCondition != nullptr ? pszCondition : "", pszFile != nullptr ? pszFile : "",
                  nLine);
    const bool bEchoed = bInitialised && masterSwitch && errorSwitch && echoOn;
    if (bInitialised && masterSwitch && errorSwitch) {
        LogError("Check", 0, "%s", text.data());
    }
    const LogPrintFunction pfPrint = routePrint.load();
    if (!bEchoed && pfPrint != nullptr) {
        pfPrint(text.data());
    }
    return false;
}

std::uint8_t LogEnable(std::uint8_t bOn) {
    masterSwitch = bOn != 0;
    return masterSwitch ? 1 : 0;
}

std::uint8_t LogEnableErrors(std::uint8_t bOn) {
    errorSwitch = bOn != 0;
    return (masterSwitch && bOn != 0) ? 1 : 0;
}

std::uint8_t LogEnableWarnings(std::uint8_t bOn) {
    warningSwitch = bOn != 0;
    return (masterSwitch && bOn != 0) ? 1 : 0;
}

std::uint8_t LogSetFilter(std::uint8_t bOn, const char* pszModule) {
    if (pszModule == nullptr || pszModule[0] == '\0') {
        filterMode = bOn != 0 ? LOGC_FILTER_ON : LOGC_FILTER_OFF;
        filterText.fill('\0');
        echoOn = bOn != 0;
    } else {
        filterMode = LOGC_FILTER_MODULES;
        const int pos = LogFindFilter(pszModule);
        const std::size_t len = std::strlen(filterText.data());
        if (bOn != 0 && pos < 0) {
            // A full filter text keeps its entries: the new code is not added.
            if (len + LOGC_FILTER_ENTRY < filterText.size()) {
                ModuleKey(pszModule, filterText.data() + len);
            }
        } else if (bOn == 0 && pos >= 0) {
            char* entry = filterText.data() + pos;
            std::memmove(entry, entry + LOGC_FILTER_ENTRY,
                         len - static_cast<std::size_t>(pos) - LOGC_FILTER_ENTRY + 1);
        }
    }
    return (masterSwitch && bOn != 0) ? 1 : 0;
}

int LogFindFilter(const char* pszModule) {
    if (pszModule == nullptr) {
        return -1;
    }
    char key[LOGC_FILTER_ENTRY + 1];
    ModuleKey(pszModule, key);
    const char* found = std::strstr(filterText.data(), key);
    return found == nullptr ? -1 : static_cast<int>(found - filterText.data());
}

std::uint8_t LogGetFilter(char* pszFilter) {
    if (pszFilter != nullptr) {
        std::memcpy(pszFilter, filterText.data(), filterText.size());
    }
    return filterMode;
}

std::uint16_t LogSetRoute(std::uint8_t byChannelId, LogPrintFunction pfPrint) {
    routeChannel = byChannelId;
    routePrint = pfPrint;
    return 0;
}

std::uint16_t LogReadEntry(std::uint16_t wMode, char* pszText) {
    std::lock_guard<std::mutex> lock(keptMutex);
    const std::uint64_t oldest = keptTotal - keptCount;
    if (wMode == LOGC_READ_FIRST) {
        readNext = oldest;
    } else if (wMode != LOGC_READ_NEXT) {
        return 1;
    }
    if (readNext < oldest) {
        readNext = oldest; // the ring moved on since the last read
    }
    if (readNext >= keptTotal || pszText == nullptr) {
        return 1;
    }
    const std::size_t back = static_cast<std::size_t>(keptTotal - readNext);
    const std::size_t pos = (keptNext + LOGC_KEPT_RECORDS - back) % LOGC_KEPT_RECORDS;
    std::memcpy(pszText, keptRecords[pos].data(), LOGC_RECORD_SIZE);
    ++readNext;
    return 0;
}

void LogSink(std::uint16_t /*wKind*/, const char* pszText, std::uint16_t wLength) {
    {
        std::lock_guard<std::mutex> lock(keptMutex);
        auto& slot = keptRecords[keptNext];
        const std::size_t n = wLength < LOGC_RECORD_SIZE ? wLength : LOGC_RECORD_SIZE - 1;
        std::memcpy(slot.data(), pszText, n);
        slot[n] = '\0';
        keptNext = (keptNext + 1) % LOGC_KEPT_RECORDS;
        if (keptCount < LOGC_KEPT_RECORDS) {
            ++keptCount;
        }
        ++keptTotal;
    }
    const LogPrintFunction pfPrint = routePrint.load();
    if (echoOn && pfPrint != nullptr) {
        pfPrint(pszText);
    }
}

std::size_t LogFormatPrefix(char* pszBuffer, std::size_t wSize, char cKind, const char* pszName,
                            std::uint16_t wCode) {
    if (pszBuffer == nullptr || wSize == 0) {
        return 0;
    }
    const int n = std::snprintf(pszBuffer, wSize, "\r\n%10lu %c %s : 0x%04x;",
                                static_cast<unsigned long>(OssGetTime()), cKind,
                                pszName != nullptr ? pszName : "", static_cast<unsigned>(wCode));
    if (n < 0) {
        pszBuffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < wSize ? static_cast<std::size_t>(n) : wSize - 1;
}

void LogResetForTest() {
    std::lock_guard<std::mutex> lock(keptMutex);
    keptCount = 0;
    keptNext = 0;
    keptTotal = 0;
    readNext = 0;
    routePrint = nullptr;
    routeChannel = 0;
    echoOn = false;
    filterText.fill('\0');
}
