// AppStamp: the optional wall-clock time stamp (-t) in front of message displays, link events and
// log records, and the UTC time text of the JSON Lines file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr std::size_t APPC_STAMP_SIZE = 32; // "[HH:MM:SS.mmm] " and room to spare

void StampEnable(bool bOn); // -t: stamps on (true) or off
bool StampEnabled();

// "[HH:MM:SS.mmm] " in local time when stamps are on, else "". The text stays valid until the next
// call.
const char* StampText();
// Writes pszText to pOut with the stamp in front of its first line: after the line ends it starts
// with, so that a display's leading blank line stays blank. Without stamps: the text unchanged.
void StampWrite(std::FILE* pOut, const char* pszText);

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of a wall-clock time in milliseconds since 1970 (UTC).
void StampUtcText(std::uint64_t qwMs, char* pszText, std::size_t wSize);
// Local "[HH:MM:SS.mmm] " of a wall-clock time in milliseconds since 1970.
void StampLocalText(std::uint64_t qwMs, char* pszText, std::size_t wSize);

std::uint64_t StampNowMs(); // the wall clock in milliseconds since 1970 (UTC)
// Wall clock read by the stamps; nullptr: the real one (tests).
void StampSetClockForTest(std::uint64_t (*pfMs)());
