// AppCmdArgs: what every command handler shares, wherever it lives: its type and results, and the
// reading of its arguments from the line being interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Results of TriggerRFC and of every command handler.
constexpr std::uint16_t APPC_CMD_DONE = 0;
constexpr std::uint16_t APPC_CMD_MORE = 1;
constexpr std::uint16_t APPC_CMD_ERROR = 2;

// A command handler: (line, link channel) -> APPC_CMD_DONE, _MORE (route the next line to me)
// or _ERROR.
using CmdHandler = std::uint16_t (*)(char* pszLine, std::uint8_t byChannel);

constexpr const char* APPC_SEPARATORS = " \t\r\n"; // separators of command arguments

// Next token after the separators at pszCursor (APPC_SEPARATORS); pszCursor moves past it.
// An empty view when the line has no more tokens.
std::string_view CmdNextToken(const char*& pszCursor);
// Unsigned number in decimal, "0x" hexadecimal or leading-zero octal notation, read up to the
// first character that does not belong to it; 0 when there is none; UINT32_MAX when too large.
std::uint32_t CmdParseUnsigned(std::string_view number);
// The same place as pszUpper in the line being interpreted, in the case the user typed it (file
// names keep their case). pszUpper itself when it does not point into that line.
const char* CmdTypedText(const char* pszUpper);

// Hands a line to the console interpreter as if it had been typed (a message of type 6 on the
// console channel), for the start-up line, scripts and timed calls. The interpreter reports
// what goes wrong with the line itself.
void CmdDeliverLine(const char* pszLine);

// The line being interpreted, upper case and as typed, with the same length; none when null.
struct CmdLineCopies {
    const std::string* upper = nullptr;
    const std::string* typed = nullptr;
};
// Makes line the one being interpreted and returns the one it replaces (a line may arrive while
// another one is handled: the interpreter puts that back afterwards).
CmdLineCopies CmdSetCurrentLine(CmdLineCopies line);
