// AppDecode: a received (or sent) message taken apart into its fields by the function's structure
// text, for every writer of messages (the text display, the JSON Lines file). Every byte, length
// and count of the message is untrusted: nothing is read beyond the message's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Application/AppFnTab.h"
#include "Application/AppStruct.h"

// One element of a structure text, as far as the message holds it.
struct MsgField {
    const FieldType* ptType = nullptr; // never nullptr in a decoded message
    std::uint32_t dwCount = 1;         // values (String: bytes) the structure gives the field
    bool bUnclosed = false;            // a '(' without its ')': only its label is shown
    std::vector<std::uint32_t> values; // masked values inside the message (not String, Group)
    std::string text;                  // String: its bytes up to the first zero, in the message
    std::string_view inner;            // Group: the structure text between its parentheses
    std::vector<std::vector<MsgField>> repetitions; // Group: the repetitions in the message
};

// A whole message: header words, fields and what the structure leaves over.
struct MsgDecoded {
    std::uint8_t byMsgType = 0;
    std::uint16_t wLength = 0;
    bool bHasFnId = false; // the message holds at least the two bytes of an FnId
    std::uint16_t wFnId = 0;
    const FunctionRecord* ptRecord = nullptr; // the FnId's function, or nullptr
    bool bHasError = false;                   // an RFS_RESPONSE with its error code word
    std::uint16_t wError = 0;
    const char* pszStructure = nullptr; // structure text applied, or nullptr for none
    std::vector<MsgField> fields;       // the fields the message holds
    std::uint64_t qwMissing = 0;        // bytes the structure describes beyond the message
    std::span<const std::uint8_t> body; // the bytes after the FnId and the error code
    std::size_t wDescribed = 0;         // leading bytes of the body the structure describes
    std::span<const std::uint8_t> Rest() const { return body.subspan(wDescribed); }
};

// Takes a message apart. pszStructure overrides the structure from the function table when not
// null. The result refers to pbyData and to the structure text: both must outlive it.
MsgDecoded MsgDecode(const char* pszStructure, std::uint8_t byMsgType, std::uint16_t wLength,
                     const std::uint8_t* pbyData);
