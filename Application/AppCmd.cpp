// Console command interpreter: the command table, the built-in commands EXIT, HELP, LOG,
// TERMTYPE, TERM, MSGTYPE, PFNID, LOADDB[S], and the prompt.
#include "Application/AppCmd.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "Application/AppCmdArgs.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppProtocol.h"
#include "Application/AppRfc.h"
#include "Application/AppScript.h"
#include "Application/AppStreams.h"
#include "Application/AppTfc.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trm.h"

namespace {

constexpr const char* APPC_PROMPT = "\nFunction ==> ";
constexpr const char* APPC_PROMPT_LINE = "Function ==> "; // what stands on the screen line
constexpr const char* APPC_TERM_PROMPT = "Terminal Command: ";
constexpr const char* APPC_ERROR_LINE = "Error in last function . . . . . . .";
constexpr const char* APPC_HELP_TEXT =
    "Commands present in the system:\n"
    "   EXIT              : Leave program\n"
    "   LOG <ON>|<OFF>    : turn local logging on/off\n"
    "   TERM     <S80>    : Enter terminal string\n"
    "   TERMTYPE <typeNr> : Set terminal type number\n"
    "   MSGTYPE  <type>   : Set Message type: REQ or RSP. Default is REQuest\n"
    // "tekst" and "Procotol manupilation" below are the help text as operators know it: kept.
    "   HELP              : This tekst\n"
    "   SCRIPT <Filename> : Run a scriptfile to generate remote function calls\n"
    "   REPEAT <ON|OFF>   : Set repeating of a script file On or Off(=def.)\n"
    "   RESFILE [<Name>]  : Use file <Name> to write response to. Default Stdout\n"
    "   PFNID             : Show FnId waiting for responce (script)\n"
    "   TFC <sec> <FnId [args] >\n"
    "                     : Insert a TimedFunctionCall. Use TFC without params\n"
    "                     : to stop the Timed function.\n"
    "   LOADDB[S] <file>  : import names and transmit to TALVO.\n"
    "   PROTOCOL ....     : Procotol manupilation (PROTOCOL HELP for information).\n"
    "\n"
    " All other commands are assumed to be remote functions, defined in\n"
    " the definition file.\n";

CmdHandler currentHandler = nullptr; // handler that asked for the next line, or none
std::uint8_t terminalType = APPC_TERMINAL_TYPE_DEFAULT;
bool termWaiting = false; // TERM printed its prompt and takes the next line whole
bool exitCalled = false;  // EXIT ran for the line being interpreted: no prompt follows

std::FILE* Con() {
    return AppConsole();
}

std::uint16_t ExitCommand(char* /*pszLine*/, std::uint8_t /*byChannel*/) {
    OssExit(0);
    exitCalled = true;
    return APPC_CMD_DONE;
}

std::uint16_t HelpCommand(char* /*pszLine*/, std::uint8_t /*byChannel*/) {
    std::fputs(APPC_HELP_TEXT, Con());
    return APPC_CMD_DONE;
}

std::uint16_t LogCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const char* cursor = pszLine;
    CmdNextToken(cursor);
    const std::string_view argument = CmdNextToken(cursor);
    if (argument.empty()) {
        return APPC_CMD_ERROR;
    }
    if (argument == "VIEW") {
        std::array<char, LOGC_RECORD_SIZE> record{};
        std::uint16_t mode = LOGC_READ_FIRST;
        while (LogReadEntry(mode, record.data()) == 0) {
            std::fprintf(Con(), "%s\n", record.data());
            mode = LOGC_READ_NEXT;
        }
    } else if (argument == "ON") {
        LogSetFilter(1, "");
        std::fprintf(Con(), "Logging is turned %s\n", "ON");
    } else {
        LogSetFilter(0, "");
        std::fprintf(Con(), "Logging is turned %s\n", "OFF");
    }
    return APPC_CMD_DONE;
}

std::uint16_t TermTypeCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const char* cursor = pszLine;
    const std::string_view word = CmdNextToken(cursor);
    const std::string_view argument = CmdNextToken(cursor);
    if (argument.empty()) {
        std::fprintf(Con(), "Usage: %.*s <Type number>\n", static_cast<int>(word.size()),
                     word.data());
        return APPC_CMD_ERROR;
    }
    terminalType = static_cast<std::uint8_t>(CmdParseUnsigned(argument) & 0xFFu);
    std::fprintf(Con(), "Terminal type set to value: %u\n", static_cast<unsigned>(terminalType));
    return APPC_CMD_DONE;
}

std::uint16_t TermCommand(char* pszLine, std::uint8_t byChannel) {
    const char* text = nullptr;
    if (!termWaiting) {
        const char* blank = std::strchr(pszLine, ' ');
        if (blank != nullptr) {
            while (*blank == ' ') {
                ++blank;
            }
            if (*blank != '\0') {
                text = blank;
            }
        }
        if (text == nullptr) {
            termWaiting = true;
            std::fputs(APPC_TERM_PROMPT, Con());
            TrmSetPrompt(APPC_TERM_PROMPT);
            return APPC_CMD_MORE;
        }
    } else {
        text = pszLine;
        termWaiting = false;
    }
    const std::size_t length = std::strlen(text);
    if (length > APPC_TERM_STRING_MAX) {
        std::fprintf(Con(), "Terminal string longer than %zu characters\n", APPC_TERM_STRING_MAX);
        return APPC_CMD_ERROR;
    }
    // The terminating zero byte is part of the message.
    const std::uint16_t wStatus =
        MdsExecuteResponseHandler(byChannel, terminalType, static_cast<std::uint16_t>(length + 1),
                                  reinterpret_cast<const std::uint8_t*>(text));
    if (wStatus != 0) {
        LogError("TermCommand", wStatus, "Execution error");
    }
    return APPC_CMD_DONE;
}

std::uint16_t MsgTypeCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const char* cursor = pszLine;
    CmdNextToken(cursor);
    const std::string_view argument = CmdNextToken(cursor);
    if (argument == "REQ") {
        RfcSetRequestMode(APPC_REQUEST_MODE_REQ);
    } else if (argument == "RSP") {
        RfcSetRequestMode(APPC_REQUEST_MODE_RSP);
    } else {
        return APPC_CMD_ERROR;
    }
    return APPC_CMD_DONE;
}

std::uint16_t PendingFnIdCommand(char* /*pszLine*/, std::uint8_t /*byChannel*/) {
    const std::uint16_t fnId = GetPendingFnId();
    std::fprintf(Con(), "Current Pending Fnid = 0x%04X", static_cast<unsigned>(fnId));
    const FunctionRecord* record = FnTabFindByFnId(fnId);
    if (record != nullptr) {
        std::fprintf(Con(), ",  %s\n", record->name.c_str());
    } else {
        std::fputs("\n", Con());
    }
    return APPC_CMD_DONE;
}

// The function table is loaded once at start-up; these commands accept their line and do nothing.
std::uint16_t LoadDbCommand(char* /*pszLine*/, std::uint8_t /*byChannel*/) {
    return APPC_CMD_DONE;
}

struct CommandEntry {
    const char* pszName; // nullptr: the last entry, matching every line
    CmdHandler pfHandler;
};

// Matched in this order by the line's first characters: TERMTYPE before TERM, LOADDB before
// LOADDBS (which the LOADDB entry therefore takes).
const std::array<CommandEntry, 15> CommandTable{{
    {"EXIT", ExitCommand},
    {"HELP", HelpCommand},
    {"LOG", LogCommand},
    {"TERMTYPE", TermTypeCommand},
    {"TERM", TermCommand},
    {"MSGTYPE", MsgTypeCommand},
    {"SCRIPT", ScriptCommand},
    {"REPEAT", RepeatCommand},
    {"RESFILE", ResfileCommand},
    {"PFNID", PendingFnIdCommand},
    {"TFC", TfcCommand},
    {"LOADDB", LoadDbCommand},
    {"LOADDBS", LoadDbCommand},
    {"PROTOCOL", ProtocolCommand},
    {nullptr, TriggerRFC},
}};

// A line whose first word is the exact name of a loaded function calls it: a function named
// LOGFULL or TERMINATE is never hidden by the command its name begins with.
bool NamesFunction(const char* pszLine) {
    const char* cursor = pszLine;
    const std::string_view word = CmdNextToken(cursor);
    return !word.empty() && FnTabFindByName(std::string(word).c_str()) != nullptr;
}

CmdHandler FindCommand(const char* pszLine) {
    if (NamesFunction(pszLine)) {
        return TriggerRFC;
    }
    for (const CommandEntry& entry : CommandTable) {
        if (entry.pszName == nullptr ||
            std::strncmp(pszLine, entry.pszName, std::strlen(entry.pszName)) == 0) {
            return entry.pfHandler;
        }
    }
    return TriggerRFC;
}

// Back to the idle interpreter: no continuing handler, no call under construction.
void EndCommand() {
    currentHandler = nullptr;
    termWaiting = false;
    RfcReset();
}

void FlushOutput() {
    AppFlushStreams();
}

void PrintPrompt() {
    std::fputs(APPC_PROMPT, Con());
    TrmSetPrompt(APPC_PROMPT_LINE);
}

std::uint16_t InterpretLine(std::uint16_t wLength, const std::uint8_t* pbyData) {
    std::fputs("\n", Con());
    // The caller's data stay untouched: the interpreter works on its own copies, one upper case
    // for matching and one as typed for file names.
    const std::string typed(reinterpret_cast<const char*>(pbyData), wLength);
    std::string upper(typed);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const CmdLineCopies outerLine = CmdSetCurrentLine(CmdLineCopies{&upper, &typed});

    char* line = upper.data();
    while (*line != '\0' && std::isspace(static_cast<unsigned char>(*line))) {
        ++line;
    }
    if (currentHandler == nullptr) {
        currentHandler = FindCommand(line);
    }
    exitCalled = false;
    const std::uint16_t result = currentHandler(line, AppLinkChannel());
    CmdSetCurrentLine(outerLine);
    return result;
}

} // namespace

std::uint16_t CmdLineHandler(std::uint8_t byChannelId, std::uint8_t /*byMsgType*/,
                             std::uint16_t wLength, const std::uint8_t* pbyData) {
    if (pbyData == nullptr) {
        wLength = 0;
    }
    if (byChannelId != MDSC_TERMINAL_CHANNEL) {
        // A line from elsewhere is shown, not executed: up to its first zero byte, padded to its
        // length, with its control characters made harmless.
        std::size_t text = 0;
        while (text < wLength && pbyData[text] != 0) {
            ++text;
        }
        DisplayText(Con(), pbyData, text);
        for (std::size_t pad = text; pad < wLength; ++pad) {
            std::fputc(' ', Con());
        }
        std::fputc('\n', Con());
        FlushOutput();
        return 0;
    }
    if (wLength != 0) {
        const std::uint16_t result = InterpretLine(wLength, pbyData);
        if (exitCalled) {
            exitCalled = false;
            EndCommand();
            FlushOutput();
            return 0;
        }
        if (result != APPC_CMD_DONE && result != APPC_CMD_ERROR) {
            FlushOutput();
            return 0; // the handler stays current and takes the next line
        }
        if (result == APPC_CMD_ERROR) {
            std::fputs(APPC_ERROR_LINE, Con());
        }
    }
    PrintPrompt();
    EndCommand();
    FlushOutput();
    return 0;
}

const char* CmdCommandName(std::size_t wIndex) {
    return wIndex < CommandTable.size() ? CommandTable[wIndex].pszName : nullptr;
}

bool CmdCancel() {
    if (currentHandler == nullptr) {
        return false;
    }
    std::fputs("\nCancelled, nothing sent", Con());
    PrintPrompt();
    EndCommand();
    FlushOutput();
    return true;
}

void CmdEndOfInput() {
    EndCommand(); // a call waiting for more gets nothing: EXIT is a command of its own here
    static constexpr char APPC_EXIT_WORD[] = "EXIT";
    std::fputs(APPC_EXIT_WORD, Con());
    CmdLineHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST, sizeof APPC_EXIT_WORD - 1,
                   reinterpret_cast<const std::uint8_t*>(APPC_EXIT_WORD));
}

std::uint8_t CmdGetTerminalType() {
    return terminalType;
}

void CmdResetForTest() {
    currentHandler = nullptr;
    terminalType = APPC_TERMINAL_TYPE_DEFAULT;
    termWaiting = false;
    exitCalled = false;
    CmdSetCurrentLine(CmdLineCopies{});
}
