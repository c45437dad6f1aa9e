// Message display: the readable dump of every received message, field by field by the function's
// structure text, with a hex dump of what the structure does not describe. Every byte, length and
// count of a received message is untrusted: nothing is read beyond the message's length.
#include "Application/AppDisplay.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "Application/AppFnTab.h"
#include "Application/AppMain.h"
#include "Application/AppRfc.h"

namespace {

constexpr std::array<const char*, 23> g_apszMsgTypeNames{
    "INVALID ",
    "ACK ",
    "NAK ",
    "RFS_REQUEST ",
    "RFS_RESPONSE ",
    "PC_NOTIFY ",
    "TERMINAL_REQUEST ",
    "TERMINAL_RESPONCE ",
    "REM_TERMINAL_REQUEST ",
    "REM_TERMINAL_RESPONCE ",
    "MTM_REQUEST ",
    "MTM_RESPONCE ",
    "DCM_LINKAGE_INFO ",
    "TYPE",
    "TYPE",
    "COMMUNICATION_PARAMS ",
    "TYPE",
    "TYPE",
    "TYPE",
    "TYPE",
    "EVENT_INFO ",
    "ACTION_INFO ",
    "BROADCAST_INFO ",
};

constexpr std::size_t APPC_DUMP_LINE = 16; // bytes per line of the rest dump
constexpr int APPC_GROUP_INDENT = 3;       // extra indentation of a group's fields

std::uint16_t g_wPendingFnId = APPC_NO_FNID;

// Sizes of structures are summed without wrapping: huge counts saturate.
std::uint64_t SatAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t SatMul(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// Prints a structure text over the data; returns the bytes the structure describes, which may
// exceed wAvailable (missing fields count at their full size).
std::uint64_t PrintStructure(std::FILE* pOut, const char* pszText, std::size_t wTextLength,
                             const std::uint8_t* pbyData, std::uint64_t qwAvailable, int nIndent);

// Position of the ')' that closes the group opened at pszText[wOpen], or npos.
std::size_t MatchingClose(const char* pszText, std::size_t wLength, std::size_t wOpen) {
    int nDepth = 0;
    for (std::size_t w = wOpen; w < wLength; ++w) {
        if (pszText[w] == '(') {
            ++nDepth;
        } else if (pszText[w] == ')' && --nDepth == 0) {
            return w;
        }
    }
    return std::string::npos;
}

void PrintLabel(std::FILE* pOut, int nIndent, const char* pszLabel) {
    std::fprintf(pOut, "%-*s%s", nIndent + 1, "", pszLabel);
}

// Reads a value of byWidth bytes, least significant first; bytes beyond the message read as 0.
std::uint32_t ReadValue(const std::uint8_t* pbyData, std::uint64_t qwPresent,
                        std::uint8_t byWidth) {
    std::uint32_t dwValue = 0;
    for (std::uint8_t by = 0; by < byWidth && by < qwPresent; ++by) {
        dwValue |= static_cast<std::uint32_t>(pbyData[by]) << (8 * by);
    }
    return dwValue;
}

void PrintValue(std::FILE* pOut, const FieldType& type, std::uint32_t dwValue) {
    dwValue &= type.dwMask;
    switch (type.tClass) {
    case FieldClass::Character:
        std::fputc(DisplayChar(static_cast<std::uint8_t>(dwValue)), pOut);
        break;
    case FieldClass::SignedWord:
        // Int values print as the masked word, never negative: 0xFFFB shows as 65531.
        std::fprintf(pOut, type.pszFormat, static_cast<int>(dwValue));
        break;
    case FieldClass::Byte:
    case FieldClass::Word:
    case FieldClass::HexWord:
        std::fprintf(pOut, type.pszFormat, static_cast<unsigned>(dwValue));
        break;
    default:
        std::fprintf(pOut, type.pszFormat, static_cast<unsigned long>(dwValue));
        break;
    }
}

// Prints a string field of wCount bytes: its text up to the first zero, padded with blanks.
void PrintString(std::FILE* pOut, const std::uint8_t* pbyData, std::uint64_t qwPresent,
                 std::uint32_t dwCount) {
    const std::uint64_t qwLimit = std::min<std::uint64_t>(qwPresent, dwCount);
    std::uint64_t qwText = 0;
    while (qwText < qwLimit && pbyData[qwText] != 0) {
        ++qwText;
    }
    DisplayText(pOut, pbyData, static_cast<std::size_t>(qwText));
    for (std::uint64_t qw = qwText; qw < dwCount; ++qw) {
        std::fputc(' ', pOut);
    }
}

// Prints a group opened at pszText[wOpen]; returns its size and sets *pwNext past it.
std::uint64_t PrintGroup(std::FILE* pOut, const char* pszText, std::size_t wOpen,
                         std::size_t wClose, const std::uint8_t* pbyData, std::uint64_t qwAvailable,
                         int nIndent, std::size_t* pwNext) {
    std::size_t wDigits = 0;
    const std::uint32_t dwRepeat = RfcReadCount(pszText + wClose + 1, &wDigits);
    *pwNext = wClose + 1 + wDigits;
    const char* pszInner = pszText + wOpen + 1;
    const std::size_t wInner = wClose - wOpen - 1;
    const std::uint64_t qwOneSize = PrintStructure(nullptr, pszInner, wInner, nullptr, 0, 0);
    if (qwAvailable == 0) {
        return SatMul(qwOneSize, dwRepeat);
    }
    std::fprintf(pOut, "  ( %.*s )\n", static_cast<int>(wInner), pszInner);
    std::uint64_t qwUsed = 0;
    std::uint32_t dwDone = 0;
    // A repetition of size 0 would describe nothing, however often repeated.
    while (dwDone < dwRepeat && qwUsed < qwAvailable && qwOneSize > 0) {
        qwUsed = SatAdd(qwUsed, PrintStructure(pOut, pszInner, wInner, pbyData + qwUsed,
                                               qwAvailable - qwUsed, nIndent + APPC_GROUP_INDENT));
        ++dwDone;
    }
    return SatAdd(qwUsed, SatMul(qwOneSize, dwRepeat - dwDone));
}

std::uint64_t PrintStructure(std::FILE* pOut, const char* pszText, std::size_t wTextLength,
                             const std::uint8_t* pbyData, std::uint64_t qwAvailable, int nIndent) {
    std::uint64_t qwUsed = 0;
    std::size_t w = 0;
    while (w < wTextLength) {
        const FieldType* ptType = RfcFindFieldType(pszText[w]);
        if (ptType == nullptr) {
            ++w;
            continue;
        }
        const bool bPrint = qwUsed < qwAvailable;
        if (ptType->tClass == FieldClass::Group) {
            const std::size_t wClose = MatchingClose(pszText, wTextLength, w);
            if (wClose == std::string::npos) {
                if (bPrint) {
                    PrintLabel(pOut, nIndent, ptType->pszLabel);
                }
                ++w; // the scan goes on inside the unclosed group
                continue;
            }
            if (bPrint) {
                PrintLabel(pOut, nIndent, ptType->pszLabel);
            }
            std::size_t wNext = 0;
            qwUsed = SatAdd(qwUsed, PrintGroup(pOut, pszText, w, wClose,
                                               bPrint ? pbyData + qwUsed : nullptr,
                                               bPrint ? qwAvailable - qwUsed : 0, nIndent, &wNext));
            if (bPrint) {
                std::fputc('\n', pOut);
            }
            w = wNext;
            continue;
        }
        std::size_t wDigits = 0;
        // The digits of a count end before the group's ')' or the text's end.
        const std::uint32_t dwCount = RfcReadCount(pszText + w + 1, &wDigits);
        ++w;
        if (!bPrint) {
            qwUsed = SatAdd(qwUsed, SatMul(dwCount, ptType->byWidth));
            continue;
        }
        PrintLabel(pOut, nIndent, ptType->pszLabel);
        if (ptType->tClass == FieldClass::String) {
            PrintString(pOut, pbyData + qwUsed, qwAvailable - qwUsed, dwCount);
            qwUsed = SatAdd(qwUsed, dwCount);
        } else {
            std::uint32_t dw = 0;
            for (; dw < dwCount && qwUsed < qwAvailable; ++dw) {
                PrintValue(pOut, *ptType,
                           ReadValue(pbyData + qwUsed, qwAvailable - qwUsed, ptType->byWidth));
                qwUsed += ptType->byWidth;
            }
            // Values beyond the message are counted at their full size.
            qwUsed = SatAdd(qwUsed, SatMul(dwCount - dw, ptType->byWidth));
        }
        std::fputc('\n', pOut);
    }
    return qwUsed;
}

void PrintRestDump(std::FILE* pOut, const std::uint8_t* pbyData, std::size_t wFrom,
                   std::size_t wTo) {
    for (std::size_t wLine = wFrom; wLine < wTo; wLine += APPC_DUMP_LINE) {
        const std::size_t wEnd = std::min(wLine + APPC_DUMP_LINE, wTo);
        std::fprintf(pOut, "%03X:  ", static_cast<unsigned>(wLine));
        for (std::size_t w = wLine; w < wEnd; ++w) {
            std::fprintf(pOut, "%02X ", static_cast<unsigned>(pbyData[w]));
            if (w - wLine == 7) {
                std::fputs("- ", pOut);
            }
        }
        std::fputs("  ", pOut);
        for (std::size_t w = wLine; w < wEnd; ++w) {
            const std::uint8_t by = pbyData[w];
            std::fputc(by < 0x80 ? DisplayChar(by) : '.', pOut);
        }
        std::fputc('\n', pOut);
    }
}

} // namespace

char DisplayChar(std::uint8_t byValue) {
    return byValue < 0x20 || byValue == 0x7F ? '.' : static_cast<char>(byValue);
}

void DisplayText(std::FILE* pOut, const std::uint8_t* pbyText, std::size_t wLength) {
    for (std::size_t w = 0; w < wLength; ++w) {
        std::fputc(DisplayChar(pbyText[w]), pOut);
    }
}

const char* MsgTypeName(std::uint8_t byMsgType) {
    return byMsgType < g_apszMsgTypeNames.size() ? g_apszMsgTypeNames[byMsgType] : "TYPE";
}

void MsgDisplay(const char* pszStructure, std::uint8_t byMsgType, std::uint16_t wLength,
                const std::uint8_t* pbyData) {
    std::FILE* pOut = AppResponseStream();
    std::fprintf(pOut, "\n%s(%d) Message, %u bytes in length...\n", MsgTypeName(byMsgType),
                 static_cast<int>(byMsgType), static_cast<unsigned>(wLength));
    std::size_t wRemaining = pbyData != nullptr ? wLength : 0;
    const std::uint8_t* p = pbyData;
    const char* pszUse = pszStructure;
    if (wRemaining >= 2) {
        const std::uint16_t wFnId = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
        std::fprintf(pOut, "FnId    : 0x%04X", static_cast<unsigned>(wFnId));
        const FunctionRecord* ptRecord = FnTabFindByFnId(wFnId);
        if (ptRecord != nullptr) {
            const bool bRequest = byMsgType == APPC_MSG_RFS_REQUEST;
            const std::string& structure = bRequest ? ptRecord->request : ptRecord->response;
            std::fprintf(pOut, bRequest ? ",  %s,  InStruc={ %s }\n" : ",  %s,  OutStruc={ %s }\n",
                         ptRecord->name.c_str(), structure.c_str());
            if (pszUse == nullptr) {
                pszUse = structure.c_str();
            }
        } else {
            std::fputs("\n", pOut);
        }
        p += 2;
        wRemaining -= 2;
        if (wFnId == g_wPendingFnId) {
            g_wPendingFnId = APPC_NO_FNID;
        }
    }
    if (byMsgType == APPC_MSG_RFS_RESPONSE && wRemaining >= 2) {
        std::fprintf(pOut, "Error   : 0x%04X\n", static_cast<unsigned>(p[0] | (p[1] << 8)));
        p += 2;
        wRemaining -= 2;
    }
    std::uint64_t qwDescribed = 0;
    if (pszUse != nullptr) {
        qwDescribed = PrintStructure(pOut, pszUse, std::strlen(pszUse), p, wRemaining, 0);
        if (qwDescribed > wRemaining) {
            const std::uint64_t qwMissing = qwDescribed - wRemaining;
            std::fprintf(pOut, "There are ==> %d <== bytes missing in the message\n",
                         static_cast<int>(std::min<std::uint64_t>(qwMissing, INT_MAX)));
        }
    }
    if (qwDescribed < wRemaining) {
        std::fprintf(pOut, "Number of rest bytes: %u\n",
                     static_cast<unsigned>(wRemaining - qwDescribed));
        PrintRestDump(pOut, p, static_cast<std::size_t>(qwDescribed), wRemaining);
    }
    AppFlushResponseStream();
}

std::uint16_t MsgGenericHandler(std::uint8_t /*byChannelId*/, std::uint8_t byMsgType,
                                std::uint16_t wLength, const std::uint8_t* pbyData) {
    MsgDisplay(nullptr, byMsgType, wLength, pbyData);
    return APPC_CMD_DONE;
}

std::uint16_t GetPendingFnId() {
    return g_wPendingFnId;
}

void SetPendingFnId(std::uint16_t wFnId) {
    g_wPendingFnId = wFnId;
}
