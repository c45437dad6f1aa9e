// TrmEdit: the line editor of the console at a terminal. Keys come in one byte at a time (terminal
// escape sequences included), the screen bytes that show the prompt and the line go out through a
// writer; the editor does no I/O of its own. It keeps the line with its cursor, the history of
// earlier lines, asks a completer for the word under the cursor, and hides and draws the line
// again around output that arrives while a line is partly typed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::uint16_t TRMC_EDIT_LINE_MAX = 199;    // characters of one line
constexpr std::uint16_t TRMC_HISTORY_MAX = 1000;     // lines kept in the history
constexpr std::uint16_t TRMC_EDIT_DEFAULT_COLS = 80; // screen width when none is known
constexpr std::uint8_t TRMC_EDIT_KEY_ESCAPE = 27;    // starts a key sequence
constexpr std::uint16_t TRMC_EDIT_PROMPT_MAX = 120;  // characters of a prompt kept for redraws

enum class TrmEditResult : std::uint8_t {
    None,       // the key was taken (or ignored)
    Line,       // Enter: the line is in TrmEditDelivered(), the editor's line is empty again
    EndOfInput, // Ctrl-D on an empty line
};

// What the completer answers for the word that ends at the cursor.
struct TrmCompletion {
    std::uint16_t wWordStart = 0;        // where that word begins in the line
    std::vector<std::string> candidates; // words that may replace it (any case)
    bool bAppendBlank = true;            // a single candidate gets a blank after it
    std::string hint;                    // shown below the line when there is no candidate
};
using TrmCompleter = void (*)(std::string_view line, std::uint16_t wCursor,
                              TrmCompletion& completion);
using TrmEditWriter = void (*)(std::string_view bytes);

void TrmEditReset(); // empty line and history, no prompt, writer or completer, default width
void TrmEditSetWriter(TrmEditWriter pfWriter);
void TrmEditSetCompleter(TrmCompleter pfCompleter);
void TrmEditSetColumns(std::uint16_t wColumns); // screen width; 0 keeps the default
// The prompt has just been written (its last line is pszPrompt): the line is shown after it.
void TrmEditSetPrompt(std::string_view prompt);

// One byte of input. Printable characters are inserted at the cursor, control keys and escape
// sequences edit; a lone ESC and unknown sequences are dropped.
TrmEditResult TrmEditKey(std::uint8_t byKey);
bool TrmEditInSequence();            // part of an escape sequence has been read
void TrmEditKeyTimeout();            // no more bytes came: the sequence read so far is dropped
std::string_view TrmEditLine();      // the line being edited
std::string_view TrmEditDelivered(); // the line of the last Enter
std::uint16_t TrmEditCursor();

// Output that is not the editor's follows: a partly typed line is wiped from the screen (the
// prompt with it), an empty one is left alone. TrmEditRefresh draws a wiped line again.
void TrmEditHide();
void TrmEditRefresh();
void TrmEditRedraw();  // prompt and line drawn again at the start of the cursor's screen line
void TrmEditDiscard(); // Ctrl-C: "^C", the line is emptied and the prompt drawn on a new line

// History, oldest first. TrmEditAddHistory stores a line unless it is empty or repeats the
// newest one (true when stored); the oldest lines go beyond TRMC_HISTORY_MAX.
bool TrmEditAddHistory(std::string_view line);
const std::vector<std::string>& TrmEditHistory();
