// Time stamps: local wall-clock time to the millisecond in front of what arrives, UTC for the
// JSON Lines file.
#include "Application/AppStamp.h"

#include <array>
#include <cstring>
#include <ctime>

#include "Platform/PltClock.h"

namespace {

bool g_bStamps = false;
std::uint64_t (*g_pfWallClock)() = PltWallClockMs;
std::array<char, APPC_STAMP_SIZE> g_szStamp{};

} // namespace

void StampEnable(bool bOn) {
    g_bStamps = bOn;
}

bool StampEnabled() {
    return g_bStamps;
}

void StampLocalText(std::uint64_t qwMs, char* pszText, std::size_t wSize) {
    std::tm local{};
    if (!PltLocalTime(static_cast<std::time_t>(qwMs / 1000u), &local)) {
        local = std::tm{};
    }
    std::snprintf(pszText, wSize, "[%02d:%02d:%02d.%03u] ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<unsigned>(qwMs % 1000u));
}

void StampUtcText(std::uint64_t qwMs, char* pszText, std::size_t wSize) {
    std::tm utc{};
    if (!PltUtcTime(static_cast<std::time_t>(qwMs / 1000u), &utc)) {
        utc = std::tm{};
    }
    std::snprintf(pszText, wSize, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<unsigned>(qwMs % 1000u));
}

std::uint64_t StampNowMs() {
    return g_pfWallClock();
}

const char* StampText() {
    if (!g_bStamps) {
        return "";
    }
    StampLocalText(g_pfWallClock(), g_szStamp.data(), g_szStamp.size());
    return g_szStamp.data();
}

void StampWrite(std::FILE* pOut, const char* pszText) {
    if (!g_bStamps) {
        std::fputs(pszText, pOut);
        return;
    }
    const std::size_t wBreaks = std::strspn(pszText, "\r\n");
    std::fwrite(pszText, 1, wBreaks, pOut);
    std::fputs(StampText(), pOut);
    std::fputs(pszText + wBreaks, pOut);
}

void StampSetClockForTest(std::uint64_t (*pfMs)()) {
    g_pfWallClock = pfMs != nullptr ? pfMs : PltWallClockMs;
}
