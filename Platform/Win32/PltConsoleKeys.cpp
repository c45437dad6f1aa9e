// Virtual key codes of the Windows console mapped to terminal key sequences.
#include "Platform/Win32/PltConsoleKeys.h"

namespace {

// Virtual key codes (winuser.h), kept here so that the mapping needs no system header.
constexpr std::uint16_t kVkBack = 0x08;
constexpr std::uint16_t kVkTab = 0x09;
constexpr std::uint16_t kVkReturn = 0x0D;
constexpr std::uint16_t kVkEscape = 0x1B;
constexpr std::uint16_t kVkEnd = 0x23;
constexpr std::uint16_t kVkHome = 0x24;
constexpr std::uint16_t kVkLeft = 0x25;
constexpr std::uint16_t kVkUp = 0x26;
constexpr std::uint16_t kVkRight = 0x27;
constexpr std::uint16_t kVkDown = 0x28;
constexpr std::uint16_t kVkDelete = 0x2E;
constexpr std::uint16_t kVkA = 0x41;
constexpr std::uint16_t kVkZ = 0x5A;

} // namespace

std::string PltWin32KeySequence(std::uint16_t wVirtualKey, char cChar,
                                std::uint32_t dwControlState) {
    switch (wVirtualKey) {
    case kVkUp:
        return "\x1b[A";
    case kVkDown:
        return "\x1b[B";
    case kVkRight:
        return "\x1b[C";
    case kVkLeft:
        return "\x1b[D";
    case kVkHome:
        return "\x1b[H";
    case kVkEnd:
        return "\x1b[F";
    case kVkDelete:
        return "\x1b[3~";
    case kVkBack:
        return "\b";
    case kVkTab:
        return "\t";
    case kVkReturn:
        return "\r";
    case kVkEscape:
        return ""; // a lone Escape edits nothing
    default:
        break;
    }
    const bool bCtrl = (dwControlState & (PLTC_WIN32_LEFT_CTRL | PLTC_WIN32_RIGHT_CTRL)) != 0;
    if (bCtrl && wVirtualKey >= kVkA && wVirtualKey <= kVkZ && (cChar == 0 || cChar >= ' ')) {
        // Ctrl and a letter: its control code, also where the console left the character out.
        return std::string(1, static_cast<char>(wVirtualKey - kVkA + 1));
    }
    if (cChar == 0 || cChar == '\x1b') {
        return "";
    }
    return std::string(1, cChar);
}
