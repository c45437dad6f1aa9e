// talvo_sim: a stand-in for the TALVO unit. Answers the tool's remote calls by the definition
// file over TCP or a serial line (or a pseudo-terminal it creates), with optional faults.
#include <cstdio>

#include "Application/AppFnTab.h"
#include "Application/AppIdle.h"
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

    OssInit();
    LogInit();
    static_cast<void>(UasInit()); // always 0
    static_cast<void>(IpsInit()); // cannot fail; a second start is reported by its check
    GpsTmrInit();
    MdsInit();
    static_cast<void>(RsmInit()); // always 0
    static_cast<void>(IpmInit()); // logs its own failure
    LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLogLine);
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
    } else {
        OssCreateThread(StopTask, OSSC_EVERY_FOURTH_PASS);
        OssSetIdleHandler(AppIdleWait); // sleeps on readiness: the socket polls need not wait
        IpsSetPollTimeout(0);
        OssRun();
        OssSetIdleHandler(nullptr);
    }

    SimLinkClose();
    TraceClose();
    FnTabRelease();
    static_cast<void>(IpmTerminate()); // logs its own failures
    static_cast<void>(RsmTerminate()); // always 0
    GpsTmrTerminate();
    static_cast<void>(IpsTerminate()); // cannot fail
    static_cast<void>(UasTerminate()); // always 0
    LogTerminate();
    OssTerminate();
    AppSetConsole(nullptr);
    if (pDiscard != nullptr) {
        std::fclose(pDiscard);
    }
    return iExit;
}
