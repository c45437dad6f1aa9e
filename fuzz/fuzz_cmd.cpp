// Fuzz target of the console command interpreter and the script runner: the input's lines are
// typed one after the other (as TERMINAL_REQUEST messages from the console channel), with
// scheduler passes and a moving clock in between, so that scripts, repeated scripts and timed
// calls run too. Every call sent on the link is answered by the unit. Runs in a private
// directory that holds the definition file and one script, S.TXT: the part of the input after a
// zero byte, or a small default script. Inputs naming other directories ('/') are skipped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "Application/AppCmd.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppRfc.h"
#include "Application/AppScript.h"
#include "Application/AppStreams.h"
#include "Application/AppTfc.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "fuzz/FuzzFiles.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr std::uint8_t FUZZ_LINK = MDSC_SERIAL_CHANNEL_0;
constexpr int FUZZ_PASSES_PER_LINE = 16;   // scheduler passes after each line
constexpr std::uint16_t FUZZ_PASS_MS = 16; // clock advance per pass
constexpr std::size_t FUZZ_MAX_LINES = 64;

constexpr const char* FUZZ_DEFINITIONS = "#define REQUEST\n"
                                         "PING 0x0101 { B } { B }\n"
                                         "SETVAL 0x0102 { B W } { B }\n"
                                         "NAMES 0x0103 { S8 (B W)2 } { E S4 D }\n"
                                         "LOGGER 0x0104 { - } { - }\n"
                                         "#define UPDATE\n"
                                         "CHANGED 0x0200 { B D }\n";
constexpr const char* FUZZ_SCRIPT = "PING 1\n"
                                    "SETVAL 2 0x300\n"
                                    "NAMES \"ABC\" 1 2 3 4\n";

std::vector<std::uint16_t> calls; // FnIds sent on the link, to be answered
std::uint32_t calendarSeconds = 0;

std::uint16_t RecordLink(std::uint8_t, std::uint8_t, std::uint16_t wLength,
                         const std::uint8_t* pbyData) {
    fuzz::Touch(pbyData, wLength);
    if (wLength >= 2 && calls.size() < 64) {
        calls.push_back(static_cast<std::uint16_t>(pbyData[0] | (pbyData[1] << 8)));
    }
    return 0;
}

std::uint32_t Calendar() {
    return calendarSeconds + OssGetTime() / 1000;
}

void Type(std::string_view line) {
    static_cast<void>(MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST,
                                           static_cast<std::uint16_t>(line.size()),
                                           reinterpret_cast<const std::uint8_t*>(line.data())));
}

// The unit answers every call with its FnId and an error code 0.
void AnswerCalls() {
    std::vector<std::uint16_t> pending;
    pending.swap(calls);
    for (const std::uint16_t wFnId : pending) {
        const std::uint8_t answer[] = {static_cast<std::uint8_t>(wFnId & 0xFF),
                                       static_cast<std::uint8_t>(wFnId >> 8), 0, 0, 7};
        static_cast<void>(
            MdsExecuteMsgHandler(FUZZ_LINK, MDSC_MSG_RFS_RESPONSE, sizeof answer, answer));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    if (chdir(fuzz::WorkDir().c_str()) != 0) {
        std::abort();
    }
    fuzz::WriteFile("FNID.DEF", FUZZ_DEFINITIONS);
    AppSetConsole(fuzz::NullStream());
    if (FnTabLoad("FNID.DEF") != APPC_LOAD_OK) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    const std::string_view input(reinterpret_cast<const char*>(pbyInput), wSize);
    if (input.find('/') != std::string_view::npos) {
        return -1; // would reach files outside the private directory
    }
    const std::size_t wScript = input.find('\0');
    fuzz::RemoveAllBut("FNID.DEF");
    fuzz::WriteFile("S.TXT", wScript == std::string_view::npos ? std::string_view(FUZZ_SCRIPT)
                                                               : input.substr(wScript + 1));

    fuzz::ResetRuntime(1000);
    static_cast<void>(GpsTmrInit());
    AppResetStreamsForTest();
    AppSetConsole(fuzz::NullStream());
    AppSetResponseStream(nullptr); // standard output, which goes nowhere here
    AppSetLinkChannel(FUZZ_LINK);
    CmdResetForTest();
    ScriptResetForTest();
    ScriptSetClockForTest(Calendar);
    TfcResetForTest();
    RfcReset();
    RfcSetRequestMode(APPC_REQUEST_MODE_REQ);
    SetPendingFnId(APPC_NO_FNID);
    static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, CmdLineHandler));
    static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_RFS_RESPONSE, MsgGenericHandler));
    static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_PC_NOTIFY, MsgGenericHandler));
    static_cast<void>(MdsRegisterResponseHandler(FUZZ_LINK, RecordLink));
    calls.clear();

    std::string_view rest = input.substr(0, wScript);
    for (std::size_t n = 0; n < FUZZ_MAX_LINES && !rest.empty(); ++n) {
        const std::size_t wEnd = rest.find('\n');
        Type(rest.substr(0, wEnd));
        rest = wEnd == std::string_view::npos ? std::string_view{} : rest.substr(wEnd + 1);
        for (int i = 0; i < FUZZ_PASSES_PER_LINE; ++i) {
            OssSchedule();
            AnswerCalls();
            OssAdvanceTime(FUZZ_PASS_MS);
        }
    }

    ScriptStop();
    ScriptResetForTest();
    TfcStop();
    TfcResetForTest();
    RfcReset();
    CmdResetForTest();
    MdsResetForTest();
    return 0;
}
