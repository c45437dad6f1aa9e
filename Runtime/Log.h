// Log: the event log. Modules report failures and warnings as time-stamped text records; the
// sink keeps the last LOGC_KEPT_RECORDS of them for LOG VIEW and, while logging is switched on
// with -L or LOG ON, prints each new record through the output route.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t LOGC_RECORD_SIZE = 256; // bytes of one record, terminating zero included
constexpr std::size_t LOGC_FILTER_SIZE = 150; // bytes of the filter text, terminating zero included
constexpr std::size_t LOGC_FILTER_ENTRY = 3;  // two code characters and a blank
constexpr std::size_t LOGC_KEPT_RECORDS = 100;  // records the sink keeps for LogReadEntry
constexpr std::uint16_t LOGC_KIND_ERROR = 2;    // sink kind of an E record
constexpr std::uint16_t LOGC_KIND_WARNING = 1;  // sink kind of a W record
constexpr std::uint16_t LOGC_READ_FIRST = 3;    // LogReadEntry mode: oldest kept record
constexpr std::uint16_t LOGC_READ_NEXT = 2;     // LogReadEntry mode: the record after the last read
constexpr std::uint8_t LOGC_FILTER_OFF = 0;     // filter mode after logging was turned off
constexpr std::uint8_t LOGC_FILTER_ON = 1;      // filter mode after logging was turned on
constexpr std::uint8_t LOGC_FILTER_MODULES = 2; // filter mode once a module code was changed

// Prints one record text on the output route; result unused.
using LogPrintFunction = int (*)(const char* pszText);

[[nodiscard]] std::uint16_t LogInit();      // switches on, filter mode 1; second call: no change
[[nodiscard]] std::uint16_t LogTerminate(); // switches off; records are dropped afterwards

// Builds an E (LogError) or W (LogWarning) record "name : 0xcode;text" and hands it to the sink.
void LogError(const char* pszName, std::uint16_t wCode, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void LogWarning(const char* pszName, std::uint16_t wCode, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

std::uint8_t LogEnable(std::uint8_t bOn);         // master switch; returns it
std::uint8_t LogEnableErrors(std::uint8_t bOn);   // E switch; 1 when master and flag are set
std::uint8_t LogEnableWarnings(std::uint8_t bOn); // W switch; 1 when master and flag are set

// Empty code: logging on/off (filter mode 1/0, filter text emptied, console echo on/off).
// Otherwise adds (on) or removes (off) the code's two-character entry. Returns master && on.
std::uint8_t LogSetFilter(std::uint8_t bOn, const char* pszModule);
// Position of the module code's entry in the filter text, or -1.
int LogFindFilter(const char* pszModule);
// Copies the filter text (at least LOGC_FILTER_SIZE bytes) and returns the filter mode.
std::uint8_t LogGetFilter(char* pszFilter);

[[nodiscard]] std::uint16_t LogSetRoute(std::uint8_t byChannelId, LogPrintFunction pfPrint);

// Copies a kept record into pszText (LOGC_RECORD_SIZE bytes): mode 3 the oldest, mode 2 the next.
// Returns 0 when a record was given, 1 when there is none (more).
[[nodiscard]] std::uint16_t LogReadEntry(std::uint16_t wMode, char* pszText);

// Receives each finished record: keeps it and echoes it while logging is switched on.
void LogSink(std::uint16_t wKind, const char* pszText, std::uint16_t wLength);

// Writes "\r\n%10lu %c %s : 0x%04x;" bounded by wSize; returns the characters written.
std::size_t LogFormatPrefix(char* pszBuffer, std::size_t wSize, char cKind, const char* pszName,
                            std::uint16_t wCode);

// One failed precondition check. The line "Assertion failed: <condition>, file <file>, line <n>"
// is kept as an error record (LOG VIEW shows it) and printed once through the output route: as
// the record's echo while logging is on, else on its own. Before a route is set (unit tests) it
// prints nothing. The caller carries on as it decides; returns bHolds.
bool LogCheck(bool bHolds, const char* pszCondition, const char* pszFile, int nLine);
// The one check of every module: LOG_CHECK(condition) names the condition as written;
// LOG_CHECK_TEXT gives the text and the file to report where those are fixed by the interface.
#define LOG_CHECK(condition) LogCheck((condition), #condition, __FILE__, __LINE__)
#define LOG_CHECK_TEXT(condition, text, file) LogCheck((condition), (text), (file), __LINE__)

// Forgets all kept records and the route (test set-up only).
void LogResetForTest();
