// Timed function call: one console line delivered to the interpreter from a cyclic timer.
#include "Application/AppTfc.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "Application/AppCmdArgs.h"
#include "Application/AppStreams.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Mds.h"

namespace {

std::array<char, APPC_TIMED_LINE_SIZE> timedLine{};
std::array<char, APPC_TIMED_LINE_SIZE> deliveryCopy{}; // the interpreter may change what it gets
std::uint16_t timerId = GPSTMRC_NO_TIMER;

std::FILE* Con() {
    return AppConsole();
}

void DeleteTimer() {
    if (timerId != GPSTMRC_NO_TIMER) {
        static_cast<void>(GpsTmrDelete(timerId)); // the timer is this module's own
        timerId = GPSTMRC_NO_TIMER;
    }
}

} // namespace

std::uint16_t TfcCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const char* cursor = pszLine;
    CmdNextToken(cursor);
    const std::string_view interval = CmdNextToken(cursor);
    if (interval.empty()) {
        timedLine[0] = '\0';
        if (timerId == GPSTMRC_NO_TIMER) {
            return APPC_CMD_DONE;
        }
        const std::uint16_t status = GpsTmrDelete(timerId);
        timerId = GPSTMRC_NO_TIMER;
        return status == GPSTMRC_NO_TIMER ? APPC_CMD_ERROR : APPC_CMD_DONE;
    }
    const std::uint32_t seconds = CmdParseUnsigned(interval);
    if (seconds == 0) {
        return APPC_CMD_ERROR;
    }
    if (seconds > APPC_TFC_MAX_SECONDS) {
        // The period counts 32-ms units in 16 bits; a longer one would wrap to a short period.
        std::fprintf(Con(), "TFC interval above %u seconds\n",
                     static_cast<unsigned>(APPC_TFC_MAX_SECONDS));
        return APPC_CMD_ERROR;
    }
    // The words of the line, each followed by one blank, in the case they were typed.
    std::string words;
    for (std::string_view word = CmdNextToken(cursor); !word.empty(); word = CmdNextToken(cursor)) {
        words.append(CmdTypedText(word.data()), word.size());
        words.push_back(' ');
    }
    if (!words.empty()) {
        words.pop_back();
    }
    if (words.size() >= timedLine.size()) {
        std::fprintf(Con(), "TFC line longer than %zu characters\n", timedLine.size() - 1);
        return APPC_CMD_ERROR;
    }
    // A new timed call replaces the active one.
    DeleteTimer();
    std::memcpy(timedLine.data(), words.c_str(), words.size() + 1);
    timerId = GpsTmrCreateCyclic(
        TfcTimerExpired, static_cast<std::uint16_t>(seconds * APPC_TFC_UNITS_PER_SECOND), 0);
    return APPC_CMD_DONE;
}

void TfcTimerExpired() {
    std::memcpy(deliveryCopy.data(), timedLine.data(), timedLine.size());
    CmdDeliverLine(deliveryCopy.data());
}

void TfcStop() {
    DeleteTimer();
    timedLine[0] = '\0';
}

const char* TfcTimedLine() {
    return timedLine.data();
}

std::uint16_t TfcTimerId() {
    return timerId;
}

void TfcResetForTest() {
    timerId = GPSTMRC_NO_TIMER;
    timedLine.fill('\0');
    deliveryCopy.fill('\0');
}
