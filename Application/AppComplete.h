// AppComplete: the application's part of the console's line editing: what Tab completes and
// hints, what Ctrl-C and Ctrl-D end, and where the history is kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Runtime/TrmEdit.h"

// Registers the completer and the key handlers with the console and opens the history file.
void AppConsoleSetUp();

// The word that ends at the cursor: the first word from the built-in commands and the function
// names; after PROTOCOL its sub-commands; after SCRIPT and RESFILE file names. After a function
// name the hint is the function's request structure. Case-insensitive.
void AppComplete(std::string_view line, std::uint16_t wCursor, TrmCompletion& completion);

// $TALVO_RC_HISTORY when set (empty: no file), else .talvo_rc_history in the home directory.
std::string AppHistoryPath();
