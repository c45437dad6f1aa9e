// AppJson: the JSON Lines file of -J. Every call sent, every message received, every link event
// and every answer time-out becomes one JSON object on a line of its own, flushed at once.
// Text from the unit is Latin-1: each byte from 0x80 up is written as the character of that code
// point, so every line is valid UTF-8 whatever the unit sends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct MsgDecoded; // Application/AppDecode.h

// Opens (and empties) the file; a file open before is closed. False when it cannot be opened.
[[nodiscard]] bool JsonOpen(const char* pszPath);
void JsonClose();
bool JsonIsOpen();

// Writes a message: pszDirection "tx" (sent; bSent false when the link refused it) or "rx".
void JsonWriteMessage(const char* pszDirection, const MsgDecoded& decoded, bool bSent = true);
// Writes an event object {"t":...,"event":pszEvent}.
void JsonWriteEvent(const char* pszEvent);
// Writes {"t":...,"event":"no_answer","fnid":...,"name":...,"seconds":...}.
void JsonWriteNoAnswer(std::uint16_t wFnId, std::uint32_t dwSeconds);

// The line of a message without its line end, at the wall-clock time qwMs (ms since 1970, UTC).
std::string JsonMessageLine(const char* pszDirection, const MsgDecoded& decoded, bool bSent,
                            std::uint64_t qwMs);
// Latin-1 bytes as UTF-8 text.
std::string JsonLatin1ToUtf8(std::string_view bytes);
