// The command-line options of talvo_rc: --help and --version, banner, option letters, the
// start-up script argument, the host text and the baud-rate rounding.
#include "Application/AppOptions.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Application/AppStreams.h"
#include "Application/AppVersion.h"
#include "Communication/Rsm/Rsm.h"
#include "Platform/PltFile.h"
#include "Platform/PltSerial.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"

namespace {

constexpr std::array<std::uint32_t, 5> kBaudrates = {115200, 57600, 38400, 19200, 9600};
constexpr std::uint8_t kDefaultPort = 1; // COM2
constexpr std::uint32_t kDefaultBaudrate = 19200;
constexpr std::uint8_t kMaxPortIndex = 3; // COM4

constexpr const char* kUsage =
    "Usage: talvo_rc [options] [-D<deffile>] [<scrfile>]\n\noptions: <-L> <-I[hostname or "
    "ip-address]> <-S[1|2|3|4][:Baudrate]> <-P[F|S|T]>\n\t\tdefault -S2:19200 -PF\n\t\t(serial "
    "COM2, baudrate 19200, Full protocol)\n  -L : Set local event logging on\n  -I : TCP/IP "
    "communication\n  -S : Serial communication\n  -P : Serial Protocol (Full/Simple/Terminal)\n\n"
    "deffile: definition file (default = FNID.DEF)\nscrfile: script file for automatic command "
    "processing\n"
    "\nunattended: <-B> <-W<seconds>> <-t> <-J<file>>\n"
    "  -B : Batch mode: run scrfile unattended, exit with its summary and status\n"
    "  -W : Answer time-out of script calls, 1..3600 sec (batch default 30)\n"
    "  -t : Time stamps on received messages, link events and log records\n"
    "  -J : Write calls and received messages to a JSON Lines file\n"
    "\n  -K : Keep the typed case of string and character arguments\n"
    "\n  -C<file> : Capture every frame of the link into <file> (pcap, for Wireshark)\n"
    "\n  -I<host>:<port> : TCP/IP to another port than 9451; IPv6 in brackets: -I[::1]:9452\n"
    "  -S<device>[:Baudrate] : Serial communication on a device path (-S/dev/ttyUSB0:115200)\n"
    "  -R : Reconnect every 2 s after the link is lost, until it is back\n"
    "\n  --help    : Show this text and exit\n  --version : Show the version line and exit\n";

std::uint8_t g_byPort = kDefaultPort;
std::uint32_t g_dwBaudrate = kDefaultBaudrate;
std::uint16_t g_wProtocol = RSMC_PROTOCOL_FULL;
std::array<char, APPC_HOST_MAX + 1> g_szHost{};     // the -I text as given
std::array<char, APPC_HOST_MAX + 1> g_szHostName{}; // its host part, without brackets
std::uint16_t g_wTcpPort = APPC_TCP_PORT;
std::array<char, PLTC_DEVICE_NAME_SIZE> g_szDevice{}; // -S<device>, empty for -S<digit>
bool g_bReconnect = false;
bool g_bKeepCase = false;
std::string g_definitionFiles = APPC_DEFAULT_DEF_FILES;
std::string g_captureFile; // -C: empty for no capture

// The start-up script: the whole path, never cut to another file's name. A path longer than the
// platform takes is refused here, as SCRIPT refuses a file it cannot open.
void SetStartupScript(const char* pszPath) {
    if (std::strlen(pszPath) > PltPathMax() ||
        std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "SCRIPT %s", pszPath) >=
            static_cast<int>(APPC_STARTUP_LINE_SIZE)) {
        AppStartupLine()[0] = '\0';
        std::fprintf(AppConsole(), "Can't open scriptfile : %s\n", pszPath);
    }
}

// A port number text: decimal digits only, 1 to 65535.
bool ReadPort(const char* pszText, std::uint16_t* pwPort) {
    std::uint32_t dwPort = 0;
    if (*pszText == '\0') {
        return false;
    }
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || dwPort > 0xFFFF) {
            return false;
        }
        dwPort = dwPort * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    if (dwPort == 0 || dwPort > 0xFFFF) {
        return false;
    }
    *pwPort = static_cast<std::uint16_t>(dwPort);
    return true;
}

} // namespace

bool AppParseHostPort(const char* pszText, char* pszHost, std::size_t wSize,
                      std::uint16_t* pwPort) {
    *pwPort = APPC_TCP_PORT;
    const char* pszName = pszText;
    std::size_t wLength = std::strlen(pszText);
    const char* pszPort = nullptr;
    if (pszText[0] == '[') {
        const char* pszClose = std::strchr(pszText, ']');
        if (pszClose == nullptr || (pszClose[1] != '\0' && pszClose[1] != ':')) {
            return false;
        }
        pszName = pszText + 1;
        wLength = static_cast<std::size_t>(pszClose - pszName);
        pszPort = pszClose[1] == ':' ? pszClose + 2 : nullptr;
    } else {
        const char* pszColon = std::strchr(pszText, ':');
        if (pszColon != nullptr && std::strchr(pszColon + 1, ':') == nullptr) {
            wLength = static_cast<std::size_t>(pszColon - pszText);
            pszPort = pszColon + 1;
        }
    }
    if ((pszPort != nullptr && !ReadPort(pszPort, pwPort)) || wLength >= wSize) {
        return false;
    }
    std::memcpy(pszHost, pszName, wLength);
    pszHost[wLength] = '\0';
    return true;
}

namespace {

// -I<host>[:<port>]: the TCP/IP link.
AppArgument ApplyHost(const char* pszValue) {
    if (std::strlen(pszValue) > APPC_HOST_MAX) {
        // The host setting holds 252 characters; a cut name would reach the wrong host.
        std::fprintf(AppConsole(), "Host name longer than %zu characters: %.20s...\n",
                     APPC_HOST_MAX, pszValue);
        AppPrintUsage();
        return AppArgument::Refused;
    }
    if (!AppParseHostPort(pszValue, g_szHostName.data(), g_szHostName.size(), &g_wTcpPort)) {
        std::fprintf(AppConsole(), "Invalid host or port (1 to 65535): %.60s\n", pszValue);
        AppPrintUsage();
        return AppArgument::Refused;
    }
    AppSetLinkChannel(MDSC_TCPIP_SESSION_BASE);
    std::snprintf(g_szHost.data(), g_szHost.size(), "%s", pszValue);
    return AppArgument::Taken;
}

// -P<F|S|T>: the serial protocol; anything else is Full.
AppArgument ApplyProtocol(const char* pszValue) {
    if (pszValue[0] == 'S' || pszValue[0] == 's') {
        g_wProtocol = RSMC_PROTOCOL_SIMPLE;
    } else if (pszValue[0] == 'T' || pszValue[0] == 't') {
        g_wProtocol = RSMC_PROTOCOL_TERMINAL;
    } else {
        g_wProtocol = RSMC_PROTOCOL_FULL;
    }
    return AppArgument::Taken;
}

// The device path of -S<device>[:Baudrate]; a baud rate follows its last colon when only digits
// come after it. Returns that colon (nullptr for none) through *ppszColon.
AppArgument ApplySerialDevice(const char* pszValue, const char** ppszColon) {
    const char* pszColon = std::strrchr(pszValue, ':');
    if (pszColon != nullptr && (pszColon[1] == '\0' || std::strspn(pszColon + 1, "0123456789") !=
                                                           std::strlen(pszColon + 1))) {
        pszColon = nullptr;
    }
    const std::size_t wLength =
        pszColon != nullptr ? static_cast<std::size_t>(pszColon - pszValue) : std::strlen(pszValue);
    if (wLength >= g_szDevice.size()) {
        std::fprintf(AppConsole(), "Device name longer than %zu characters: %.20s...\n",
                     g_szDevice.size() - 1, pszValue);
        AppPrintUsage();
        return AppArgument::Refused;
    }
    std::memcpy(g_szDevice.data(), pszValue, wLength);
    g_byPort = kDefaultPort;
    *ppszColon = pszColon;
    return AppArgument::Taken;
}

// -S[1|2|3|4|<device>][:Baudrate]: the serial link.
AppArgument ApplySerial(const char* pszArg, const char* pszValue) {
    AppSetLinkChannel(MDSC_SERIAL_CHANNEL_0);
    g_szDevice.fill('\0');
    const char* pszColon = std::strchr(pszArg, ':');
    if (pszValue[0] >= '0' && pszValue[0] <= '9') {
        const int iIndex = pszValue[0] - '1';
        g_byPort = (iIndex < 0 || iIndex > kMaxPortIndex) ? kDefaultPort
                                                          : static_cast<std::uint8_t>(iIndex);
    } else if (pszValue[0] != '\0' && pszValue[0] != ':' &&
               ApplySerialDevice(pszValue, &pszColon) == AppArgument::Refused) {
        return AppArgument::Refused;
    }
    if (pszColon != nullptr) {
        const unsigned long ulRate = std::strtoul(pszColon + 1, nullptr, 0);
        const std::uint32_t dwRate =
            ulRate > 0xFFFFFFFFUL ? 0xFFFFFFFFU : static_cast<std::uint32_t>(ulRate);
        g_dwBaudrate = AppRoundBaudrate(dwRate);
    }
    return AppArgument::Taken;
}

// Applies one option argument (starting with '-' or '/').
AppArgument ApplyOption(const char* pszArg) {
    const char* pszValue = pszArg[1] != '\0' ? pszArg + 2 : pszArg + 1;
    switch (pszArg[1]) {
    case 'D':
    case 'd':
        g_definitionFiles = pszValue;
        return AppArgument::Taken;
    case 'C':
    case 'c':
        if (*pszValue == '\0') {
            AppPrintUsage();
            return AppArgument::Refused;
        }
        g_captureFile = pszValue;
        return AppArgument::Taken;
    case 'L':
    case 'l':
        LogSetFilter(1, "");
        return AppArgument::Taken;
    case 'I':
    case 'i':
        return ApplyHost(pszValue);
    case 'K':
    case 'k':
        g_bKeepCase = true;
        return AppArgument::Taken;
    case 'R':
    case 'r':
        g_bReconnect = true;
        return AppArgument::Taken;
    case 'P':
    case 'p':
        return ApplyProtocol(pszValue);
    case 'S':
    case 's':
        return ApplySerial(pszArg, pszValue);
    default:
        return AppArgument::Other; // -B, -W, -t, -J or no option at all
    }
}

} // namespace

std::uint8_t AppSerialPort() {
    return g_byPort;
}

std::uint32_t AppBaudrate() {
    return g_dwBaudrate;
}

std::uint16_t AppSerialProtocol() {
    return g_wProtocol;
}

const char* AppHost() {
    return g_szHost.data();
}

const char* AppHostName() {
    return g_szHostName.data();
}

std::uint16_t AppTcpPort() {
    return g_wTcpPort;
}

const char* AppSerialDevice() {
    return g_szDevice.data();
}

bool AppReconnect() {
    return g_bReconnect;
}

bool AppKeepCase() {
    return g_bKeepCase;
}

const char* AppDefinitionFiles() {
    return g_definitionFiles.c_str();
}

const char* AppCaptureFile() {
    return g_captureFile.c_str();
}

std::uint32_t AppRoundBaudrate(std::uint32_t dwRequested) {
    for (const std::uint32_t dwRate : kBaudrates) {
        if (dwRate <= dwRequested) {
            return dwRate;
        }
    }
    return kBaudrates.back();
}

void AppPrintUsage() {
    std::fputs(kUsage, AppConsole());
    std::fflush(AppConsole());
}

void AppPrintBanner() {
    std::fprintf(AppConsole(), "%s%s %s\n", "Talvo RC version ", APPC_VERSION, "");
    std::fflush(AppConsole());
}

bool AppInfoOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            AppPrintUsage();
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            AppPrintBanner();
            return true;
        }
    }
    return false;
}

AppArgument AppApplyArgument(const char* pszArg) {
    if ((pszArg[0] != '-' && pszArg[0] != '/') || PltSlashArgumentIsFile(pszArg)) {
        SetStartupScript(pszArg);
        return AppArgument::Taken;
    }
    return ApplyOption(pszArg);
}

void AppOptionsResetForTest() {
    g_byPort = kDefaultPort;
    g_dwBaudrate = kDefaultBaudrate;
    g_wProtocol = RSMC_PROTOCOL_FULL;
    g_szHost.fill('\0');
    g_szHostName.fill('\0');
    g_wTcpPort = APPC_TCP_PORT;
    g_szDevice.fill('\0');
    g_bReconnect = false;
    g_bKeepCase = false;
    g_definitionFiles = APPC_DEFAULT_DEF_FILES;
    g_captureFile.clear();
}
