// The capture file's opening and its function table record.
#include "Application/AppTrace.h"

#include <cstdio>

#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "Runtime/Trace.h"

namespace {

// Appends a text with tabs, line ends and other control characters turned into blanks, so that
// they cannot break the record's layout.
void AppendField(std::string& rOut, const std::string& text) {
    for (const char c : text) {
        rOut.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
    }
}

} // namespace

std::string AppTraceTableText(const char* pszProgram) {
    std::string text = APPC_TRACE_TABLE_MAGIC;
    text += ' ';
    text += std::to_string(APPC_TRACE_TABLE_VERSION);
    text += ' ';
    AppendField(text, pszProgram != nullptr ? pszProgram : "");
    text += '\n';
    for (std::uint16_t w = 0; w < FnTabCount(); ++w) {
        const FunctionRecord* ptRecord = FnTabAt(w);
        if (ptRecord == nullptr) {
            continue;
        }
        char szFnId[16];
        std::snprintf(szFnId, sizeof szFnId, "0x%04X\t%u\t", static_cast<unsigned>(ptRecord->wFnId),
                      static_cast<unsigned>(ptRecord->bySectionKind));
        text += szFnId;
        AppendField(text, ptRecord->name);
        text += '\t';
        AppendField(text, ptRecord->request);
        text += '\t';
        AppendField(text, ptRecord->response);
        text += '\n';
    }
    return text;
}

std::uint16_t AppTraceOpen(const char* pszPath, const char* pszProgram) {
    const std::string text = AppTraceTableText(pszProgram);
    if (TraceOpen(pszPath) != TRACEC_OK ||
        TraceWriteTable(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) != TRACEC_OK) {
        TraceClose();
        std::fprintf(AppConsole(), "Cannot open capture file: %s\n", pszPath);
        std::fflush(AppConsole());
        return 1;
    }
    return 0;
}
