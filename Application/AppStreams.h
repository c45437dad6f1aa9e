// AppStreams: the process-wide settings every application module reads: the channel of the open
// link, the two output streams and the start-up line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// StartupLine / script name buffer: "SCRIPT ", the longest path of the platforms (Linux's 4095
// characters) and its zero.
constexpr std::size_t APPC_STARTUP_LINE_SIZE = 4104;

std::uint8_t AppLinkChannel(); // channel of the open link (32/33 serial, 44+ TCP/IP)
void AppSetLinkChannel(std::uint8_t byChannel);
// The two output streams. Asking for one that is the console (standard output) means output
// follows: a partly typed line at the terminal is wiped first and drawn again below the output.
// Only flush them through AppFlushStreams, which leaves the typed line alone.
std::FILE* AppResponseStream();                // decoded messages, link events, protocol displays
void AppSetResponseStream(std::FILE* pStream); // the response file, or nullptr for standard output
std::FILE* AppConsole();                       // prompts, command replies, error messages
void AppSetConsole(std::FILE* pStream);        // nullptr for standard output (tests capture here)
// Pushes the response stream out. A write to the response file that failed (a full disk) is
// reported on the console once, with its reason, and the displays go to standard output from
// then on. AppSetResponseStream does the same for the file it replaces.
void AppFlushResponseStream();
void AppFlushStreams(); // pushes out both streams' buffered output (the response stream as above)
char* AppStartupLine(); // APPC_STARTUP_LINE_SIZE bytes, reused as script name

// Restores the link channel, the streams and the start-up line only (test set-up of modules).
void AppResetStreamsForTest();
