// AppMain: the program's entry sequence, its command-line options, the process-wide settings of
// the application (link channel, response stream, start-up line) and the link event callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr const char* APPC_VERSION = "4.20.6275"; // shown in the banner
// StartupLine / script name buffer: "SCRIPT ", the longest path of the platforms (Linux's 4095
// characters) and its zero.
constexpr std::size_t APPC_STARTUP_LINE_SIZE = 4104;
constexpr std::size_t APPC_HOST_MAX = 252;    // characters of the -I host text
constexpr std::uint16_t APPC_TCP_PORT = 9451; // the unit's TCP port
// Exit statuses of the program.
constexpr std::uint16_t APPC_EXIT_OK = 0;          // after EXIT or a clean shut-down on a signal
constexpr std::uint16_t APPC_EXIT_USAGE = 1;       // unknown option, bad host text or port
constexpr std::uint16_t APPC_EXIT_DEFINITIONS = 2; // definition file missing, wrong or too full
constexpr std::uint16_t APPC_EXIT_ALLOCATION = 3;  // no memory for the function table or buffer
constexpr const char* APPC_DEFAULT_DEF_FILES = "FNID.DEF;FNIDDev.DEF";
constexpr std::uint8_t APPC_PROTOCOL_TERMINAL = 0; // serial protocol codes
constexpr std::uint8_t APPC_PROTOCOL_SIMPLE = 1;
constexpr std::uint8_t APPC_PROTOCOL_FULL = 2;

// Settings read by the rest of the application.
std::uint8_t AppLinkChannel(); // channel of the open link (32/33 serial, 44+ TCP/IP)
void AppSetLinkChannel(std::uint8_t byChannel);
std::uint8_t AppSerialPort();                  // serial port index opened at start-up (0 = COM1)
std::uint32_t AppBaudrate();                   // serial baud rate (one of the supported rates)
std::uint16_t AppSerialProtocol();             // APPC_PROTOCOL_*
const char* AppHost();                         // host text of -I as given ("[::1]:9452")
const char* AppHostName();                     // its host part ("::1")
std::uint16_t AppTcpPort();                    // its port (APPC_TCP_PORT when none is given)
const char* AppSerialDevice();                 // device path of -S<device>; "" for -S<digit>
bool AppReconnect();                           // -R: the link is opened again after a loss
const char* AppDefinitionFiles();              // "main[;extended]" definition file list
std::FILE* AppResponseStream();                // decoded messages, link events, protocol displays
void AppSetResponseStream(std::FILE* pStream); // the response file, or nullptr for standard output
std::FILE* AppConsole();                       // prompts, command replies, error messages
void AppSetConsole(std::FILE* pStream);        // nullptr for standard output (tests capture here)
char* AppStartupLine(); // APPC_STARTUP_LINE_SIZE bytes, reused as script name

// Parses the options and loads the definition files: 0, or the exit status (APPC_EXIT_*) with
// which the program stops without a link.
std::uint16_t AppParseOptions(int argc, char** argv);
// Opens the link chosen by the options and delivers the start-up line: 0, or non-zero to stop.
std::uint16_t AppOpenLink();
// Stops the script, closes the link, deregisters the handlers and releases the function table.
void AppClose();

// Takes the -I text apart: "host", "host:port", "[IPv6]", "[IPv6]:port", or a bare IPv6 address
// (more than one colon, no port). The host part goes to pszHost (wSize bytes), the port (1 to
// 65535, APPC_TCP_PORT when none is given) to *pwPort. False for a port that is not a number in
// that range, an unclosed bracket or a host part that does not fit.
bool AppParseHostPort(const char* pszText, char* pszHost, std::size_t wSize, std::uint16_t* pwPort);

// Baud rate rounded down to the supported table (115200 ... 9600); below 9600 gives 9600.
std::uint32_t AppRoundBaudrate(std::uint32_t dwRequested);

// Link event callbacks given to the serial and TCP/IP link managers.
void AppSerialEvent(std::uint16_t wEvent, std::uint8_t byChannelId);
void AppTcpEvent(std::uint16_t wEvent, std::uint8_t bySession);

// The whole program: the main sequence. Returns the exit code given to OssExit.
int AppMain(int argc, char** argv);

// Restores every setting to its start-up value (test set-up only).
void AppResetForTest();
// Restores the link channel, the streams and the start-up line only (test set-up of modules).
void AppResetStreamsForTest();
