// AppCmd: the console command interpreter. Every operator line arrives as a TERMINAL_REQUEST
// from the console channel; built-in commands are matched by prefix, any other line is a call.
#pragma once

#include <cstdint>

// A command handler: (line, link channel) -> APPC_CMD_DONE, _MORE (route the next line to me)
// or _ERROR.
using CmdHandler = std::uint16_t (*)(char* pszLine, std::uint8_t byChannel);

// Message handler for type 6: interprets one line (from channel 34) or prints it (other channels).
std::uint16_t CmdLineHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                             std::uint16_t wLength, const std::uint8_t* pbyData);
std::uint8_t CmdGetTerminalType(); // message type of TERM strings (6 initially)
void CmdResetForTest();            // idle interpreter, initial settings
