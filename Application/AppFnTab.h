// AppFnTab: the definition files and the function table built from them, sorted by name and
// indexed by FnId; owns the request message buffer in which calls are built.
#pragma once

#include <cstdint>
#include <span>
#include <string>

constexpr std::uint16_t APPC_MAX_FUNCTIONS = 510;      // records in the function table
constexpr std::size_t APPC_REQUEST_BUFFER_SIZE = 5000; // bytes of the request message buffer
constexpr std::uint16_t APPC_NO_FNID = 0xFFFF;         // "no function"
constexpr std::uint8_t APPC_SECTION_REQUEST = 3;       // REQUEST section (sent as RFS_REQUEST)
constexpr std::uint8_t APPC_SECTION_UPDATE = 5;        // UPDATE section (sent as PC_NOTIFY)

// Load results.
constexpr std::uint16_t APPC_LOAD_OK = 0;
constexpr std::uint16_t APPC_LOAD_FORMAT = 1;
constexpr std::uint16_t APPC_LOAD_NOT_FOUND = 2;
constexpr std::uint16_t APPC_LOAD_ALLOCATION = 3;

struct FunctionRecord {
    std::string name;        // upper case
    std::uint16_t wFnId = 0; // never 0
    std::uint8_t bySectionKind = APPC_SECTION_REQUEST;
    std::string request;  // structure text of what is sent, upper case
    std::string response; // structure text of the answer (UPDATE: same as request)
};

// Loads "main[;extended]" and prints progress and errors on the console. Returns APPC_LOAD_*.
[[nodiscard]] std::uint16_t FnTabLoad(const char* pszFileList);
const FunctionRecord* FnTabFindByName(const char* pszName); // binary search by name
const FunctionRecord* FnTabFindByFnId(std::uint16_t wFnId); // binary search by FnId
std::uint16_t FnTabCount();                                 // records in the table
const FunctionRecord* FnTabAt(std::uint16_t wPosition);     // record by table position, or nullptr
std::span<std::uint8_t> FnTabRequestBuffer();               // empty until a load succeeded
void FnTabRelease();                                        // frees the table and the buffer
// Called whenever the table and the request buffer are loaded anew or released: whatever refers
// to them (the call under construction) lets go of them first. nullptr: none.
using FnTabReleaseHook = void (*)();
void FnTabSetReleaseHook(FnTabReleaseHook pfHook);
