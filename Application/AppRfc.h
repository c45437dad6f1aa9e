// AppRfc: the structure language and the encoding of a typed remote function call into the
// request message, which is handed to the link's channel.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint8_t APPC_REQUEST_MODE_REQ = 3;    // calls go as RFS_REQUEST (default)
constexpr std::uint8_t APPC_REQUEST_MODE_RSP = 4;    // calls go as RFS_RESPONSE, error code first
constexpr std::size_t APPC_EXPANDED_SIZE = 2500;     // characters of the expanded structure text
constexpr std::size_t APPC_RESPONSE_MODE_SIZE = 256; // characters of the response-mode text

// Results of TriggerRFC and of every command handler.
constexpr std::uint16_t APPC_CMD_DONE = 0;
constexpr std::uint16_t APPC_CMD_MORE = 1;
constexpr std::uint16_t APPC_CMD_ERROR = 2;

// Encodes pszLine (upper case, leading white space removed) as a call, or as more parameters of
// the call under construction, and sends it on byChannel. Returns APPC_CMD_*.
std::uint16_t TriggerRFC(char* pszLine, std::uint8_t byChannel);
void RfcReset();                             // no call under construction
void RfcSetRequestMode(std::uint8_t byMode); // APPC_REQUEST_MODE_REQ or _RSP
std::uint8_t RfcGetRequestMode();
// Called with every finished call handed to the link: its message type and bytes, and whether the
// link took it (true) or refused it; nullptr: none.
using RfcSendObserver = void (*)(std::uint8_t byMsgType, std::uint16_t wLength,
                                 const std::uint8_t* pbyData, bool bSent);
void RfcSetSendObserver(RfcSendObserver pfObserver);
// Option -K: the arguments of string (S) and character (C) fields keep the case they were typed
// in; without it they are sent upper case like the rest of the line.
void RfcSetKeepCase(bool bKeep);

// Field classes of the structure language's type codes.
enum class FieldClass : std::uint8_t {
    Character = 0,  // C: one character per value
    Byte = 1,       // B, X
    String = 2,     // S: the count is the field's length in bytes
    SignedWord = 3, // I
    Word = 4,       // U, P, W
    HexWord = 5,    // H, E
    DoubleWord = 6, // D
    Group = 7,      // '(' ... ')' with an optional repeat count
};

// One entry of the field type table: code, class, width in bytes, display label, value format
// and mask.
struct FieldType {
    char cCode;
    FieldClass tClass;
    std::uint8_t byWidth;
    const char* pszLabel;
    const char* pszFormat;
    std::uint32_t dwMask;
};

constexpr std::uint32_t APPC_MAX_FIELD_COUNT = 1000000; // counts above this read as this value

const FieldType* RfcFindFieldType(char cCode); // table entry of a type code, nullptr for others
// Reads the decimal count written at pszText (none or 0 gives 1, saturated at
// APPC_MAX_FIELD_COUNT); *pwDigits receives the number of digit characters read.
std::uint32_t RfcReadCount(const char* pszText, std::size_t* pwDigits);
