// AppScript: the SCRIPT, REPEAT and RESFILE commands, the script task that feeds script lines to
// the interpreter one at a time, and the response file. A script file name may be as long as the
// platform's paths (PltPathMax); a longer one is refused.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t APPC_SCRIPT_LINE_SIZE = 2500; // characters of one script line

[[nodiscard]] std::uint16_t ScriptCommand(char* pszLine, std::uint8_t byChannel); // SCRIPT [<file>]
[[nodiscard]] std::uint16_t RepeatCommand(char* pszLine, std::uint8_t byChannel); // REPEAT [ON|OFF]
[[nodiscard]] std::uint16_t ResfileCommand(char* pszLine,
                                           std::uint8_t byChannel); // RESFILE [<file>]
void ScriptStop();         // removes the script task and closes the script file
void ScriptCloseResfile(); // closes the response file; displays go to standard output again

void ScriptProcess();   // one run of the script task (registered by SCRIPT, type 3)
bool ScriptIsRunning(); // a script file is open and its task registered
// Calendar clock in whole seconds for pauses and the response file's date; nullptr: the real one.
void ScriptSetClockForTest(std::uint32_t (*pfSeconds)());
void ScriptResetForTest(); // no script, repeat off, no pause, response file closed
