// Trm: the console terminal. The program's own console is channel 34: typed keys are collected
// into a line by a scheduler task and delivered as a TERMINAL_REQUEST; text sent to channel 34 is
// written to the console.
#pragma once

#include <cstdint>

constexpr std::uint8_t TRM_CHANNEL_ID = 34;       // the console's channel
constexpr std::uint8_t TRMC_TERMINAL_REQUEST = 6; // message type of a delivered line
constexpr std::uint16_t TRMC_LINE_SIZE = 200;     // line buffer, terminating zero included
constexpr std::uint16_t TRMC_LINE_MAX = TRMC_LINE_SIZE - 1; // characters of one line
constexpr std::uint16_t TRMC_ERROR = 1;                     // TrmClose / TrmTerminate refusal
constexpr std::uint8_t TRMC_KEY_ENTER = 13;                 // carriage return: the line is finished
constexpr std::uint8_t TRMC_KEY_BACKSPACE = 8;              // erases the last character
constexpr std::uint8_t TRMC_KEY_DELETE = 127;               // what a terminal's Backspace key sends

std::uint16_t TrmInit();      // registers TrmOutput for channel 34; the dispatch status on failure
std::uint16_t TrmOpen();      // adds the keyboard task and opens the console (raw terminal); 0
std::uint16_t TrmClose();     // removes the keyboard task, restores the terminal; 0 or TRMC_ERROR
std::uint16_t TrmTerminate(); // deregisters channel 34; 0 or TRMC_ERROR

// Keyboard task (type 3): turns a stop signal into OssExit(0), then handles at most one key.
void TrmPollKeyboard();
// Transmit handler of channel 34: writes the bytes to the console, a LF after every CR. Returns 0.
std::uint16_t TrmOutput(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                        const std::uint8_t* pbyData);

// Descriptor on which keys arrive, for a readiness wait; -1 when no more keys can come.
int TrmInputDescriptor();

void TrmResetForTest(); // empty line, no task slot (does not touch the scheduler or the dispatch)
