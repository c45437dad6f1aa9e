// The reading of command arguments: tokens, numbers, and the text as it was typed.
#include "Application/AppCmdArgs.h"

#include <cstring>
#include <functional>
#include <limits>

#include "Runtime/Mds.h"

namespace {

CmdLineCopies g_tCurrentLine; // the line being interpreted

} // namespace

std::string_view CmdNextToken(const char*& pszCursor) {
    if (pszCursor == nullptr) {
        return {};
    }
    const char* start = pszCursor + std::strspn(pszCursor, APPC_SEPARATORS);
    const std::size_t length = std::strcspn(start, APPC_SEPARATORS);
    pszCursor = start + length;
    return {start, length};
}

std::uint32_t CmdParseUnsigned(std::string_view number) {
    std::size_t pos = 0;
    unsigned base = 10;
    if (number.size() >= 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) {
        base = 16;
        pos = 2;
    } else if (!number.empty() && number[0] == '0') {
        base = 8;
    }
    std::uint64_t value = 0;
    for (; pos < number.size(); ++pos) {
        const char c = number[pos];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a') + 10u;
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A') + 10u;
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        value = value * base + digit;
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::numeric_limits<std::uint32_t>::max();
        }
    }
    return static_cast<std::uint32_t>(value);
}

const char* CmdTypedText(const char* pszUpper) {
    if (pszUpper == nullptr || g_tCurrentLine.upper == nullptr) {
        return pszUpper;
    }
    const char* begin = g_tCurrentLine.upper->data();
    const char* end = begin + g_tCurrentLine.upper->size();
    const std::less<const char*> before;
    if (before(pszUpper, begin) || before(end, pszUpper)) {
        return pszUpper;
    }
    return g_tCurrentLine.typed->data() + (pszUpper - begin);
}

CmdLineCopies CmdSetCurrentLine(CmdLineCopies line) {
    const CmdLineCopies outer = g_tCurrentLine;
    g_tCurrentLine = line;
    return outer;
}

void CmdDeliverLine(const char* pszLine) {
    static_cast<void>(MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST,
                                           static_cast<std::uint16_t>(std::strlen(pszLine)),
                                           reinterpret_cast<const std::uint8_t*>(pszLine)));
}
