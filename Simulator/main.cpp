// talvo_sim: a stand-in for the TALVO unit. Answers the tool's remote calls by the definition
// file over TCP or a serial line (or a pseudo-terminal it creates), with optional faults.
#include <cstdio>

#include "Application/AppFnTab.h"
#include "Application/AppIdle.h"
#include "Application/AppSteps.h"
#include "Application/AppStreams.h"
#include "Application/AppTrace.h"
#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Platform/PltConsole.h"
#include "Platform/PltFile.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trace.h"
#include "Simulator/SimLink.h"
#include "Simulator/SimOptions.h"

namespace {

// Ctrl-C and SIGTERM only raise a flag; this task turns it into the normal shut-down.
void StopTask() {
    if (PltConsoleStopSignal() != 0) {
        OssExit(0);
    }
}

int PrintLogLine(const char* pszText) {
    std::fprintf(stderr, "%s\n", pszText);
    return 0;
}

std::uint16_t RouteLog() {
    return LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLogLine);
}

// After the scheduler and the log: the services the unit's links are built on.
constexpr AppStep SIMC_START_STEPS[] = {
    {"UasInit", UasInit}, {"IpsInit", IpsInit}, {"GpsTmrInit", GpsTmrInit}, {"MdsInit", MdsInit},
    {"RsmInit", RsmInit}, {"IpmInit", IpmInit}, {"LogSetRoute", RouteLog},
};

// After the links are closed, the log and the scheduler last (a failure of OssTerminate is no
// longer kept: the log is off by then).
constexpr AppStep SIMC_STOP_STEPS[] = {
    {"IpmTerminate", IpmTerminate},       {"RsmTerminate", RsmTerminate},
    {"GpsTmrTerminate", GpsTmrTerminate}, {"IpsTerminate", IpsTerminate},
    {"UasTerminate", UasTerminate},       {"LogTerminate", LogTerminate},
    {"OssTerminate", OssTerminate},
};

} // namespace

int main(int argc, char** argv) {
    SimOptions options;
    const std::uint16_t wParse = SimParseOptions(argc, argv, options, stderr);
    if (wParse == SIMC_OPTIONS_HELP) {
        return 0;
    }
    if (wParse != SIMC_OPTIONS_RUN) {
        return 2;
    }

    // The log starts second: a failed OssInit is kept once the log is up.
    const std::uint16_t wOss = OssInit();
    AppCheckStep("talvo_sim", "LogInit", LogInit());
    AppCheckStep("talvo_sim", "OssInit", wOss);
    AppRunSteps("talvo_sim", SIMC_START_STEPS);
    PltConsoleCatchStopSignals();

    // The unit prints nothing of the table's loading unless asked to talk.
    std::FILE* pDiscard = options.unit.bQuiet ? PltFileOpenNull() : nullptr;
    AppSetConsole(pDiscard != nullptr ? pDiscard : stderr);
    AppSetResponseStream(options.unit.bQuiet ? AppConsole() : stdout);
    int iExit = 0;
    if (FnTabLoad(options.definitionFile.c_str()) != APPC_LOAD_OK) {
        std::fprintf(stderr, "talvo_sim: cannot load the definition file %s\n",
                     options.definitionFile.c_str());
        iExit = 1;
    } else if (!options.captureFile.empty() &&
               AppTraceOpen(options.captureFile.c_str(), "talvo_sim") != 0) {
        std::fprintf(stderr, "talvo_sim: cannot open the capture file %s\n",
                     options.captureFile.c_str());
        iExit = 1;
    } else if (SimLinkOpen(options) != 0) {
        iExit = 1;
    } else if (const std::uint16_t wStopTask = OssCreateThread(StopTask, OSSC_EVERY_FOURTH_PASS);
               wStopTask == OSSC_NO_THREAD) {
        std::fprintf(stderr, "talvo_sim: no scheduler slot for the stop task\n");
        iExit = 1;
    } else {
        OssSetIdleHandler(AppIdleWait); // sleeps on readiness: the socket polls need not wait
        IpsSetPollTimeout(0);
        OssRun();
        OssSetIdleHandler(nullptr);
        AppCheckStep("talvo_sim", "OssDeleteThread", OssDeleteThread(wStopTask));
    }

    SimLinkClose();
    TraceClose();
    FnTabRelease();
    AppRunSteps("talvo_sim", SIMC_STOP_STEPS);
    AppSetConsole(nullptr);
    if (pDiscard != nullptr) {
        std::fclose(pDiscard);
    }
    return iExit;
}
