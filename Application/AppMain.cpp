// The main sequence of talvo_rc: brings the services up in their fixed order, opens the one link
// chosen by the options, runs the scheduler until EXIT and takes everything down again. Also holds
// the two link event callbacks, which print the connection messages to the response stream.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Application/AppCmd.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppLink.h"
#include "Application/AppMain.h"
#include "Application/AppProtocol.h"
#include "Application/AppScript.h"
#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Platform/PltWait.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trm.h"

namespace {

void WriteEvent(const char* pszText) {
    std::fputs(pszText, AppResponseStream());
    std::fflush(AppResponseStream());
}

// Event log lines go to the console, one per line.
int PrintLogLine(const char* pszText) {
    std::fprintf(AppConsole(), "%s\n", pszText);
    std::fflush(AppConsole());
    return 0;
}

// Idle step of the scheduler loop, once every four passes. After a round in which a message was
// sent or received it returns at once, since a script or a protocol may go on right away.
// Otherwise it sleeps until a key, a byte from the serial line or data on a session socket
// arrives, or until the next software timer is due, at most OSSC_IDLE_MAX_WAIT_MS.
void IdleWait() {
    static std::uint32_t dwLastActivity = 0;
    const std::uint32_t dwActivity = MdsActivityCount();
    if (dwActivity != dwLastActivity) {
        dwLastActivity = dwActivity;
        return;
    }
    // A task late in the pass may have printed; nothing waits in a stdio buffer while we sleep.
    std::fflush(AppConsole());
    std::fflush(AppResponseStream());
    PltWaitSet waitSet;
    bool bComplete = PltWaitAdd(waitSet, TrmInputDescriptor());
    RsmAddWaitHandles(waitSet);
    IpmAddWaitHandles(waitSet);
    bComplete = bComplete && waitSet.wCount < PLTC_MAX_WAIT_HANDLES;
    const std::uint32_t dwTimeout =
        bComplete ? std::min(OSSC_IDLE_MAX_WAIT_MS, GpsTmrTimeToNextExpiry()) : 1;
    PltWaitReadable(waitSet, dwTimeout);
}

} // namespace

void AppSerialEvent(std::uint16_t wEvent, std::uint8_t /*byChannelId*/) {
    switch (wEvent) {
    case 1:
        WriteEvent("\n  RS232 Connection Established ....\n");
        break;
    case 2:
        WriteEvent("\n  .... RS232 Connection Lost.\n");
        break;
    case 3:
        WriteEvent("Message Lost (even after retries).\n");
        break;
    default:
        break;
    }
    AppLinkSerialEvent(wEvent);
}

void AppTcpEvent(std::uint16_t wEvent, std::uint8_t bySession) {
    switch (wEvent) {
    case 0:
        WriteEvent("\n  TCP/IP Connection Established ....\n");
        break;
    case 1:
        WriteEvent("\n  .... TCP/IP Connection Lost.\n");
        break;
    case 2:
        WriteEvent("Message Lost (even after retries).\n");
        break;
    default:
        break;
    }
    AppLinkTcpEvent(wEvent, bySession); // a lost connection is closed there
}

std::uint16_t AppOpenLink() {
    MdsRegisterMsgHandler(APPC_MSG_TERMINAL_REQUEST, CmdLineHandler);
    LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLogLine);

    if (AppLinkOpen() != 0) {
        return 1;
    }

    const char* pszStartup = AppStartupLine();
    MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, APPC_MSG_TERMINAL_REQUEST,
                         static_cast<std::uint16_t>(std::strlen(pszStartup)),
                         reinterpret_cast<const std::uint8_t*>(pszStartup));
    return 0;
}

void AppClose() {
    ScriptStop();
    AppLinkClose();
    MdsDeregisterMsgHandler(APPC_MSG_TERMINAL_REQUEST);
    for (std::uint16_t wType = 0; wType <= 0xFF; ++wType) {
        if (MdsDeregisterMsgHandler(static_cast<std::uint8_t>(wType)) != 0) {
            break;
        }
    }
    ScriptCloseResfile();
    FnTabRelease();
}

int AppMain(int argc, char** argv) {
    OssInit();
    LogInit();
    UasInit();
    IpsInit();

    GpsTmrInit();
    MdsInit();
    TrmInit();
    RsmInit();
    IpmInit();
    TrmOpen();

    const std::uint16_t wStatus = AppParseOptions(argc, argv);
    if (wStatus != APPC_EXIT_OK) {
        OssExit(wStatus);
    } else if (AppOpenLink() != 0) {
        OssExit(APPC_EXIT_USAGE);
    }

    // The idle step sleeps on the descriptors' readiness, so the socket polls need not wait.
    OssSetIdleHandler(IdleWait);
    IpsSetPollTimeout(0);
    OssRun();
    OssSetIdleHandler(nullptr);

    AppClose();

    TrmClose();
    MdsClose();
    IpmTerminate();
    RsmTerminate();
    TrmTerminate();
    GpsTmrTerminate();

    IpsTerminate();
    UasTerminate();
    LogTerminate();
    OssTerminate();

    return OssGetExitCode();
}
