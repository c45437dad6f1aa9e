// Call encoding: reads the arguments of a typed remote function call by the function's structure
// text into the request message, over as many input lines as the structure needs, and hands the
// finished message to the link's channel.
#include "Application/AppRfc.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "Application/AppCmdArgs.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppLink.h"
#include "Application/AppStreams.h"
#include "Application/AppStruct.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Trm.h"

namespace {

constexpr std::uint16_t APPC_NO_POSITION = 0xFFFF; // no call under construction
constexpr std::size_t APPC_NAME_SIZE = 128;        // longest name a definition file can hold

// The call under construction.
struct CallBuilder {
    std::uint16_t wPosition = APPC_NO_POSITION; // element being filled in the expanded text
    std::uint16_t wLength = 0;                  // bytes of the request message so far
    std::uint32_t dwNeeded = 0;                 // values (string bytes) the element still needs
    std::uint8_t byMsgType = MDSC_MSG_RFS_REQUEST;
    const char* pszStructure = nullptr; // request structure or the response-mode text
    std::array<char, APPC_EXPANDED_SIZE> szExpanded{};
    std::array<char, APPC_RESPONSE_MODE_SIZE> szResponseMode{};
};

CallBuilder g_tCallBuilder;
std::uint8_t g_byRequestMode = APPC_REQUEST_MODE_REQ;
RfcSendObserver g_pfSendObserver = nullptr;
bool g_bKeepCase = false; // string and character arguments keep the case they were typed in

enum class Expansion { Done, Unbalanced, TooLong };
enum class Encoding { Done, More, TooLong };

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool AtEnd(const char* p) {
    return *p == '\0' || *p == '\r' || *p == '\n';
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Writes the structure text with every group written out into the expanded text.
Expansion Expand(const char* pszText) {
    auto& out = g_tCallBuilder.szExpanded;
    out.fill('\0');
    std::size_t wOut = 0;
    auto append = [&](const char* p, std::size_t wCount) {
        if (wOut + wCount > out.size() - 1) {
            return false;
        }
        std::memcpy(out.data() + wOut, p, wCount);
        wOut += wCount;
        return true;
    };
    const char* p = pszText;
    while (*p != '\0') {
        if (*p != '(') {
            if (!append(p, 1)) {
                return Expansion::TooLong;
            }
            ++p;
            continue;
        }
        const char* pszClose = std::strchr(p + 1, ')');
        if (pszClose == nullptr) {
            return Expansion::Unbalanced;
        }
        const char* pszInner = p + 1;
        const std::size_t wInner = static_cast<std::size_t>(pszClose - pszInner);
        if (std::memchr(pszInner, '(', wInner) != nullptr) {
            return Expansion::Unbalanced; // nested groups are not encoded
        }
        std::size_t wDigits = 0;
        const std::uint32_t dwRepeat = StructReadCount(pszClose + 1, &wDigits);
        for (std::uint32_t dw = 0; dw < dwRepeat; ++dw) {
            // Every copy after the first adds at least its blank, so this ends at the limit.
            if ((dw > 0 && !append(" ", 1)) || !append(pszInner, wInner)) {
                return Expansion::TooLong;
            }
        }
        p = pszClose + 1 + wDigits;
    }
    return Expansion::Done;
}

void PutValue(std::span<std::uint8_t> buffer, std::uint32_t dwValue, std::uint8_t byWidth) {
    for (std::uint8_t by = 0; by < byWidth; ++by) {
        buffer[g_tCallBuilder.wLength++] = static_cast<std::uint8_t>(dwValue >> (8 * by));
    }
}

// Fills a string field from quoted or unquoted text; *ppText moves on.
void EncodeString(std::span<std::uint8_t> buffer, const char** ppText) {
    const char* p = *ppText;
    if (*p == '"') {
        ++p;
        while (g_tCallBuilder.dwNeeded > 0 && !AtEnd(p) && *p != '"') {
            buffer[g_tCallBuilder.wLength++] = static_cast<std::uint8_t>(*p++);
            --g_tCallBuilder.dwNeeded;
        }
        if (g_tCallBuilder.dwNeeded == 0) {
            if (*p == '"') {
                ++p; // the field is full and the string ends here: its quote is used up
            }
            *ppText = p;
            return;
        }
        buffer[g_tCallBuilder.wLength] = 0; // within the field: at least one byte is still needed
        if (*p == '"' && p[1] == '\\') {
            *ppText = p + std::strlen(p); // the string goes on in the next line
            return;
        }
        if (*p == '"') {
            ++p;
        }
        std::memset(&buffer[g_tCallBuilder.wLength], 0, g_tCallBuilder.dwNeeded);
        g_tCallBuilder.wLength =
            static_cast<std::uint16_t>(g_tCallBuilder.wLength + g_tCallBuilder.dwNeeded);
        g_tCallBuilder.dwNeeded = 0;
        *ppText = p;
        return;
    }
    // Unquoted: the rest of the line, zero padded, with a zero in the field's last byte.
    const std::size_t wField = g_tCallBuilder.dwNeeded;
    std::size_t wCopy = 0;
    while (wCopy < wField && !AtEnd(p + wCopy)) {
        ++wCopy;
    }
    std::memcpy(&buffer[g_tCallBuilder.wLength], p, wCopy);
    std::memset(&buffer[g_tCallBuilder.wLength + wCopy], 0, wField - wCopy);
    buffer[g_tCallBuilder.wLength + wField - 1] = 0;
    g_tCallBuilder.wLength = static_cast<std::uint16_t>(g_tCallBuilder.wLength + wField);
    g_tCallBuilder.dwNeeded = 0;
    *ppText = p + std::strcspn(p, "\r\n"); // the rest of the line; a script line keeps its end
}

void Print(const char* pszFormat, auto... args) {
    std::fprintf(AppConsole(), pszFormat, args...);
}

// The field's name without the label's padding ("BYTE", "WORD").
int LabelLength(const FieldType* ptType) {
    const char* pszEnd = std::strpbrk(ptType->pszLabel, " :");
    return pszEnd != nullptr ? static_cast<int>(pszEnd - ptType->pszLabel)
                             : static_cast<int>(std::strlen(ptType->pszLabel));
}

// One console line when a typed number is cut to its field or the text is no number. The value
// sent stays as the encoding rules make it.
void WarnValue(const FieldType* ptType, const char* pszTyped, const char* pszEnd,
               unsigned long ulValue, bool bOutOfRange) {
    const int iLabel = LabelLength(ptType);
    if (pszEnd == pszTyped) {
        const int iTyped = static_cast<int>(std::strcspn(pszTyped, " \t\r\n!"));
        Print("Warning: %.*s is no number for %.*s, 0 sent\n", iTyped, pszTyped, iLabel,
              ptType->pszLabel);
        return;
    }
    const unsigned long long qwMask = ptType->dwMask;
    const unsigned long long qwValue = ulValue;
    bool bFits = !bOutOfRange;
    if (bFits && *pszTyped == '-') {
        // A negative number fits when its two's complement in the field means the same value.
        const unsigned long long qwMagnitude = static_cast<unsigned long>(0UL - ulValue);
        bFits = qwMagnitude <= qwMask / 2 + 1;
    } else if (bFits) {
        bFits = (qwValue & ~qwMask) == 0;
    }
    if (!bFits) {
        Print("Warning: %.*s does not fit %.*s, %lu sent\n", static_cast<int>(pszEnd - pszTyped),
              pszTyped, iLabel, ptType->pszLabel,
              static_cast<unsigned long>(static_cast<std::uint32_t>(ulValue) & ptType->dwMask));
    }
}

// Fills the current element with the values typed at *ppText, as far as the line goes; *ppText
// moves on.
void EncodeElement(const FieldType* ptType, std::span<std::uint8_t> buffer, const char** ppText) {
    const char* p = *ppText;
    switch (ptType->tClass) {
    case FieldClass::String:
        EncodeString(buffer, &p);
        break;
    case FieldClass::Character:
        while (g_tCallBuilder.dwNeeded > 0 && !AtEnd(p)) {
            while (IsBlank(*p)) {
                ++p;
            }
            if (AtEnd(p) || *p == '!') {
                break;
            }
            PutValue(buffer, static_cast<unsigned char>(*p++), 1);
            --g_tCallBuilder.dwNeeded;
        }
        break;
    default:
        while (g_tCallBuilder.dwNeeded > 0 && !AtEnd(p)) {
            while (IsBlank(*p)) {
                ++p;
            }
            // A blank at the end of the line is no value: the rest comes with the next line.
            if (AtEnd(p) || *p == '!') {
                break;
            }
            char* pszEnd = nullptr;
            errno = 0;
            const unsigned long ulValue = std::strtoul(p, &pszEnd, 0);
            WarnValue(ptType, p, pszEnd, ulValue, errno == ERANGE);
            p = pszEnd;
            PutValue(buffer, static_cast<std::uint32_t>(ulValue), ptType->byWidth);
            --g_tCallBuilder.dwNeeded;
        }
        break;
    }
    *ppText = p;
}

// Reads the parameter text against the expanded structure from the current element on.
Encoding Encode(const char* pszText, std::span<std::uint8_t> buffer) {
    const char* p = pszText;
    const char* pszExpanded = g_tCallBuilder.szExpanded.data();
    for (;;) {
        while (IsBlank(*p)) {
            ++p;
        }
        if (*p == '!') {
            return Encoding::Done;
        }
        const FieldType* ptType = nullptr;
        while (pszExpanded[g_tCallBuilder.wPosition] != '\0' &&
               (ptType = StructFindFieldType(pszExpanded[g_tCallBuilder.wPosition])) == nullptr) {
            ++g_tCallBuilder.wPosition;
        }
        if (ptType == nullptr) {
            return Encoding::Done;
        }
        if (g_tCallBuilder.dwNeeded == 0) {
            std::size_t wDigits = 0;
            g_tCallBuilder.dwNeeded =
                StructReadCount(&pszExpanded[g_tCallBuilder.wPosition + 1], &wDigits);
            // The whole element must fit into the request message before any of it is written.
            const std::uint64_t qwBytes =
                static_cast<std::uint64_t>(g_tCallBuilder.dwNeeded) * ptType->byWidth;
            if (g_tCallBuilder.wLength + qwBytes > buffer.size()) {
                return Encoding::TooLong;
            }
        }
        if (*p == '\0') {
            return Encoding::More; // a typed line: the call goes on with the next line
        }
        if (IsLineEnd(*p)) {
            // A script line keeps its line end, text that is no value: every value still missing
            // is sent as zero, and the call is complete at the end of the structure.
            const std::size_t wBytes =
                static_cast<std::size_t>(g_tCallBuilder.dwNeeded) * ptType->byWidth;
            std::memset(&buffer[g_tCallBuilder.wLength], 0, wBytes);
            g_tCallBuilder.wLength = static_cast<std::uint16_t>(g_tCallBuilder.wLength + wBytes);
            g_tCallBuilder.dwNeeded = 0;
            ++g_tCallBuilder.wPosition;
            continue;
        }
        EncodeElement(ptType, buffer, &p);
        if (g_tCallBuilder.dwNeeded == 0) {
            ++g_tCallBuilder.wPosition;
        }
    }
}

// Starts a call of the function named by the line's first token; returns the parameter text, or
// nullptr when there is no call (no token, unknown function, no buffer) with *pwResult set.
const char* OpenCall(char* pszLine, std::span<std::uint8_t> buffer, std::uint16_t* pwResult) {
    *pwResult = APPC_CMD_DONE;
    const char* p = pszLine;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
        ++p;
    }
    const std::size_t wName = std::strcspn(p, " \t\r\n");
    if (wName == 0) {
        return nullptr;
    }
    std::array<char, APPC_NAME_SIZE> szName{};
    const FunctionRecord* ptRecord = nullptr;
    if (wName < szName.size()) {
        std::memcpy(szName.data(), p, wName);
        ptRecord = FnTabFindByName(szName.data());
    }
    if (ptRecord == nullptr) {
        Print("Remote Function '%.*s' not present in the definition file\n",
              static_cast<int>(wName), p);
        return nullptr;
    }
    if (buffer.size() < 2) {
        Print("Request message too long, call not sent\n");
        *pwResult = APPC_CMD_ERROR;
        return nullptr;
    }
    buffer[0] = static_cast<std::uint8_t>(ptRecord->wFnId);
    buffer[1] = static_cast<std::uint8_t>(ptRecord->wFnId >> 8);
    g_tCallBuilder.wLength = 2;
    g_tCallBuilder.dwNeeded = 0;
    if (ptRecord->bySectionKind == APPC_SECTION_REQUEST &&
        g_byRequestMode == APPC_REQUEST_MODE_RSP) {
        const int nWritten =
            std::snprintf(g_tCallBuilder.szResponseMode.data(),
                          g_tCallBuilder.szResponseMode.size(), "E %s", ptRecord->response.c_str());
        if (nWritten < 0 ||
            static_cast<std::size_t>(nWritten) >= g_tCallBuilder.szResponseMode.size()) {
            Print("Structure too long to expand, call not sent\n");
            *pwResult = APPC_CMD_ERROR;
            return nullptr;
        }
        g_tCallBuilder.byMsgType = MDSC_MSG_RFS_RESPONSE;
        g_tCallBuilder.pszStructure = g_tCallBuilder.szResponseMode.data();
    } else {
        g_tCallBuilder.byMsgType = ptRecord->bySectionKind;
        g_tCallBuilder.pszStructure = ptRecord->request.c_str();
    }
    g_tCallBuilder.wPosition = 0;
    Print("%s(%d) message\nFnId    : 0x%04X,  StructToSend={ %s }\n",
          MsgTypeName(g_tCallBuilder.byMsgType), static_cast<int>(g_tCallBuilder.byMsgType),
          static_cast<unsigned>(ptRecord->wFnId), g_tCallBuilder.pszStructure);
    p += wName;
    if (*p != '\0') {
        ++p; // the separator that ended the name
    }
    return p;
}

} // namespace

std::uint16_t TriggerRFC(char* pszLine, std::uint8_t byChannel) {
    if (pszLine == nullptr) {
        return APPC_CMD_DONE;
    }
    const std::span<std::uint8_t> buffer = FnTabRequestBuffer();
    const char* pszParams = pszLine;
    if (g_tCallBuilder.wPosition == APPC_NO_POSITION) {
        // The call refers to the function table and its buffer: a reload or release drops it.
        FnTabSetReleaseHook(RfcReset);
        std::uint16_t wResult = APPC_CMD_DONE;
        pszParams = OpenCall(pszLine, buffer, &wResult);
        if (pszParams == nullptr) {
            return wResult;
        }
    }
    if (g_bKeepCase) {
        pszParams = CmdTypedText(pszParams); // numbers read the same in either case
    }
    switch (Expand(g_tCallBuilder.pszStructure)) {
    case Expansion::Done:
        break;
    case Expansion::Unbalanced:
        Print("Error during unwrapping of parameter string");
        RfcReset();
        return APPC_CMD_ERROR;
    case Expansion::TooLong:
        Print("Structure too long to expand, call not sent\n");
        RfcReset();
        return APPC_CMD_ERROR;
    }
    switch (Encode(pszParams, buffer)) {
    case Encoding::More: {
        std::array<char, 64> szPrompt{};
        const FieldType* ptType =
            StructFindFieldType(g_tCallBuilder.szExpanded[g_tCallBuilder.wPosition]);
        if (ptType != nullptr) {
            std::snprintf(szPrompt.data(), szPrompt.size(), "Expecting more%u;(%ux) %s",
                          static_cast<unsigned>(g_tCallBuilder.wPosition),
                          static_cast<unsigned>(g_tCallBuilder.dwNeeded), ptType->pszLabel);
        } else {
            std::snprintf(szPrompt.data(), szPrompt.size(), "Expecting more");
        }
        Print("\n%s", szPrompt.data());
        TrmSetPrompt(szPrompt.data());
        return APPC_CMD_MORE;
    }
    case Encoding::TooLong:
        Print("Request message too long, call not sent\n");
        RfcReset();
        return APPC_CMD_ERROR;
    case Encoding::Done:
        break;
    }
    const std::uint16_t wStatus =
        AppLinkSend(byChannel, g_tCallBuilder.byMsgType, g_tCallBuilder.wLength, buffer.data());
    if (wStatus != 0) {
        LogError("TriggerRFC", wStatus, "Execution error");
    }
    if (g_pfSendObserver != nullptr) {
        g_pfSendObserver(g_tCallBuilder.byMsgType, g_tCallBuilder.wLength, buffer.data(),
                         wStatus == 0);
    }
    RfcReset();
    return APPC_CMD_DONE;
}

void RfcReset() {
    g_tCallBuilder.wPosition = APPC_NO_POSITION;
    g_tCallBuilder.dwNeeded = 0;
    g_tCallBuilder.pszStructure = nullptr;
}

void RfcSetRequestMode(std::uint8_t byMode) {
    g_byRequestMode = byMode;
}

void RfcSetKeepCase(bool bKeep) {
    g_bKeepCase = bKeep;
}

std::uint8_t RfcGetRequestMode() {
    return g_byRequestMode;
}

void RfcSetSendObserver(RfcSendObserver pfObserver) {
    g_pfSendObserver = pfObserver;
}
