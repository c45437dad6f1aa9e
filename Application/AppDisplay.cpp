// Message display: the readable dump of every received message, field by field as the decoder
// took it apart by the function's structure text, with a hex dump of what the structure does not
// describe.
#include "Application/AppDisplay.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "Application/AppCmdArgs.h"
#include "Application/AppDecode.h"
#include "Application/AppFnTab.h"
#include "Application/AppStamp.h"
#include "Application/AppStreams.h"
#include "Application/AppStruct.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

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
std::uint32_t g_dwPendingSince = 0;
MsgReceiveObserver g_pfReceiveObserver = nullptr;

void PrintLabel(std::FILE* pOut, int nIndent, const char* pszLabel) {
    std::fprintf(pOut, "%-*s%s", nIndent + 1, "", pszLabel);
}

void PrintValue(std::FILE* pOut, const FieldType& type, std::uint32_t dwValue) {
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

// Prints a string field of dwCount bytes: its text up to the first zero, padded with blanks.
void PrintString(std::FILE* pOut, const std::string& text, std::uint32_t dwCount) {
    DisplayText(pOut, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    for (std::uint64_t qw = text.size(); qw < dwCount; ++qw) {
        std::fputc(' ', pOut);
    }
}

void PrintFields(std::FILE* pOut, const std::vector<MsgField>& fields, int nIndent) {
    for (const MsgField& field : fields) {
        PrintLabel(pOut, nIndent, field.ptType->pszLabel);
        if (field.bUnclosed) {
            continue; // the label alone: the fields inside follow on its line
        }
        if (field.ptType->tClass == FieldClass::Group) {
            std::fprintf(pOut, "  ( %.*s )\n", static_cast<int>(field.inner.size()),
                         field.inner.data());
            for (const std::vector<MsgField>& repetition : field.repetitions) {
                PrintFields(pOut, repetition, nIndent + APPC_GROUP_INDENT);
            }
        } else if (field.ptType->tClass == FieldClass::String) {
            PrintString(pOut, field.text, field.dwCount);
        } else {
            for (const std::uint32_t dwValue : field.values) {
                PrintValue(pOut, *field.ptType, dwValue);
            }
        }
        std::fputc('\n', pOut);
    }
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

// A message with the FnId a script waits for releases the script.
void ReleasePending(const MsgDecoded& decoded) {
    if (decoded.bHasFnId && decoded.wFnId == g_wPendingFnId) {
        g_wPendingFnId = APPC_NO_FNID;
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

void MsgWriteText(std::FILE* pOut, const MsgDecoded& decoded) {
    const std::uint8_t byMsgType = decoded.byMsgType;
    std::fprintf(pOut, "\n%s%s(%d) Message, %u bytes in length...\n", StampText(),
                 MsgTypeName(byMsgType), static_cast<int>(byMsgType),
                 static_cast<unsigned>(decoded.wLength));
    if (decoded.bHasFnId) {
        std::fprintf(pOut, "FnId    : 0x%04X", static_cast<unsigned>(decoded.wFnId));
        const FunctionRecord* ptRecord = decoded.ptRecord;
        if (ptRecord != nullptr) {
            const bool bRequest = byMsgType == MDSC_MSG_RFS_REQUEST;
            const std::string& structure = bRequest ? ptRecord->request : ptRecord->response;
            std::fprintf(pOut, bRequest ? ",  %s,  InStruc={ %s }\n" : ",  %s,  OutStruc={ %s }\n",
                         ptRecord->name.c_str(), structure.c_str());
        } else {
            std::fputs("\n", pOut);
        }
    }
    if (decoded.bHasError) {
        std::fprintf(pOut, "Error   : 0x%04X\n", static_cast<unsigned>(decoded.wError));
    }
    if (decoded.pszStructure != nullptr) {
        PrintFields(pOut, decoded.fields, 0);
        if (decoded.qwMissing > 0) {
            std::fprintf(pOut, "There are ==> %d <== bytes missing in the message\n",
                         static_cast<int>(std::min<std::uint64_t>(decoded.qwMissing, INT_MAX)));
        }
    }
    if (decoded.wDescribed < decoded.body.size()) {
        std::fprintf(pOut, "Number of rest bytes: %u\n",
                     static_cast<unsigned>(decoded.body.size() - decoded.wDescribed));
        PrintRestDump(pOut, decoded.body.data(), decoded.wDescribed, decoded.body.size());
    }
    AppFlushResponseStream();
}

void MsgDisplay(const char* pszStructure, std::uint8_t byMsgType, std::uint16_t wLength,
                const std::uint8_t* pbyData) {
    const MsgDecoded decoded = MsgDecode(pszStructure, byMsgType, wLength, pbyData);
    MsgWriteText(AppResponseStream(), decoded);
    ReleasePending(decoded);
}

std::uint16_t MsgGenericHandler(std::uint8_t /*byChannelId*/, std::uint8_t byMsgType,
                                std::uint16_t wLength, const std::uint8_t* pbyData) {
    const MsgDecoded decoded = MsgDecode(nullptr, byMsgType, wLength, pbyData);
    MsgWriteText(AppResponseStream(), decoded);
    if (g_pfReceiveObserver != nullptr) {
        g_pfReceiveObserver(decoded);
    }
    ReleasePending(decoded);
    return APPC_CMD_DONE;
}

void MsgSetReceiveObserver(MsgReceiveObserver pfObserver) {
    g_pfReceiveObserver = pfObserver;
}

std::uint16_t GetPendingFnId() {
    return g_wPendingFnId;
}

void SetPendingFnId(std::uint16_t wFnId) {
    g_wPendingFnId = wFnId;
    g_dwPendingSince = OssGetTime();
}

std::uint32_t GetPendingSince() {
    return g_dwPendingSince;
}
