// AppTrace: the application's side of the link trace. Opens the capture file of -C (or the
// simulator's --capture) and writes into it, as its first record, the function table in force,
// so that the capture decodes on any machine without the definition file.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* APPC_TRACE_TABLE_MAGIC = "TALVO-FNTAB"; // first word of the table record
constexpr std::uint16_t APPC_TRACE_TABLE_VERSION = 1;

// The table record's text: a first line "TALVO-FNTAB 1 <program>", then one line per function:
// FnId (0x%04X), section kind (3 or 5), name, request and response structure, separated by tabs.
// Control characters of the texts are written as blanks.
std::string AppTraceTableText(const char* pszProgram);
// Opens the capture file and writes the table record. 0, or 1 after printing
// "Cannot open capture file: <path>" on the console.
[[nodiscard]] std::uint16_t AppTraceOpen(const char* pszPath, const char* pszProgram);
