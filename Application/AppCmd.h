// AppCmd: the console command interpreter. Every operator line arrives as a TERMINAL_REQUEST
// from the console channel; built-in commands are matched by prefix, any other line is a call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Application/AppFnTab.h"

constexpr std::uint8_t APPC_TERMINAL_TYPE_DEFAULT = 6; // TERM strings go as TERMINAL_REQUEST
// Characters of one TERM string: with its zero byte it stays within a request message.
constexpr std::size_t APPC_TERM_STRING_MAX = APPC_REQUEST_BUFFER_SIZE - 1;

// Message handler for type 6: interprets one line (from channel 34) or prints it (other channels).
std::uint16_t CmdLineHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                             std::uint16_t wLength, const std::uint8_t* pbyData);
std::uint8_t CmdGetTerminalType(); // message type of TERM strings (6 initially)
// Name of the built-in command at this place of the command table; nullptr past its end.
const char* CmdCommandName(std::size_t wIndex);
// Ctrl-C: a command that waits for more lines (a call's arguments, a TERM string) is dropped
// with one line saying so and a new prompt; false when none waits.
bool CmdCancel();
// Ctrl-D on an empty line: EXIT, also while a command waits for more lines.
void CmdEndOfInput();
void CmdResetForTest(); // idle interpreter, initial settings
