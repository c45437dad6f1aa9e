// The link of the simulated unit, built from the tool's own link modules.
#include "Simulator/SimLink.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Platform/PltSerial.h"
#include "Platform/PltSocket.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Simulator/SimUnit.h"

namespace {

constexpr std::size_t kPathSize = 256;
constexpr std::size_t kPacedBacklog = 65536;    // bytes waiting for the paced line at most
constexpr std::uint32_t kWriteTimeoutMs = 1000; // longest wait for room on the device
constexpr std::uint32_t kBitsPerByte = 10;      // start bit, 8 data bits, stop bit
constexpr std::uint8_t kFrameSync = 0xC8;       // first byte of every Full-protocol frame

SimOptions g_options;
bool g_bTcp = false;
bool g_bOpen = false;
std::uint8_t g_byListener = IPMC_NO_SESSION;
std::uint8_t g_bySession = IPMC_NO_SESSION;  // the connected tool
PltHandle g_hDevice = PLTC_INVALID_HANDLE;   // the unit's end of the serial line
PltHandle g_hPtySlave = PLTC_INVALID_HANDLE; // kept open so the line never hangs up
std::vector<std::uint8_t> g_paced;           // bytes waiting for their line time
std::uint64_t g_qwPacedSent = 0;             // bytes the paced line has carried
std::uint32_t g_dwPaceStart = 0;             // clock when the line last went idle
std::uint16_t g_wPaceTask = OSSC_NO_THREAD;

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
            static_cast<void>(IpmClose(bySession)); // the manager logs a failed close
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

// ---- the unit's serial driver: the device or pseudo-terminal, with faults and pacing ----

void DeviceWrite(const std::uint8_t* pbyData, std::size_t wCount) {
    int iError = 0;
    (void)PltSerialWrite(g_hDevice, pbyData, wCount, kWriteTimeoutMs, nullptr, &iError);
}

// A paced line hands the device a few bytes at a time: it looks again within a millisecond.
void DeclarePaceDeadline() {
    if (!g_paced.empty()) {
        OssDeclareDeadlineIn(1);
    }
}

// Scheduler task of a paced line: hands the device as many bytes as the baud rate allows.
void PaceTask() {
    if (g_paced.empty()) {
        return;
    }
    DeclarePaceDeadline();
    const std::uint32_t dwElapsed = OssTimeSince(g_dwPaceStart);
    const std::uint64_t qwAllowed =
        static_cast<std::uint64_t>(dwElapsed) * g_options.dwBaud / kBitsPerByte / 1000U;
    if (qwAllowed <= g_qwPacedSent) {
        return;
    }
    const std::size_t wCount = static_cast<std::size_t>(
        std::min<std::uint64_t>(qwAllowed - g_qwPacedSent, g_paced.size()));
    DeviceWrite(g_paced.data(), wCount);
    g_paced.erase(g_paced.begin(), g_paced.begin() + static_cast<std::ptrdiff_t>(wCount));
    g_qwPacedSent += wCount;
    DeclarePaceDeadline();
}

std::uint16_t SimDriverOpen(std::uint8_t /*byComport*/, std::uint32_t dwBaudrate,
                            std::uint8_t byByteSize, std::uint8_t /*byStopBits*/,
                            std::uint8_t byParity) {
    if (g_hDevice == PLTC_INVALID_HANDLE) {
        int iError = 0;
        g_hDevice = PltSerialOpen(g_options.device.c_str(), &iError);
        if (g_hDevice == PLTC_INVALID_HANDLE) {
            std::fprintf(stderr, "talvo_sim: cannot open %s: error %d\n", g_options.device.c_str(),
                         iError);
            return UASC_OPEN_FAILED;
        }
        std::uint8_t byParityOn = 0;
        if (PltSerialConfigure(g_hDevice, dwBaudrate, byByteSize, byParity, &byParityOn) !=
            PltSerialConfig::Ok) {
            std::fprintf(stderr, "talvo_sim: cannot set up %s\n", g_options.device.c_str());
            PltHandleClose(g_hDevice);
            g_hDevice = PLTC_INVALID_HANDLE;
            return UASC_CONFIG_FAILED;
        }
    }
    if (g_options.bPace) {
        g_wPaceTask = OssCreateThread(PaceTask, OSSC_EVERY_PASS);
    }
    return 0;
}

std::uint16_t SimDriverClose(std::uint8_t /*byComport*/) {
    if (g_wPaceTask != OSSC_NO_THREAD) {
        static_cast<void>(OssDeleteThread(g_wPaceTask)); // the slot is the task's own
        g_wPaceTask = OSSC_NO_THREAD;
    }
    g_paced.clear();
    PltHandleClose(g_hDevice);
    g_hDevice = PLTC_INVALID_HANDLE;
    return 0;
}

// Every write of the protocols is one frame (or one piece of terminal text), so the faults of
// the line act on whole frames: a dropped frame never reaches the line, a corrupted one carries a
// wrong checksum (its last byte).
std::uint16_t SimDriverWrite(std::uint8_t /*byComport*/, std::uint16_t wCount,
                             const std::uint8_t* pbyData) {
    if (g_hDevice == PLTC_INVALID_HANDLE) {
        return UASC_ERROR;
    }
    if (SimUnitSilent()) {
        return 0;
    }
    std::vector<std::uint8_t> frame(pbyData, pbyData + wCount);
    if (SimUnitFaultsActive() && wCount > 0) {
        if (SimUnitDraw(g_options.unit.wDropPercent)) {
            return 0;
        }
        if (SimUnitDraw(g_options.wCorruptPercent)) {
            std::uint8_t& rLast = frame.back();
            rLast = static_cast<std::uint8_t>(rLast ^ 0x01);
            if (rLast == kFrameSync) {
                rLast = static_cast<std::uint8_t>(rLast ^ 0x03); // never a false frame start
            }
        }
    }
    if (!g_options.bPace) {
        DeviceWrite(frame.data(), frame.size());
        return 0;
    }
    if (g_paced.size() + frame.size() > kPacedBacklog) {
        return UASC_ERROR;
    }
    if (g_paced.empty()) {
        g_dwPaceStart = OssGetTime();
        g_qwPacedSent = 0;
    }
    g_paced.insert(g_paced.end(), frame.begin(), frame.end());
    PaceTask();
    return 0;
}

std::uint16_t SimDriverRead(std::uint8_t /*byComport*/, std::uint16_t wMax, std::uint8_t* pbyData,
                            std::uint16_t* pwCount) {
    *pwCount = 0;
    if (g_hDevice == PLTC_INVALID_HANDLE) {
        return UASC_ERROR;
    }
    int iError = 0;
    const long lCount = PltSerialRead(g_hDevice, pbyData, wMax, &iError);
    if (lCount == PLTC_SERIAL_HUNG_UP) {
        return UASC_HUNG_UP; // the manager reports the loss and reads the line no more
    }
    if (lCount < 0) {
        return UASC_ERROR;
    }
    *pwCount = static_cast<std::uint16_t>(lCount);
    return 0;
}

std::uint16_t SimDriverPurge(std::uint8_t /*byComport*/) {
    g_paced.clear();
    return PltSerialPurge(g_hDevice) ? 0 : UASC_ERROR;
}

std::uint8_t SimDriverIsOpen(std::uint8_t /*byComport*/) {
    return g_hDevice != PLTC_INVALID_HANDLE ? 1 : 0;
}

std::uint16_t SimDriverSetBaudrate(std::uint8_t /*byComport*/, std::uint32_t dwBaudrate) {
    return PltSerialSetBaudrate(g_hDevice, dwBaudrate) ? 0 : UASC_BAUDRATE_FAILED;
}

std::uint16_t SimDriverEnableNotify(std::uint8_t /*byComport*/, std::uint8_t /*bEnable*/) {
    return 0;
}

int SimDriverReadHandle(std::uint8_t /*byComport*/) {
    return g_hDevice;
}

const RsmDriverOps kSimDriver = {SimDriverOpen,        SimDriverClose,        SimDriverWrite,
                                 SimDriverRead,        SimDriverPurge,        SimDriverIsOpen,
                                 SimDriverSetBaudrate, SimDriverEnableNotify, SimDriverReadHandle};

std::uint16_t OpenTcp() {
    g_byListener = IpmOpenListener(g_options.wPort, g_options.listen.c_str(),
                                   TcpProtocol(g_options.protocol), TcpEvent);
    if (g_byListener == IPMC_NO_SESSION) {
        const int nError = PltSocketLastError();
        std::fprintf(stderr, "talvo_sim: cannot listen on TCP port %u of %s: %s\n", g_options.wPort,
                     g_options.listen.c_str(),
                     nError != 0 ? PltSocketErrorText(nError) : "the address is not usable here");
        return 1;
    }
    // With --port 0 the system chose the port: the line names the one in use.
    std::printf("listening on TCP port %u of %s\n",
                static_cast<unsigned>(IpmLocalPort(g_byListener)), g_options.listen.c_str());
    std::fflush(stdout);
    return SimUnitStart(g_options.unit, MDSC_INVALID_ID, SimLinkCloseSession);
}

std::uint16_t OpenSerial() {
    if (g_options.transport == SimTransport::Pty) {
        std::array<char, kPathSize> path{};
        if (!PltPtyOpen(&g_hDevice, &g_hPtySlave, path.data(), path.size())) {
            std::fprintf(stderr, "talvo_sim: cannot create a pseudo-terminal\n");
            return 1;
        }
        std::printf("pty: %s\n", path.data());
        std::fflush(stdout);
    }
    RsmSetDriver(&kSimDriver);
    if (RsmOpen(SIMC_SERIAL_PORT, g_options.dwBaud, SerialProtocol(g_options.protocol),
                SerialEvent) != 0) {
        std::fprintf(stderr, "talvo_sim: cannot open the serial link\n");
        return 1;
    }
    std::uint8_t byChannel = MDSC_SERIAL_CHANNEL_0;
    // The port was just opened: it has its channel; should it not, slot 0's stands.
    static_cast<void>(RsmGetChannelId(SIMC_SERIAL_PORT, &byChannel));
    // On the serial line the faults act on frames in the driver, not on whole answers.
    SimUnitConfig unit = g_options.unit;
    unit.wDropPercent = 0;
    return SimUnitStart(unit, byChannel, SimLinkCloseSession);
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
            static_cast<void>(IpmClose(g_bySession)); // the manager logs a failed close
            g_bySession = IPMC_NO_SESSION;
            SimUnitSetChannel(MDSC_INVALID_ID);
        }
    } else {
        // A refused close is logged by the manager; nothing is left to undo here.
        static_cast<void>(RsmClose(SIMC_SERIAL_PORT));
    }
}

void SimLinkClose() {
    SimUnitStop();
    if (g_bTcp) {
        if (g_bySession != IPMC_NO_SESSION) {
            static_cast<void>(IpmClose(g_bySession)); // the manager logs a failed close
        }
        if (g_byListener != IPMC_NO_SESSION) {
            static_cast<void>(IpmClose(g_byListener)); // the manager logs a failed close
        }
        g_bySession = IPMC_NO_SESSION;
        g_byListener = IPMC_NO_SESSION;
    } else if (g_bOpen) {
        // A refused close is logged by the manager; nothing is left to undo here.
        static_cast<void>(RsmClose(SIMC_SERIAL_PORT));
    }
    if (g_hDevice != PLTC_INVALID_HANDLE) {
        SimDriverClose(SIMC_SERIAL_PORT);
    }
    PltHandleClose(g_hPtySlave);
    g_hPtySlave = PLTC_INVALID_HANDLE;
    RsmSetDriver(nullptr);
    g_bOpen = false;
}
