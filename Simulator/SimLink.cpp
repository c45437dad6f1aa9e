// The link of the simulated unit, built from the tool's own link modules.
#include "Simulator/SimLink.h"

#include <array>
#include <cstdio>

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Platform/PltSerial.h"
#include "Runtime/Mds.h"
#include "Simulator/SimUnit.h"

namespace {

constexpr std::size_t kPathSize = 256;

SimOptions g_options;
bool g_bTcp = false;
bool g_bOpen = false;
std::uint8_t g_byListener = IPMC_NO_SESSION;
std::uint8_t g_bySession = IPMC_NO_SESSION; // the connected tool
PltHandle g_hPtyMaster = PLT_INVALID_HANDLE;
PltHandle g_hPtySlave = PLT_INVALID_HANDLE;

void Say(const char* pszText) {
    if (!g_options.unit.bQuiet) {
        std::printf("%s\n", pszText);
        std::fflush(stdout);
    }
}

void TcpEvent(std::uint16_t wEvent, std::uint8_t bySession) {
    switch (wEvent) {
    case IPMC_EVENT_CONNECTED: {
        g_bySession = bySession;
        std::uint8_t byChannel = MDSC_INVALID_ID;
        if (IpmGetChannelId(bySession, &byChannel) == 0) {
            SimUnitSetChannel(byChannel);
        }
        Say("tool connected");
        break;
    }
    case IPMC_EVENT_DISCONNECTED:
        Say("tool disconnected");
        break;
    case IPMC_EVENT_CONNECTION_LOST:
        Say("connection lost");
        if (bySession != g_byListener) {
            IpmClose(bySession);
        }
        if (bySession == g_bySession) {
            g_bySession = IPMC_NO_SESSION;
            SimUnitSetChannel(MDSC_INVALID_ID);
        }
        break;
    default:
        break;
    }
}

void SerialEvent(std::uint16_t wEvent, std::uint8_t /*byChannel*/) {
    if (wEvent == 1) {
        Say("RS232 connection established");
    } else if (wEvent == 2) {
        Say("RS232 connection lost");
    } else if (wEvent == 3) {
        Say("message lost after its retries");
    }
}

std::int32_t TcpProtocol(SimProtocol protocol) {
    switch (protocol) {
    case SimProtocol::Multi:
        return IPMC_PROTOCOL_MULTI;
    case SimProtocol::TcpTerminal:
        return IPMC_PROTOCOL_TERMINAL;
    default:
        return IPMC_PROTOCOL_OIP;
    }
}

std::uint16_t SerialProtocol(SimProtocol protocol) {
    switch (protocol) {
    case SimProtocol::Simple:
        return 1;
    case SimProtocol::SerialTerminal:
        return 0;
    default:
        return 2;
    }
}

std::uint16_t OpenTcp() {
    g_byListener = IpmOpen(g_options.wPort, nullptr, TcpProtocol(g_options.protocol), TcpEvent);
    if (g_byListener == IPMC_NO_SESSION) {
        std::fprintf(stderr, "talvo_sim: cannot listen on TCP port %u\n", g_options.wPort);
        return 1;
    }
    std::printf("listening on TCP port %u\n", g_options.wPort);
    std::fflush(stdout);
    return SimUnitStart(g_options.unit, MDSC_INVALID_ID, SimLinkCloseSession);
}

std::uint16_t OpenSerial() {
    if (g_options.transport == SimTransport::Pty) {
        std::array<char, kPathSize> path{};
        if (!PltPtyOpen(&g_hPtyMaster, &g_hPtySlave, path.data(), path.size())) {
            std::fprintf(stderr, "talvo_sim: cannot create a pseudo-terminal\n");
            return 1;
        }
        PltSerialAssign(SIMC_SERIAL_PORT, nullptr, g_hPtyMaster);
        std::printf("pty: %s\n", path.data());
    } else {
        PltSerialAssign(SIMC_SERIAL_PORT, g_options.device.c_str(), PLT_INVALID_HANDLE);
    }
    std::fflush(stdout);
    if (RsmOpen(SIMC_SERIAL_PORT, g_options.dwBaud, SerialProtocol(g_options.protocol),
                SerialEvent) != 0) {
        std::fprintf(stderr, "talvo_sim: cannot open the serial link\n");
        return 1;
    }
    if (g_options.bPace) {
        UasSetPacing(SIMC_SERIAL_PORT, g_options.dwBaud);
    }
    std::uint8_t byChannel = MDSC_SERIAL_CHANNEL_0;
    RsmGetChannelId(SIMC_SERIAL_PORT, &byChannel);
    return SimUnitStart(g_options.unit, byChannel, SimLinkCloseSession);
}

} // namespace

std::uint16_t SimLinkOpen(const SimOptions& options) {
    g_options = options;
    g_bTcp = options.transport == SimTransport::Tcp;
    const std::uint16_t wResult = g_bTcp ? OpenTcp() : OpenSerial();
    g_bOpen = wResult == 0;
    return wResult;
}

void SimLinkCloseSession() {
    Say("closing the connection");
    if (g_bTcp) {
        if (g_bySession != IPMC_NO_SESSION) {
            IpmClose(g_bySession);
            g_bySession = IPMC_NO_SESSION;
            SimUnitSetChannel(MDSC_INVALID_ID);
        }
    } else {
        RsmClose(SIMC_SERIAL_PORT);
    }
}

void SimLinkClose() {
    SimUnitStop();
    if (g_bTcp) {
        if (g_bySession != IPMC_NO_SESSION) {
            IpmClose(g_bySession);
        }
        if (g_byListener != IPMC_NO_SESSION) {
            IpmClose(g_byListener);
        }
        g_bySession = IPMC_NO_SESSION;
        g_byListener = IPMC_NO_SESSION;
    } else if (g_bOpen) {
        RsmClose(SIMC_SERIAL_PORT);
    }
    if (g_hPtySlave != PLT_INVALID_HANDLE) {
        PltHandleClose(g_hPtySlave);
        g_hPtySlave = PLT_INVALID_HANDLE;
    }
    g_hPtyMaster = PLT_INVALID_HANDLE; // the serial driver owns it after the open
    g_bOpen = false;
}
