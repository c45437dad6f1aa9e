// The main sequence of talvo_rc: brings the services up in their fixed order, opens the one link
// chosen by the options, runs the scheduler until EXIT and takes everything down again. Also holds
// the two link event callbacks, which print the connection messages to the response stream.
#include <cstdio>
#include <cstring>

#include "Application/AppBatch.h"
#include "Application/AppCmd.h"
#include "Application/AppComplete.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppIdle.h"
#include "Application/AppLink.h"
#include "Application/AppMain.h"
#include "Application/AppProtocol.h"
#include "Application/AppScript.h"
#include "Application/AppStamp.h"
#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trace.h"
#include "Runtime/Trm.h"

namespace {

void WriteEvent(const char* pszText) {
    StampWrite(AppResponseStream(), pszText);
    AppFlushResponseStream();
    TraceIdle();
}

// Event log lines go to the console, one per line.
int PrintLogLine(const char* pszText) {
    StampWrite(AppConsole(), pszText);
    std::fputc('\n', AppConsole());
    std::fflush(AppConsole());
    return 0;
}

bool IsTcpChannel(std::uint8_t byChannel) {
    return byChannel >= MDSC_TCPIP_SESSION_BASE && byChannel < MDSC_HIGHEST_CHANNEL_ID;
}

} // namespace

void AppSerialEvent(std::uint16_t wEvent, std::uint8_t /*byChannelId*/) {
    BatchSerialEvent(wEvent);
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
    BatchTcpEvent(wEvent);
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
    MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, CmdLineHandler);
    LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLogLine);

    if (AppLinkOpen() != 0) {
        return 1;
    }

    if (BatchStart(IsTcpChannel(AppLinkChannel()))) {
        return 0; // a batch run over TCP/IP delivers the start-up line once the link is up
    }
    const char* pszStartup = AppStartupLine();
    MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST,
                         static_cast<std::uint16_t>(std::strlen(pszStartup)),
                         reinterpret_cast<const std::uint8_t*>(pszStartup));
    return 0;
}

void AppClose() {
    ScriptStop();
    AppLinkClose();
    MdsDeregisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST);
    for (std::uint16_t wType = 0; wType <= 0xFF; ++wType) {
        if (MdsDeregisterMsgHandler(static_cast<std::uint8_t>(wType)) != 0) {
            break;
        }
    }
    ScriptCloseResfile();
    TraceClose();
    FnTabRelease();
}

int AppMain(int argc, char** argv) {
    // Answered before anything starts: no terminal mode, no definition file, no link.
    if (AppInfoOption(argc, argv)) {
        return 0;
    }

    OssInit();
    LogInit();
    static_cast<void>(UasInit()); // always 0
    static_cast<void>(IpsInit()); // cannot fail; a second start is reported by its check

    GpsTmrInit();
    MdsInit();
    TrmInit();
    static_cast<void>(RsmInit()); // always 0
    static_cast<void>(IpmInit()); // logs its own failure
    TrmOpen();
    AppConsoleSetUp();

    const std::uint16_t wStatus = AppParseOptions(argc, argv);
    if (wStatus != APPC_EXIT_OK) {
        OssExit(wStatus);
    } else if (AppOpenLink() != 0) {
        OssExit(APPC_EXIT_USAGE);
    }

    // The idle step sleeps on the descriptors' readiness, so the socket polls need not wait.
    OssSetIdleHandler(AppIdleWaitWithConsole);
    IpsSetPollTimeout(0);
    OssRun();
    OssSetIdleHandler(nullptr);
    BatchFinish(); // a batch run's summary and exit status, before the link's close

    AppClose();

    TrmClose();
    MdsClose();
    static_cast<void>(IpmTerminate()); // logs its own failures
    static_cast<void>(RsmTerminate()); // always 0
    TrmTerminate();
    GpsTmrTerminate();

    static_cast<void>(IpsTerminate()); // cannot fail
    static_cast<void>(UasTerminate()); // always 0
    LogTerminate();
    OssTerminate();

    return OssGetExitCode();
}
