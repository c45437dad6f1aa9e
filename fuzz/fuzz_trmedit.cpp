// Fuzz target of the console's line editor: the input is a stream of key bytes (terminal escape
// sequences included), with a completer that offers several words, output that hides the line,
// redraws and a narrow screen. Checks that the line never passes its limit and the cursor never
// leaves it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Runtime/TrmEdit.h"

namespace {

std::size_t screenBytes = 0;

void Count(std::string_view bytes) {
    screenBytes += bytes.size();
}

void Offer(std::string_view line, std::uint16_t wCursor, TrmCompletion& completion) {
    std::size_t start = wCursor;
    while (start > 0 && line[start - 1] != ' ') {
        --start;
    }
    completion.wWordStart = static_cast<std::uint16_t>(start);
    if (start > 0 && line.size() % 3 == 0) {
        completion.hint = "HINT { B W }";
        return;
    }
    completion.candidates = {std::string(120, 'A'), "ABC", "ABD", "X"};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t wSize) {
    TrmEditReset();
    TrmEditSetWriter(Count);
    TrmEditSetCompleter(Offer);
    TrmEditSetColumns(wSize > 0 ? static_cast<std::uint16_t>(pbyData[0] % 50 + 1) : 80);
    TrmEditSetPrompt("Function ==> ");
    for (std::size_t i = 1; i < wSize; ++i) {
        const std::uint8_t byKey = pbyData[i];
        // A few bytes stand for events around the keys rather than keys.
        if (byKey == 0xF0) {
            TrmEditHide();
        } else if (byKey == 0xF1) {
            TrmEditRefresh();
        } else if (byKey == 0xF2) {
            TrmEditKeyTimeout();
        } else if (byKey == 0xF3) {
            TrmEditDiscard();
        } else if (byKey == 0xF4) {
            TrmEditSetColumns(static_cast<std::uint16_t>(i % 7 + 1));
        } else if (TrmEditKey(byKey) == TrmEditResult::Line) {
            TrmEditAddHistory(TrmEditDelivered());
            TrmEditSetPrompt("P> ");
        }
        if (TrmEditLine().size() > TRMC_EDIT_LINE_MAX || TrmEditCursor() > TrmEditLine().size()) {
            std::abort();
        }
    }
    return 0;
}
