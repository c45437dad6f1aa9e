// Keys of the Windows console as the bytes a terminal sends for them: the console's key events
// carry virtual key codes, the line editor reads terminal key sequences.
#pragma once

#include <cstdint>
#include <string>

// Key-state bits of a console key event (dwControlKeyState).
constexpr std::uint32_t PLTC_WIN32_RIGHT_CTRL = 0x0004;
constexpr std::uint32_t PLTC_WIN32_LEFT_CTRL = 0x0008;

// The bytes for one press of the key with virtual key code wVirtualKey, character cChar (0 for
// none) and key state dwControlState; empty for keys that give nothing (Shift alone, Escape, F1).
std::string PltWin32KeySequence(std::uint16_t wVirtualKey, char cChar,
                                std::uint32_t dwControlState);
