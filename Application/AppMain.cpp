// The main sequence of talvo_rc: brings the services up in their fixed order, reads the options
// and the definition files, opens the one link chosen by the options, runs the scheduler until
// EXIT and takes everything down again. Also holds the two link event callbacks, which print the
// connection messages to the response stream.
#include "Application/AppMain.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

#include "Application/AppBatch.h"
#include "Application/AppCmd.h"
#include "Application/AppCmdArgs.h"
#include "Application/AppComplete.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppIdle.h"
#include "Application/AppLink.h"
#include "Application/AppOptions.h"
#include "Application/AppRfc.h"
#include "Application/AppScript.h"
#include "Application/AppStamp.h"
#include "Application/AppSteps.h"
#include "Application/AppStreams.h"
#include "Application/AppTrace.h"
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

// After the scheduler and the log: the services in their fixed order, the console last.
constexpr std::array<AppStep, 8> APPC_START_STEPS{{
    {"UasInit", UasInit},
    {"IpsInit", IpsInit},
    {"GpsTmrInit", GpsTmrInit},
    {"MdsInit", MdsInit},
    {"TrmInit", TrmInit},
    {"RsmInit", RsmInit},
    {"IpmInit", IpmInit},
    {"TrmOpen", TrmOpen},
}};

// After the application's close: the console first, the log and the scheduler last (a failure
// of OssTerminate is no longer kept: the log is off by then).
constexpr std::array<AppStep, 10> APPC_STOP_STEPS{{
    {"TrmClose", TrmClose},
    {"MdsClose", MdsClose},
    {"IpmTerminate", IpmTerminate},
    {"RsmTerminate", RsmTerminate},
    {"TrmTerminate", TrmTerminate},
    {"GpsTmrTerminate", GpsTmrTerminate},
    {"IpsTerminate", IpsTerminate},
    {"UasTerminate", UasTerminate},
    {"LogTerminate", LogTerminate},
    {"OssTerminate", OssTerminate},
}};

// Registers the generic display for every message type, up to the first the dispatcher refuses.
void RegisterGenericHandlers() {
    for (std::uint16_t wType = 0;; ++wType) {
        if (wType > 0xFF ||
            MdsRegisterMsgHandler(static_cast<std::uint8_t>(wType), MsgGenericHandler) != 0) {
            break;
        }
    }
}

// Loads the definition files and opens the capture: the exit status to go on with.
std::uint16_t LoadDefinitions() {
    switch (FnTabLoad(AppDefinitionFiles())) {
    case APPC_LOAD_OK:
        // The capture starts with the function table, so it opens once the table is loaded.
        if (AppCaptureFile()[0] != '\0' && AppTraceOpen(AppCaptureFile(), "talvo_rc") != 0) {
            return APPC_EXIT_USAGE;
        }
        return APPC_EXIT_OK;
    case APPC_LOAD_ALLOCATION:
        AppPrintUsage();
        return APPC_EXIT_ALLOCATION;
    default:
        return APPC_EXIT_DEFINITIONS;
    }
}

// Applies one argument; an option letter of no other module goes to the batch run's. False when
// the argument is refused (its message and the usage text are printed).
bool ApplyArgument(const char* pszArg) {
    switch (AppApplyArgument(pszArg)) {
    case AppArgument::Taken:
        return true;
    case AppArgument::Refused:
        return false;
    case AppArgument::Other:
        break;
    }
    if (BatchApplyOption(pszArg) == BatchOption::Taken) {
        return true; // -B, -W, -t, -J
    }
    AppPrintUsage();
    return false;
}

// The link event callbacks: the batch run counts the event, the response stream shows it, and the
// link acts on it.
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

} // namespace

std::uint16_t AppParseOptions(int argc, char** argv) {
    AppSetResponseStream(nullptr);
    AppPrintBanner();

    for (int i = 1; i < argc; ++i) {
        if (!ApplyArgument(argv[i])) {
            return APPC_EXIT_USAGE;
        }
    }
    if (AppKeepCase()) {
        RfcSetKeepCase(true);
    }
    if (BatchCheckOptions() != 0) {
        AppPrintUsage();
        return APPC_EXIT_USAGE;
    }
    RegisterGenericHandlers();
    return LoadDefinitions();
}

std::uint16_t AppOpenLink() {
    AppCheckStep("AppMain", "MdsRegisterMsgHandler",
                 MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, CmdLineHandler));
    AppCheckStep("AppMain", "LogSetRoute", LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLogLine));

    AppLinkSetEventCallbacks(AppSerialEvent, AppTcpEvent);
    if (AppLinkOpen() != 0) {
        return 1;
    }

    if (BatchStart(IsTcpChannel(AppLinkChannel()))) {
        return 0; // a batch run over TCP/IP delivers the start-up line once the link is up
    }
    CmdDeliverLine(AppStartupLine());
    return 0;
}

void AppClose() {
    ScriptStop();
    AppLinkClose();
    AppCheckStep("AppMain", "MdsDeregisterMsgHandler",
                 MdsDeregisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST));
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

    // The log starts second: a failed OssInit is kept once the log is up.
    const std::uint16_t wOss = OssInit();
    const std::uint16_t wLog = LogInit();
    AppCheckStep("AppMain", "OssInit", wOss);
    AppCheckStep("AppMain", "LogInit", wLog);
    AppRunSteps("AppMain", APPC_START_STEPS);
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

    AppRunSteps("AppMain", APPC_STOP_STEPS);

    return OssGetExitCode();
}

void AppResetForTest() {
    AppResetStreamsForTest();
    AppLinkResetForTest();
    AppOptionsResetForTest();
    RfcSetKeepCase(false);
}
