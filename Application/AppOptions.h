// AppOptions: the command-line options of talvo_rc and the settings they choose (the link, the
// definition files, the capture file), read by the rest of the application.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t APPC_HOST_MAX = 252;    // characters of the -I host text
constexpr std::uint16_t APPC_TCP_PORT = 9451; // the unit's TCP port
constexpr const char* APPC_DEFAULT_DEF_FILES = "FNID.DEF;FNIDDev.DEF";

// Settings chosen by the options.
std::uint8_t AppSerialPort();      // serial port index opened at start-up (0 = COM1)
std::uint32_t AppBaudrate();       // serial baud rate (one of the supported rates)
std::uint16_t AppSerialProtocol(); // RSMC_PROTOCOL_*
const char* AppHost();             // host text of -I as given ("[::1]:9452")
const char* AppHostName();         // its host part ("::1")
std::uint16_t AppTcpPort();        // its port (APPC_TCP_PORT when none is given)
const char* AppSerialDevice();     // device path of -S<device>; "" for -S<digit>
bool AppReconnect();               // -R: the link is opened again after a loss
bool AppKeepCase();                // -K: string and character arguments keep their typed case
const char* AppDefinitionFiles();  // "main[;extended]" definition file list
const char* AppCaptureFile();      // -C<file>; "" for no capture

// --help or --version among the arguments: prints the usage text or the banner line and returns
// true (the program ends at once with status 0); false when neither is there.
[[nodiscard]] bool AppInfoOption(int argc, char** argv);
void AppPrintUsage();
void AppPrintBanner();

// What became of one argument.
enum class AppArgument : std::uint8_t {
    Taken,   // applied
    Refused, // a bad value: its message and the usage text are printed
    Other,   // an option letter of another module (the batch options)
};
// Applies one command-line argument: an option (starting with '-' or '/') of this module, or the
// start-up script (any other argument, or a path that starts with '/').
[[nodiscard]] AppArgument AppApplyArgument(const char* pszArg);

// Takes the -I text apart: "host", "host:port", "[IPv6]", "[IPv6]:port", or a bare IPv6 address
// (more than one colon, no port). The host part goes to pszHost (wSize bytes), the port (1 to
// 65535, APPC_TCP_PORT when none is given) to *pwPort. False for a port that is not a number in
// that range, an unclosed bracket or a host part that does not fit.
[[nodiscard]] bool AppParseHostPort(const char* pszText, char* pszHost, std::size_t wSize,
                                    std::uint16_t* pwPort);

// Baud rate rounded down to the supported table (115200 ... 9600); below 9600 gives 9600.
std::uint32_t AppRoundBaudrate(std::uint32_t dwRequested);

void AppOptionsResetForTest(); // every setting of this module back to its start-up value
