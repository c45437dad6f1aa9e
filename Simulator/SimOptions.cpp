// Command line of talvo_sim: long options, each with its value as the next argument.
#include "Simulator/SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/PltSocket.h"

namespace {

constexpr const char* kHelp =
    "Usage: talvo_sim [-D FILE] --tcp [--port N] [--listen ADDRESS]\n"
    "                 [--protocol oip|multi|terminal] [faults]\n"
    "       talvo_sim [-D FILE] (--serial DEVICE | --pty) [--protocol full|simple|terminal]\n"
    "                 [--baud N] [faults]\n"
    "Simulates a TALVO unit: answers every remote call of the definition file.\n"
    "  -D FILE            definition file (default examples/FNID.DEF)\n"
    "  --tcp              listen for the tool on TCP (default port 9451)\n"
    "  --port N           TCP port to listen on; 0: a free one, named in the listening line\n"
    "  --serial DEVICE    use a serial device\n"
    "  --pty              create a pseudo-terminal and print its path as \"pty: <path>\"\n"
    "  --protocol NAME    oip (default), multi or terminal on TCP;\n"
    "                     full (default), simple or terminal on a serial line\n"
    "  --baud N           serial line speed; output is paced to it (default 19200, unpaced)\n"
    "  --notify SECONDS   send the UPDATE functions on this period\n"
    "  --quiet            no line per message\n"
    "faults:\n"
    "  --drop PCT         drop this share of outgoing frames (serial Full) or answers\n"
    "  --corrupt PCT      corrupt the checksum of this share of outgoing frames (serial Full)\n"
    "  --delay MS         send answers this much later\n"
    "  --silent-after N   send nothing more after N answers\n"
    "  --close-after N    close the connection after N answers\n"
    "  --faults-after N   faults start once N remote calls were answered (default 0)\n"
    "  --help             this text\n"
    "  --listen ADDRESS   local address to listen on with --tcp, IPv4 or IPv6 (default\n"
    "                     127.0.0.1, the loopback; ::1, or 0.0.0.0 for every IPv4 address)\n"
    "  --capture FILE     write every frame of the link into FILE (pcap, for Wireshark)\n";

// A local address to listen on is written as numbers: dotted IPv4, or IPv6 text (hex digits,
// colons, an embedded IPv4 part, a %scope). A name would need the resolver, and could mean
// addresses the user did not think of.
bool IsNumericAddress(const char* pszText) {
    if (PltSocketParseAddress(pszText) != PLTC_ADDRESS_NONE) {
        return true;
    }
    const char* pszScope = std::strchr(pszText, '%');
    const std::size_t wLength =
        pszScope != nullptr ? static_cast<std::size_t>(pszScope - pszText) : std::strlen(pszText);
    if (wLength == 0 || std::memchr(pszText, ':', wLength) == nullptr) {
        return false;
    }
    for (std::size_t w = 0; w < wLength; ++w) {
        const char c = pszText[w];
        const bool bHex =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!bHex && c != ':' && c != '.') {
            return false;
        }
    }
    return pszScope == nullptr || pszScope[1] != '\0';
}

// Reads a whole decimal number no greater than dwMax. Returns false for anything else.
bool ReadNumber(const char* pszText, std::uint32_t dwMax, std::uint32_t& rValue) {
    if (pszText == nullptr || *pszText < '0' || *pszText > '9') {
        return false;
    }
    errno = 0;
    char* pszEnd = nullptr;
    const unsigned long long ullValue = std::strtoull(pszText, &pszEnd, 10);
    if (errno != 0 || *pszEnd != '\0' || ullValue > dwMax) {
        return false;
    }
    rValue = static_cast<std::uint32_t>(ullValue);
    return true;
}

// The options that take a number: the largest value, the complaint and where it goes.
struct NumberOption {
    const char* pszName;
    std::uint32_t dwMax;
    const char* pszExpected;
    void (*pfSet)(SimOptions& rOptions, std::uint32_t dwValue);
};

constexpr const char* kPercentage = "expected a percentage from 0 to 100 after";
constexpr const char* kCount = "expected a number after";

constexpr NumberOption kNumberOptions[] = {
    {"--port", 0xFFFF, "expected a port from 0 to 65535 after",
     [](SimOptions& r, std::uint32_t v) { r.wPort = static_cast<std::uint16_t>(v); }},
    {"--baud", 4000000, "expected a baud rate after",
     [](SimOptions& r, std::uint32_t v) {
         r.dwBaud = v;
         r.bPace = true;
     }},
    {"--drop", 100, kPercentage,
     [](SimOptions& r, std::uint32_t v) { r.unit.wDropPercent = static_cast<std::uint16_t>(v); }},
    {"--corrupt", 100, kPercentage,
     [](SimOptions& r, std::uint32_t v) { r.wCorruptPercent = static_cast<std::uint16_t>(v); }},
    {"--delay", 600000, "expected milliseconds (at most 600000) after",
     [](SimOptions& r, std::uint32_t v) { r.unit.dwDelayMs = v; }},
    {"--silent-after", 0xFFFFFFFF, kCount,
     [](SimOptions& r, std::uint32_t v) { r.unit.dwSilentAfter = v; }},
    {"--close-after", 0xFFFFFFFF, kCount,
     [](SimOptions& r, std::uint32_t v) { r.unit.dwCloseAfter = v; }},
    {"--faults-after", 0xFFFFFFFF, kCount,
     [](SimOptions& r, std::uint32_t v) { r.unit.dwFaultsAfter = v; }},
    {"--notify", 86400, "expected seconds (at most 86400) after",
     [](SimOptions& r, std::uint32_t v) { r.unit.dwNotifySeconds = v; }},
};

const NumberOption* FindNumberOption(const char* pszArg) {
    for (const NumberOption& option : kNumberOptions) {
        if (std::strcmp(pszArg, option.pszName) == 0) {
            return &option;
        }
    }
    return nullptr;
}

// Options whose value is a text, "-D<file>" included. Returns nullptr when taken (with *piUsed
// the arguments used), the complaint when the value is missing or wrong, or "" when pszArg is
// none of them.
const char* TakeTextOption(const char* pszArg, const char* pszValue, SimOptions& rOptions,
                           std::string& rProtocolName, int* piUsed) {
    *piUsed = 1;
    if (std::strncmp(pszArg, "-D", 2) == 0 && pszArg[2] != '\0') {
        rOptions.definitionFile = pszArg + 2;
        return nullptr;
    }
    *piUsed = 2;
    if (std::strcmp(pszArg, "-D") == 0 || std::strcmp(pszArg, "--capture") == 0) {
        if (pszValue == nullptr || (pszArg[1] == '-' && *pszValue == '\0')) {
            return "missing file name after";
        }
        (pszArg[1] == 'D' ? rOptions.definitionFile : rOptions.captureFile) = pszValue;
    } else if (std::strcmp(pszArg, "--serial") == 0) {
        if (pszValue == nullptr) {
            return "missing device after";
        }
        rOptions.transport = SimTransport::Serial;
        rOptions.device = pszValue;
    } else if (std::strcmp(pszArg, "--protocol") == 0) {
        if (pszValue == nullptr) {
            return "missing protocol after";
        }
        rProtocolName = pszValue;
    } else if (std::strcmp(pszArg, "--listen") == 0) {
        if (pszValue == nullptr || !IsNumericAddress(pszValue)) {
            return "expected a numeric IPv4 or IPv6 address after";
        }
        rOptions.listen = pszValue;
    } else {
        return "";
    }
    return nullptr;
}

// Sets the protocol from its name (the link's default when none is given). False when the name
// is none of the link's.
bool ChooseProtocol(const std::string& protocolName, SimOptions& rOptions, std::FILE* pErr) {
    const bool bTcp = rOptions.transport == SimTransport::Tcp;
    rOptions.bProtocolGiven = !protocolName.empty();
    if (protocolName.empty()) {
        rOptions.protocol = bTcp ? SimProtocol::Oip : SimProtocol::Full;
    } else if (bTcp && protocolName == "oip") {
        rOptions.protocol = SimProtocol::Oip;
    } else if (bTcp && protocolName == "multi") {
        rOptions.protocol = SimProtocol::Multi;
    } else if (bTcp && protocolName == "terminal") {
        rOptions.protocol = SimProtocol::TcpTerminal;
    } else if (!bTcp && protocolName == "full") {
        rOptions.protocol = SimProtocol::Full;
    } else if (!bTcp && protocolName == "simple") {
        rOptions.protocol = SimProtocol::Simple;
    } else if (!bTcp && protocolName == "terminal") {
        rOptions.protocol = SimProtocol::SerialTerminal;
    } else {
        std::fprintf(pErr, "talvo_sim: protocol '%s' is not one of %s\n(try --help)\n",
                     protocolName.c_str(),
                     bTcp ? "oip, multi, terminal" : "full, simple, terminal");
        return false;
    }
    return true;
}

} // namespace

void SimPrintHelp(std::FILE* pOut) {
    std::fputs(kHelp, pOut);
}

std::uint16_t SimParseOptions(int argc, char** argv, SimOptions& rOptions, std::FILE* pErr) {
    std::string protocolName;
    for (int i = 1; i < argc; ++i) {
        const char* pszArg = argv[i];
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        const char* pszComplaint = nullptr;
        int iUsed = 1;
        if (std::strcmp(pszArg, "--help") == 0 || std::strcmp(pszArg, "-h") == 0) {
            SimPrintHelp(stdout);
            return SIMC_OPTIONS_HELP;
        } else if (std::strcmp(pszArg, "--tcp") == 0) {
            rOptions.transport = SimTransport::Tcp;
        } else if (std::strcmp(pszArg, "--pty") == 0) {
            rOptions.transport = SimTransport::Pty;
        } else if (std::strcmp(pszArg, "--quiet") == 0) {
            rOptions.unit.bQuiet = true;
        } else if (const NumberOption* pOption = FindNumberOption(pszArg); pOption != nullptr) {
            std::uint32_t dwValue = 0;
            // A baud rate of 0 would never send a byte.
            if (!ReadNumber(pszValue, pOption->dwMax, dwValue) ||
                (dwValue == 0 && std::strcmp(pszArg, "--baud") == 0)) {
                pszComplaint = pOption->pszExpected;
            } else {
                pOption->pfSet(rOptions, dwValue);
                iUsed = 2;
            }
        } else {
            pszComplaint = TakeTextOption(pszArg, pszValue, rOptions, protocolName, &iUsed);
            if (pszComplaint != nullptr && *pszComplaint == '\0') {
                pszComplaint = "unknown option";
            }
        }
        if (pszComplaint != nullptr) {
            std::fprintf(pErr, "talvo_sim: %s: %s\n(try --help)\n", pszComplaint, pszArg);
            return SIMC_OPTIONS_ERROR;
        }
        i += iUsed - 1;
    }

    if (rOptions.transport == SimTransport::None) {
        std::fprintf(pErr, "talvo_sim: choose a link: --tcp, --serial DEVICE or --pty\n"
                           "(try --help)\n");
        return SIMC_OPTIONS_ERROR;
    }
    if (!ChooseProtocol(protocolName, rOptions, pErr)) {
        return SIMC_OPTIONS_ERROR;
    }
    rOptions.unit.bSerialFull = rOptions.protocol == SimProtocol::Full;
    rOptions.unit.bTextStream = rOptions.protocol == SimProtocol::SerialTerminal ||
                                rOptions.protocol == SimProtocol::TcpTerminal;
    return SIMC_OPTIONS_RUN;
}
