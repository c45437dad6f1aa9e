// SimOptions: the command line of talvo_sim.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Simulator/SimUnit.h"

constexpr std::uint16_t SIMC_DEFAULT_PORT = 9451;        // TCP port the unit listens on
constexpr const char* SIMC_DEFAULT_LISTEN = "127.0.0.1"; // local address it listens on
constexpr std::uint32_t SIMC_DEFAULT_BAUD = 19200;       // serial line speed
constexpr const char* SIMC_DEFAULT_DEF_FILE = "examples/FNID.DEF";

// Parse results.
constexpr std::uint16_t SIMC_OPTIONS_RUN = 0;   // options valid, run the unit
constexpr std::uint16_t SIMC_OPTIONS_HELP = 1;  // --help was given, the help text is printed
constexpr std::uint16_t SIMC_OPTIONS_ERROR = 2; // a bad option, its message is printed

enum class SimTransport { None, Tcp, Serial, Pty };
enum class SimProtocol { Oip, Multi, TcpTerminal, Full, Simple, SerialTerminal };

struct SimOptions {
    std::string definitionFile = SIMC_DEFAULT_DEF_FILE;
    SimTransport transport = SimTransport::None;
    SimProtocol protocol = SimProtocol::Oip;
    bool bProtocolGiven = false;
    std::uint16_t wPort = SIMC_DEFAULT_PORT;  // 0: a free port the system chooses
    std::string listen = SIMC_DEFAULT_LISTEN; // --listen ADDRESS (IPv4 or IPv6)
    std::string device;                       // --serial DEVICE
    std::uint32_t dwBaud = SIMC_DEFAULT_BAUD;
    bool bPace = false;                // --baud given: serial output paced to it
    std::uint16_t wCorruptPercent = 0; // share of serial frames with a broken checksum
    std::string captureFile;           // --capture FILE: every frame into a pcap file
    SimUnitConfig unit;
};

// Parses argv into rOptions; messages go to pErr. Returns SIMC_OPTIONS_*.
std::uint16_t SimParseOptions(int argc, char** argv, SimOptions& rOptions, std::FILE* pErr);
void SimPrintHelp(std::FILE* pOut); // the --help text
