// AppBatch: unattended runs. Batch mode (-B) runs the start-up script and ends by itself with a
// summary line and an exit status that tells whether every call was answered without error over a
// link that never failed; the answer time-out (-W) lets a script go on when its call is not
// answered; -t stamps what arrives with the time; -J writes the JSON Lines file (AppJson).
#pragma once

#include <cstdint>

constexpr std::uint32_t APPC_ANSWER_TIMEOUT_MAX = 3600;  // seconds of -W at most
constexpr std::uint32_t APPC_BATCH_DEFAULT_TIMEOUT = 30; // seconds of a batch run without -W
constexpr std::uint16_t APPC_EXIT_NO_LINK = 4;           // batch: the link never came
constexpr std::uint16_t APPC_EXIT_FAILURES = 5;          // batch: a call or the link failed
constexpr std::uint16_t APPC_EXIT_SIGNAL_BASE = 128;     // batch: interrupted, plus the signal

// Options of unattended runs: -B, -W<seconds>, -t, -J<file>.
enum class BatchOption {
    Other,   // not an option of this module
    Taken,   // applied
    Refused, // a bad value: its message is printed
};
[[nodiscard]] BatchOption BatchApplyOption(const char* pszArg);
// Checks the options together once all are read: 0, or 1 with a message printed.
[[nodiscard]] std::uint16_t BatchCheckOptions();

// Starts the time-out and batch task once the link is open. Returns true when the batch run takes
// the start-up line over: over TCP/IP it is delivered once the connection is up.
[[nodiscard]] bool BatchStart(bool bTcp);
void BatchProcess(); // one run of the task (type 3)
// After the scheduler stopped: a batch run prints its summary and sets the exit status; the JSON
// Lines file is closed. Nothing that happens later (the link's close) is counted.
void BatchFinish();

// Link events, as the link event callbacks receive them.
void BatchSerialEvent(std::uint16_t wEvent);
void BatchTcpEvent(std::uint16_t wEvent);

struct BatchCounts {
    std::uint32_t dwCalls = 0;        // RFS_REQUEST messages handed to the link
    std::uint32_t dwAnswered = 0;     // answers (RFS_RESPONSE) to those calls
    std::uint32_t dwErrorAnswers = 0; // answers with an error code other than 0, or none
    std::uint32_t dwTimeouts = 0;     // script waits ended by the answer time-out
    std::uint32_t dwLinkFailures = 0; // connection lost, message lost
};
BatchCounts BatchGetCounts();
bool BatchMode();                           // -B was given
std::uint32_t BatchAnswerTimeout();         // seconds of the answer time-out, 0 for none
std::uint16_t BatchExitStatus(int iSignal); // the status a batch run ends with now
void BatchResetForTest();
