// The field type table of the structure language and the reading of repeat counts.
#include "Application/AppStruct.h"

#include <array>

namespace {

constexpr std::array<FieldType, 12> g_atFieldTypeTable{{
    {'C', FieldClass::Character, 1, "Char     : ", "%c", 0xFF},
    {'B', FieldClass::Byte, 1, "BYTE     : ", "%u ", 0xFF},
    {'X', FieldClass::Byte, 1, "hexByte  : ", "%02X ", 0xFF},
    {'S', FieldClass::String, 1, "String   : ", "%s", 0xFF},
    {'I', FieldClass::SignedWord, 2, "Int      : ", "%d ", 0xFFFF},
    {'U', FieldClass::Word, 2, "UnitNr   : ", "%u ", 0xFFFF},
    {'P', FieldClass::Word, 2, "DelId    : ", "%u ", 0xFFFF},
    {'W', FieldClass::Word, 2, "WORD     : ", "%u ", 0xFFFF},
    {'H', FieldClass::HexWord, 2, "HexWord  : ", "%04X ", 0xFFFF},
    {'E', FieldClass::HexWord, 2, "ErrorCode: ", "%04X ", 0xFFFF},
    {'D', FieldClass::DoubleWord, 4, "DWORD    : ", "%lu ", 0xFFFFFFFF},
    {'(', FieldClass::Group, 0, "Structure ...", "", 0},
}};

} // namespace

const FieldType* StructFindFieldType(char cCode) {
    for (const FieldType& type : g_atFieldTypeTable) {
        if (type.cCode == cCode) {
            return &type;
        }
    }
    return nullptr;
}

std::uint32_t StructReadCount(const char* pszText, std::size_t* pwDigits) {
    std::uint32_t dwCount = 0;
    std::size_t wDigits = 0;
    while (pszText[wDigits] >= '0' && pszText[wDigits] <= '9') {
        const std::uint32_t dwDigit = static_cast<std::uint32_t>(pszText[wDigits] - '0');
        dwCount = dwCount > (APPC_MAX_FIELD_COUNT - dwDigit) / 10 ? APPC_MAX_FIELD_COUNT
                                                                  : dwCount * 10 + dwDigit;
        ++wDigits;
    }
    if (pwDigits != nullptr) {
        *pwDigits = wDigits;
    }
    return dwCount == 0 ? 1 : dwCount;
}
