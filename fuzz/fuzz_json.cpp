// Fuzz target of the message decoder and the JSON Lines writer. The input holds a message type
// byte, a structure text and, after a zero byte, a received payload. The structure becomes the
// request and response structure of function FUZZ (FnId 0x0101) in a definition file; the payload
// is decoded by the function table and with the structure given directly, written as a JSON line
// and as the text display, and every JSON line must parse back as JSON (valid UTF-8 included).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "Application/AppDecode.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppJson.h"
#include "Application/AppStreams.h"
#include "fuzz/FuzzFiles.h"
#include "fuzz/FuzzSupport.h"

namespace {

void CheckLine(const MsgDecoded& decoded) {
    const std::string line = JsonMessageLine("rx", decoded, true, 1796812267412);
    if (line.find('\n') != std::string::npos || !nlohmann::json::accept(line)) {
        std::abort(); // one record per line, and a parser must accept every one
    }
    MsgWriteText(fuzz::NullStream(), decoded);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    if (wSize == 0) {
        return 0;
    }
    fuzz::ResetRuntime(1000);
    AppResetStreamsForTest();
    AppSetConsole(fuzz::NullStream());
    AppSetResponseStream(fuzz::NullStream());

    const std::uint8_t byType = pbyInput[0];
    std::string_view rest(reinterpret_cast<const char*>(pbyInput + 1), wSize - 1);
    const std::size_t wEnd = rest.find('\0');
    const std::string structure(rest.substr(0, wEnd));
    const std::string_view payload =
        wEnd == std::string_view::npos ? std::string_view{} : rest.substr(wEnd + 1);

    const std::string file = fuzz::WorkPath("FNID.DEF");
    fuzz::WriteFile(file,
                    "#define REQUEST\nFUZZ 0x0101 { " + structure + " } { " + structure + " }\n");
    (void)FnTabLoad(file.c_str()); // a refused structure is input too

    const auto* pbyPayload =
        payload.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(payload.data());
    const auto wPayload =
        static_cast<std::uint16_t>(payload.size() > 0xFFFF ? 0xFFFF : payload.size());
    CheckLine(MsgDecode(nullptr, byType, wPayload, pbyPayload));
    CheckLine(MsgDecode(structure.c_str(), byType, wPayload, pbyPayload));
    FnTabRelease();
    return 0;
}
