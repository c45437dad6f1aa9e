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

} // namespace

void SimPrintHelp(std::FILE* pOut) {
    std::fputs(kHelp, pOut);
}

std::uint16_t SimParseOptions(int argc, char** argv, SimOptions& rOptions, std::FILE* pErr) {
    std::string protocolName;
    for (int i = 1; i < argc; ++i) {
        const char* pszArg = argv[i];
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        auto fail = [&](const char* pszWhat) {
            std::fprintf(pErr, "talvo_sim: %s: %s\n(try --help)\n", pszWhat, pszArg);
            return SIMC_OPTIONS_ERROR;
        };
        auto number = [&](std::uint32_t dwMax, std::uint32_t& rValue) {
            if (!ReadNumber(pszValue, dwMax, rValue)) {
                return false;
            }
            ++i;
            return true;
        };
        std::uint32_t dwValue = 0;
        if (std::strcmp(pszArg, "--help") == 0 || std::strcmp(pszArg, "-h") == 0) {
            SimPrintHelp(stdout);
            return SIMC_OPTIONS_HELP;
        } else if (std::strcmp(pszArg, "-D") == 0) {
            if (pszValue == nullptr) {
                return fail("missing file name after");
            }
            rOptions.definitionFile = pszValue;
            ++i;
        } else if (std::strncmp(pszArg, "-D", 2) == 0) {
            rOptions.definitionFile = pszArg + 2;
        } else if (std::strcmp(pszArg, "--tcp") == 0) {
            rOptions.transport = SimTransport::Tcp;
        } else if (std::strcmp(pszArg, "--pty") == 0) {
            rOptions.transport = SimTransport::Pty;
        } else if (std::strcmp(pszArg, "--serial") == 0) {
            if (pszValue == nullptr) {
                return fail("missing device after");
            }
            rOptions.transport = SimTransport::Serial;
            rOptions.device = pszValue;
            ++i;
        } else if (std::strcmp(pszArg, "--protocol") == 0) {
            if (pszValue == nullptr) {
                return fail("missing protocol after");
            }
            protocolName = pszValue;
            ++i;
        } else if (std::strcmp(pszArg, "--port") == 0) {
            if (!number(0xFFFF, dwValue)) {
                return fail("expected a port from 0 to 65535 after");
            }
            rOptions.wPort = static_cast<std::uint16_t>(dwValue);
        } else if (std::strcmp(pszArg, "--listen") == 0) {
            if (pszValue == nullptr || !IsNumericAddress(pszValue)) {
                return fail("expected a numeric IPv4 or IPv6 address after");
            }
            rOptions.listen = pszValue;
            ++i;
        } else if (std::strcmp(pszArg, "--baud") == 0) {
            if (!number(4000000, dwValue) || dwValue == 0) {
                return fail("expected a baud rate after");
            }
            rOptions.dwBaud = dwValue;
            rOptions.bPace = true;
        } else if (std::strcmp(pszArg, "--drop") == 0) {
            if (!number(100, dwValue)) {
                return fail("expected a percentage from 0 to 100 after");
            }
            rOptions.unit.wDropPercent = static_cast<std::uint16_t>(dwValue);
        } else if (std::strcmp(pszArg, "--corrupt") == 0) {
            if (!number(100, dwValue)) {
                return fail("expected a percentage from 0 to 100 after");
            }
            rOptions.wCorruptPercent = static_cast<std::uint16_t>(dwValue);
        } else if (std::strcmp(pszArg, "--delay") == 0) {
            if (!number(600000, dwValue)) {
                return fail("expected milliseconds (at most 600000) after");
            }
            rOptions.unit.dwDelayMs = dwValue;
        } else if (std::strcmp(pszArg, "--silent-after") == 0) {
            if (!number(0xFFFFFFFF, rOptions.unit.dwSilentAfter)) {
                return fail("expected a number after");
            }
        } else if (std::strcmp(pszArg, "--close-after") == 0) {
            if (!number(0xFFFFFFFF, rOptions.unit.dwCloseAfter)) {
                return fail("expected a number after");
            }
        } else if (std::strcmp(pszArg, "--faults-after") == 0) {
            if (!number(0xFFFFFFFF, rOptions.unit.dwFaultsAfter)) {
                return fail("expected a number after");
            }
        } else if (std::strcmp(pszArg, "--notify") == 0) {
            if (!number(86400, rOptions.unit.dwNotifySeconds)) {
                return fail("expected seconds (at most 86400) after");
            }
        } else if (std::strcmp(pszArg, "--capture") == 0) {
            if (pszValue == nullptr || *pszValue == '\0') {
                return fail("missing file name after");
            }
            rOptions.captureFile = pszValue;
            ++i;
        } else if (std::strcmp(pszArg, "--quiet") == 0) {
            rOptions.unit.bQuiet = true;
        } else {
            return fail("unknown option");
        }
    }

    if (rOptions.transport == SimTransport::None) {
        std::fprintf(pErr, "talvo_sim: choose a link: --tcp, --serial DEVICE or --pty\n"
                           "(try --help)\n");
        return SIMC_OPTIONS_ERROR;
    }
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
        return SIMC_OPTIONS_ERROR;
    }
    rOptions.unit.bSerialFull = rOptions.protocol == SimProtocol::Full;
    rOptions.unit.bTextStream = rOptions.protocol == SimProtocol::SerialTerminal ||
                                rOptions.protocol == SimProtocol::TcpTerminal;
    return SIMC_OPTIONS_RUN;
}
