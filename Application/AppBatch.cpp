// Unattended runs: the options -B, -W, -t and -J, the task that bounds the wait for the link and
// for each answer and ends a batch run with its script, the counts of the summary line, and the
// observers that feed the JSON Lines file.
#include "Application/AppBatch.h"
#include "Application/AppCmdArgs.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>

#include "Application/AppDecode.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppJson.h"
#include "Application/AppLink.h"
#include "Application/AppOptions.h"
#include "Application/AppRfc.h"
#include "Application/AppScript.h"
#include "Application/AppStamp.h"
#include "Application/AppStreams.h"
#include "Platform/PltConsole.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint16_t APPC_BATCH_TASK_TYPE =
    OSSC_EVERY_FOURTH_PASS; // every fourth pass, like the script task
constexpr std::uint32_t APPC_MS_PER_SECOND = 1000;
constexpr std::size_t APPC_BATCH_LINE_SIZE = 160; // one time-out line

enum class Phase {
    Idle,        // no batch run, or not started yet
    WaitingLink, // batch over TCP/IP: the start-up line waits for the connection
    Running,     // the script runs
    Done,        // the batch run asked the scheduler to stop
};

bool g_bBatch = false;
std::uint32_t g_dwTimeoutOption = 0; // -W, 0 when not given
std::uint16_t g_wTask = OSSC_NO_THREAD;
Phase g_tPhase = Phase::Idle;
std::uint32_t g_dwPhaseSince = 0; // service clock at the start of the wait for the link
bool g_bTcpUp = false;            // the TCP/IP connection is established
bool g_bScriptSeen = false;       // the start-up script was seen running
bool g_bSerialWait = false;       // a serial link that could not be opened is waited for (-R)
bool g_bNoLink = false;           // the link never came
bool g_bFinished = false;         // the summary is taken: nothing more is counted
BatchCounts g_tCounts;
std::map<std::uint16_t, std::uint32_t> g_awaited; // calls sent and not answered, by FnId

std::FILE* Con() {
    return AppConsole();
}

// Reads -W's seconds: whole decimal, 1 to APPC_ANSWER_TIMEOUT_MAX. 0 for anything else.
std::uint32_t ReadSeconds(const char* pszText) {
    std::uint32_t dwSeconds = 0;
    if (*pszText == '\0') {
        return 0;
    }
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        dwSeconds = dwSeconds * 10 + static_cast<std::uint32_t>(*p - '0');
        if (dwSeconds > APPC_ANSWER_TIMEOUT_MAX) {
            return 0;
        }
    }
    return dwSeconds;
}

void LinkFailure(const char* pszEvent) {
    if (g_bFinished) {
        return;
    }
    ++g_tCounts.dwLinkFailures;
    JsonWriteEvent(pszEvent);
}

void OnSend(std::uint8_t byMsgType, std::uint16_t wLength, const std::uint8_t* pbyData,
            bool bSent) {
    if (JsonIsOpen()) {
        JsonWriteMessage("tx", MsgDecode(nullptr, byMsgType, wLength, pbyData), bSent);
    }
    if (byMsgType == MDSC_MSG_RFS_REQUEST && wLength >= 2 && !g_bFinished) {
        ++g_tCounts.dwCalls;
        ++g_awaited[static_cast<std::uint16_t>(pbyData[0] | (pbyData[1] << 8))];
    }
}

void OnReceive(const MsgDecoded& decoded) {
    JsonWriteMessage("rx", decoded);
    if (decoded.byMsgType != MDSC_MSG_RFS_RESPONSE || !decoded.bHasFnId || g_bFinished) {
        return;
    }
    const auto it = g_awaited.find(decoded.wFnId);
    if (it == g_awaited.end()) {
        return; // no call of ours waits for it (or its wait timed out)
    }
    if (--it->second == 0) {
        g_awaited.erase(it);
    }
    ++g_tCounts.dwAnswered;
    // An answer without its error code does not say that the call succeeded.
    if (!decoded.bHasError || decoded.wError != 0) {
        ++g_tCounts.dwErrorAnswers;
    }
}

void DeliverStartupLine() {
    const char* pszStartup = AppStartupLine();
    CmdDeliverLine(pszStartup);
}

// The script's call had no answer in time: the script goes on with its next line.
void CheckAnswerTimeout() {
    const std::uint32_t dwTimeout = BatchAnswerTimeout();
    const std::uint16_t wFnId = GetPendingFnId();
    if (dwTimeout == 0 || wFnId == APPC_NO_FNID) {
        return;
    }
    if (OssTimeSince(GetPendingSince()) < dwTimeout * APPC_MS_PER_SECOND) {
        OssDeclareDeadline(GetPendingSince() + dwTimeout * APPC_MS_PER_SECOND);
        return;
    }
    const FunctionRecord* ptRecord = FnTabFindByFnId(wFnId);
    std::array<char, APPC_BATCH_LINE_SIZE> szLine{};
    std::snprintf(szLine.data(), szLine.size(), "\nNo answer to 0x%04X (%.64s) within %u s\n",
                  static_cast<unsigned>(wFnId), ptRecord != nullptr ? ptRecord->name.c_str() : "?",
                  static_cast<unsigned>(dwTimeout));
    StampWrite(AppResponseStream(), szLine.data());
    std::fflush(AppResponseStream());
    JsonWriteNoAnswer(wFnId, dwTimeout);
    if (!g_bFinished) {
        ++g_tCounts.dwTimeouts;
        // A late answer is no longer the answer the script waited for.
        const auto it = g_awaited.find(wFnId);
        if (it != g_awaited.end() && --it->second == 0) {
            g_awaited.erase(it);
        }
    }
    SetPendingFnId(APPC_NO_FNID);
}

} // namespace

BatchOption BatchApplyOption(const char* pszArg) {
    const char* pszValue = pszArg + 2;
    switch (pszArg[1]) {
    case 'B':
    case 'b':
        if (*pszValue != '\0') {
            return BatchOption::Other; // the usage text follows
        }
        g_bBatch = true;
        return BatchOption::Taken;
    case 'T':
    case 't':
        if (*pszValue != '\0') {
            return BatchOption::Other;
        }
        StampEnable(true);
        return BatchOption::Taken;
    case 'W':
    case 'w':
        g_dwTimeoutOption = ReadSeconds(pszValue);
        if (g_dwTimeoutOption == 0) {
            std::fprintf(Con(), "Answer time-out must be 1 to %u seconds: %.20s\n",
                         static_cast<unsigned>(APPC_ANSWER_TIMEOUT_MAX), pszArg);
            return BatchOption::Refused;
        }
        return BatchOption::Taken;
    case 'J':
    case 'j':
        if (*pszValue == '\0' || !JsonOpen(pszValue)) {
            std::fprintf(Con(), "Can't open JSON file : %s\n", pszValue);
            return BatchOption::Refused;
        }
        return BatchOption::Taken;
    default:
        return BatchOption::Other;
    }
}

std::uint16_t BatchCheckOptions() {
    if (g_bBatch && AppStartupLine()[0] == '\0') {
        std::fputs("Batch mode (-B) needs a script file\n", Con());
        return 1;
    }
    return 0;
}

bool BatchStart(bool bTcp) {
    RfcSetSendObserver(OnSend);
    MsgSetReceiveObserver(OnReceive);
    if (g_bBatch || g_dwTimeoutOption != 0) {
        g_wTask = OssCreateThread(BatchProcess, APPC_BATCH_TASK_TYPE);
    }
    if (!g_bBatch) {
        return false;
    }
    if (g_wTask == OSSC_NO_THREAD) {
        // Without its task a batch run could neither end nor bound its waits.
        std::fputs("OssThread for the batch run not started !!\n", Con());
        g_tPhase = Phase::Done;
        OssExit(APPC_EXIT_FAILURES);
        return true;
    }
    g_dwPhaseSince = OssGetTime();
    if (!bTcp && AppLinkGetState() == AppLinkState::Down) {
        // The serial port did not open (its line is printed). Without -R it never will.
        if (!AppReconnect()) {
            g_bNoLink = true;
            g_tPhase = Phase::Done;
            OssExit(APPC_EXIT_NO_LINK);
            return true;
        }
        g_bSerialWait = true;
        g_tPhase = Phase::WaitingLink;
        return true;
    }
    g_tPhase = bTcp ? Phase::WaitingLink : Phase::Running;
    return bTcp;
}

void BatchProcess() {
    if (g_tPhase == Phase::WaitingLink) {
        const std::uint32_t dwLimit = BatchAnswerTimeout() * APPC_MS_PER_SECOND;
        if (g_bTcpUp || (g_bSerialWait && AppLinkGetState() == AppLinkState::Up)) {
            g_tPhase = Phase::Running;
            DeliverStartupLine();
        } else if (OssTimeSince(g_dwPhaseSince) < dwLimit) {
            OssDeclareDeadline(g_dwPhaseSince + dwLimit); // the idle step wakes to give up
        } else {
            std::fprintf(Con(), "No connection to %s within %u s\n",
                         g_bSerialWait ? "the serial port" : AppHost(),
                         static_cast<unsigned>(BatchAnswerTimeout()));
            std::fflush(Con());
            g_bNoLink = true;
            g_tPhase = Phase::Done;
            OssExit(APPC_EXIT_NO_LINK);
        }
        return;
    }
    CheckAnswerTimeout();
    if (g_tPhase == Phase::Running) {
        if (ScriptIsRunning()) {
            g_bScriptSeen = true;
        } else {
            // The script reached its end, was ended by SCRIPT, or never opened.
            g_tPhase = Phase::Done;
            OssExit(0);
        }
    }
}

void BatchFinish() {
    // A run that stopped before its link was opened (a bad option) has nothing to sum up.
    if (g_bBatch && g_tPhase != Phase::Idle && !g_bFinished) {
        const BatchCounts& c = g_tCounts;
        std::fprintf(Con(),
                     "\nSummary: %u calls, %u answered, %u error answers, %u without answer, %u "
                     "link failures\n",
                     static_cast<unsigned>(c.dwCalls), static_cast<unsigned>(c.dwAnswered),
                     static_cast<unsigned>(c.dwErrorAnswers),
                     static_cast<unsigned>(c.dwCalls - c.dwAnswered),
                     static_cast<unsigned>(c.dwLinkFailures));
        std::fflush(Con());
        OssExit(BatchExitStatus(PltConsoleStopSignal()));
    }
    g_bFinished = true;
    if (g_wTask != OSSC_NO_THREAD) {
        static_cast<void>(OssDeleteThread(g_wTask)); // the slot is the task's own
        g_wTask = OSSC_NO_THREAD;
    }
    JsonClose();
}

void BatchSerialEvent(std::uint16_t wEvent) {
    switch (wEvent) {
    case 1:
        JsonWriteEvent("connection_established");
        break;
    case 2:
        LinkFailure("connection_lost");
        break;
    case 3:
        LinkFailure("message_lost");
        break;
    default:
        break;
    }
}

void BatchTcpEvent(std::uint16_t wEvent) {
    switch (wEvent) {
    case 0:
        g_bTcpUp = true;
        JsonWriteEvent("connection_established");
        break;
    case 1:
    case 3:
        // A lost connection is reported as 3 and again as 1 when the session is closed: once.
        if (g_bTcpUp) {
            g_bTcpUp = false;
            LinkFailure("connection_lost");
        }
        break;
    case 2:
        LinkFailure("message_lost");
        break;
    default:
        break;
    }
}

BatchCounts BatchGetCounts() {
    return g_tCounts;
}

bool BatchMode() {
    return g_bBatch;
}

std::uint32_t BatchAnswerTimeout() {
    if (g_dwTimeoutOption != 0) {
        return g_dwTimeoutOption;
    }
    return g_bBatch ? APPC_BATCH_DEFAULT_TIMEOUT : 0;
}

std::uint16_t BatchExitStatus(int iSignal) {
    if (iSignal > 0) {
        return static_cast<std::uint16_t>(APPC_EXIT_SIGNAL_BASE + iSignal);
    }
    if (g_bNoLink) {
        return APPC_EXIT_NO_LINK;
    }
    const BatchCounts& c = g_tCounts;
    const bool bClean = g_bScriptSeen && c.dwCalls == c.dwAnswered && c.dwErrorAnswers == 0 &&
                        c.dwTimeouts == 0 && c.dwLinkFailures == 0;
    return bClean ? 0 : APPC_EXIT_FAILURES;
}

void BatchResetForTest() {
    g_bBatch = false;
    g_dwTimeoutOption = 0;
    g_wTask = OSSC_NO_THREAD; // the scheduler is reset by the test itself
    g_tPhase = Phase::Idle;
    g_dwPhaseSince = 0;
    g_bTcpUp = false;
    g_bScriptSeen = false;
    g_bNoLink = false;
    g_bSerialWait = false;
    g_bFinished = false;
    g_tCounts = BatchCounts{};
    g_awaited.clear();
    RfcSetSendObserver(nullptr);
    MsgSetReceiveObserver(nullptr);
    StampEnable(false);
    JsonClose();
}
