#include "Platform/Win32/PltConsoleKeys.h"

#include <gtest/gtest.h>

namespace {

TEST(PltConsoleKeysWin32Test, EditingKeysBecomeTerminalSequences) {
    EXPECT_EQ("\x1b[A", PltWin32KeySequence(0x26, 0, 0));  // VK_UP
    EXPECT_EQ("\x1b[B", PltWin32KeySequence(0x28, 0, 0));  // VK_DOWN
    EXPECT_EQ("\x1b[C", PltWin32KeySequence(0x27, 0, 0));  // VK_RIGHT
    EXPECT_EQ("\x1b[D", PltWin32KeySequence(0x25, 0, 0));  // VK_LEFT
    EXPECT_EQ("\x1b[H", PltWin32KeySequence(0x24, 0, 0));  // VK_HOME
    EXPECT_EQ("\x1b[F", PltWin32KeySequence(0x23, 0, 0));  // VK_END
    EXPECT_EQ("\x1b[3~", PltWin32KeySequence(0x2E, 0, 0)); // VK_DELETE
    EXPECT_EQ("\b", PltWin32KeySequence(0x08, '\b', 0));
    EXPECT_EQ("\t", PltWin32KeySequence(0x09, '\t', 0));
    EXPECT_EQ("\r", PltWin32KeySequence(0x0D, '\r', 0));
}

TEST(PltConsoleKeysWin32Test, CharactersAndControlLettersPassAndOtherKeysGiveNothing) {
    EXPECT_EQ("a", PltWin32KeySequence(0x41, 'a', 0));
    EXPECT_EQ("A", PltWin32KeySequence(0x41, 'A', 0x0010)); // Shift
    EXPECT_EQ("\x01", PltWin32KeySequence(0x41, 1, PLTC_WIN32_LEFT_CTRL));
    // Ctrl-W where the console reports no character.
    EXPECT_EQ("\x17", PltWin32KeySequence(0x57, 0, PLTC_WIN32_RIGHT_CTRL));
    EXPECT_EQ("", PltWin32KeySequence(0x1B, '\x1b', 0)); // Escape alone edits nothing
    EXPECT_EQ("", PltWin32KeySequence(0x10, 0, 0));      // Shift alone
    EXPECT_EQ("", PltWin32KeySequence(0x70, 0, 0));      // F1
}

} // namespace
