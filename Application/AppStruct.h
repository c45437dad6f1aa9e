// AppStruct: the structure language of the definition files: the type codes of the fields, their
// classes and widths, and the repeat counts after a code or a group. Used by the call encoding and
// by the decoding of messages alike.
#pragma once

#include <cstddef>
#include <cstdint>

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

const FieldType* StructFindFieldType(char cCode); // table entry of a type code, nullptr for others
// Reads the decimal count written at pszText (none or 0 gives 1, saturated at
// APPC_MAX_FIELD_COUNT); *pwDigits receives the number of digit characters read.
std::uint32_t StructReadCount(const char* pszText, std::size_t* pwDigits);
