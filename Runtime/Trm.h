// Trm: the console terminal. The program's own console is channel 34: typed keys are collected
// into a line by a scheduler task and delivered as a TERMINAL_REQUEST; text sent to channel 34 is
// written to the console.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr std::uint8_t TRMC_CHANNEL_ID = 34;  // the console's channel
constexpr std::uint16_t TRMC_LINE_SIZE = 200; // line buffer, terminating zero included
constexpr std::uint16_t TRMC_LINE_MAX = TRMC_LINE_SIZE - 1; // characters of one line
constexpr std::uint16_t TRMC_ERROR = 1;        // TrmOpen / TrmClose / TrmTerminate refusal
constexpr std::uint8_t TRMC_KEY_ENTER = 13;    // carriage return: the line is finished
constexpr std::uint8_t TRMC_KEY_BACKSPACE = 8; // erases the last character
constexpr std::uint8_t TRMC_KEY_DELETE = 127;  // what a terminal's Backspace key sends

// Registers TrmOutput for channel 34; the dispatch status on failure.
[[nodiscard]] std::uint16_t TrmInit();
// Adds the keyboard task and opens the console (raw terminal); 0, or TRMC_ERROR without a
// scheduler slot for the keyboard.
[[nodiscard]] std::uint16_t TrmOpen();
// Removes the keyboard task, restores the terminal; 0 or TRMC_ERROR.
[[nodiscard]] std::uint16_t TrmClose();
[[nodiscard]] std::uint16_t TrmTerminate(); // deregisters channel 34; 0 or TRMC_ERROR

// Keyboard task (type 3): turns a stop signal into OssExit(0), then handles at most one key.
void TrmPollKeyboard();
// Transmit handler of channel 34: writes the bytes to the console, a LF after every CR. Returns 0.
std::uint16_t TrmOutput(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                        const std::uint8_t* pbyData);

// Descriptor on which keys arrive, for a readiness wait; -1 when no more keys can come.
int TrmInputDescriptor();

// Line editing. At a terminal in raw mode (and only there) keys go through the line editor
// (TrmEdit): history, cursor keys, completion, and a typed line that output never garbles.
bool TrmEditing(); // true while keys go through the line editor

// Keys that end things, for the application to decide on.
enum class TrmControl : std::uint8_t {
    Interrupt,  // Ctrl-C with nothing typed: true when the handler cancelled something
    EndOfInput, // Ctrl-D on an empty line
};
using TrmControlHandler = bool (*)(TrmControl tControl);
// Without a handler (or when it answers false) Ctrl-C ends the program and so does Ctrl-D.
void TrmSetControlHandler(TrmControlHandler pfHandler);
// The application has just written a prompt whose last line is this text.
void TrmSetPrompt(std::string_view prompt);
// Console output follows: a partly typed line is wiped first and drawn again after it.
void TrmBeforeOutput();
// History file: its lines are loaded now and every new history line is appended to it. An empty
// path means none. A file that cannot be read or written gets one line on the console, once.
void TrmUseHistoryFile(const std::string& path);

void TrmResetForTest(); // empty line, no task slot (does not touch the scheduler or the dispatch)
