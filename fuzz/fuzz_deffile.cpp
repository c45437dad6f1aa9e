// Fuzz target of the definition file tokenizer and loader: the input is written as the main
// definition file (and, after a zero byte, as the extended one), loaded with FnTabLoad, and every
// record found is looked up by name and by FnId.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "fuzz/FuzzFiles.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    AppSetConsole(fuzz::NullStream());
    AppSetResponseStream(fuzz::NullStream());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    const std::string_view input(reinterpret_cast<const char*>(pbyInput), wSize);
    const std::size_t wSplit = input.find('\0');
    const std::string mainFile = fuzz::WorkPath("FNID.DEF");
    const std::string extendedFile = fuzz::WorkPath("FNIDDev.DEF");
    fuzz::WriteFile(mainFile, input.substr(0, wSplit));
    std::string list = mainFile;
    if (wSplit != std::string_view::npos) {
        fuzz::WriteFile(extendedFile, input.substr(wSplit + 1));
        list += ";" + extendedFile;
    }
    (void)FnTabLoad(list.c_str()); // any result: whatever was stored must be found again
    for (std::uint16_t w = 0; w < FnTabCount(); ++w) {
        const FunctionRecord* record = FnTabAt(w);
        if (record == nullptr || FnTabFindByName(record->name.c_str()) == nullptr ||
            FnTabFindByFnId(record->wFnId) == nullptr || record->wFnId == 0) {
            std::abort(); // a stored record that cannot be found again
        }
    }
    FnTabRelease();
    return 0;
}
