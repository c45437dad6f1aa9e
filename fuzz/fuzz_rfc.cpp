// Fuzz target of the structure encoder and the message display. The input holds, separated by
// zero bytes: a structure text, argument lines, and a received payload. The structure becomes
// the request and response structure of function FUZZ (and of the UPDATE function FUZZUPD) in a
// definition file; the argument lines are typed as a call of FUZZ (an input beginning with '!'
// switches to response mode first); every message sent and the payload are displayed, by the
// function table and with the structure given directly.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Application/AppCmdArgs.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppRfc.h"
#include "Application/AppStreams.h"
#include "Runtime/Mds.h"
#include "fuzz/FuzzFiles.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr std::uint8_t FUZZ_LINK = MDSC_SERIAL_CHANNEL_0;

std::vector<std::vector<std::uint8_t>> sent;
std::vector<std::uint8_t> sentTypes;

std::uint16_t RecordLink(std::uint8_t, std::uint8_t byType, std::uint16_t wLength,
                         const std::uint8_t* pbyData) {
    sent.emplace_back(pbyData, pbyData + wLength);
    sentTypes.push_back(byType);
    return 0;
}

std::string_view NextPart(std::string_view& rest) {
    const std::size_t wEnd = rest.find('\0');
    const std::string_view part = rest.substr(0, wEnd);
    rest = wEnd == std::string_view::npos ? std::string_view{} : rest.substr(wEnd + 1);
    return part;
}

// The line as the interpreter hands it on: upper case, leading white space removed.
std::string Typed(std::string_view text) {
    std::size_t wStart = 0;
    while (wStart < text.size() && (text[wStart] == ' ' || text[wStart] == '\t')) {
        ++wStart;
    }
    std::string line(text.substr(wStart));
    for (char& c : line) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return line;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    fuzz::ResetRuntime(1000);
    AppResetStreamsForTest();
    AppSetConsole(fuzz::NullStream());
    AppSetResponseStream(fuzz::NullStream());
    AppSetLinkChannel(FUZZ_LINK);
    static_cast<void>(MdsRegisterResponseHandler(FUZZ_LINK, RecordLink));
    SetPendingFnId(APPC_NO_FNID);
    sent.clear();
    sentTypes.clear();

    std::string_view rest(reinterpret_cast<const char*>(pbyInput), wSize);
    bool bResponseMode = false;
    if (!rest.empty() && rest.front() == '!') {
        bResponseMode = true;
        rest.remove_prefix(1);
    }
    const std::string_view structure = NextPart(rest);
    const std::string_view arguments = NextPart(rest);
    const std::string_view payload = rest;

    std::string definition = "#define REQUEST\nFUZZ 0x0101 { ";
    definition.append(structure);
    definition += " } { ";
    definition.append(structure);
    definition += " }\n#define UPDATE\nFUZZUPD 0x0102 { ";
    definition.append(structure);
    definition += " }\n";
    const std::string file = fuzz::WorkPath("FNID.DEF");
    fuzz::WriteFile(file, definition);
    (void)FnTabLoad(file.c_str()); // a refused structure is input too
    RfcSetRequestMode(bResponseMode ? APPC_REQUEST_MODE_RSP : APPC_REQUEST_MODE_REQ);

    // The argument lines: the first one names the function.
    std::string_view lines = arguments;
    bool bFirst = true;
    do {
        const std::size_t wEnd = lines.find('\n');
        std::string line = Typed(lines.substr(0, wEnd));
        lines = wEnd == std::string_view::npos ? std::string_view{} : lines.substr(wEnd + 1);
        if (bFirst) {
            const bool bUpdate = !line.empty() && line.front() == '*';
            line = (bUpdate ? "FUZZUPD " : "FUZZ ") + line.substr(bUpdate ? 1 : 0);
            bFirst = false;
        }
        if (TriggerRFC(line.data(), FUZZ_LINK) != APPC_CMD_MORE) {
            bFirst = true;
        }
    } while (!lines.empty());

    // Every message sent comes back as if the unit had echoed it.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto& message = sent[i];
        MsgGenericHandler(FUZZ_LINK, sentTypes[i], static_cast<std::uint16_t>(message.size()),
                          message.data());
    }
    // The link modules hand an empty message over without data.
    const auto* pbyPayload =
        payload.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(payload.data());
    const auto wPayload =
        static_cast<std::uint16_t>(payload.size() > 0xFFFF ? 0xFFFF : payload.size());
    for (const std::uint8_t byType : {MDSC_MSG_RFS_RESPONSE, MDSC_MSG_PC_NOTIFY, std::uint8_t{2}}) {
        MsgGenericHandler(FUZZ_LINK, byType, wPayload, pbyPayload);
    }
    const std::string upper = Typed(structure);
    MsgDisplay(upper.c_str(), MDSC_MSG_RFS_RESPONSE, wPayload, pbyPayload);
    MsgDisplay(upper.c_str(), MDSC_MSG_PC_NOTIFY, wPayload, pbyPayload);

    RfcReset();
    FnTabRelease();
    MdsResetForTest();
    return 0;
}
