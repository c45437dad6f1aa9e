// Console keyboard and output on POSIX: poll() and one-byte read() on standard input, termios raw
// input for a terminal, stdio for the output.
#include "Platform/PltConsole.h"
#include "Platform/PltConsoleInput.h"
#include "Platform/PltWait.h"
#include "Platform/Posix/PltSys.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The signals that ask the program to stop cleanly (Ctrl-C, Ctrl-\\), then the two of Ctrl-Z
// and fg.
constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
constexpr std::size_t handledSignalCount = sizeof(handledSignals) / sizeof(handledSignals[0]);

int inputFd = STDIN_FILENO;
std::FILE* outStream = nullptr; // nullptr: standard output

bool consoleOpen = false;

// Terminal state, also read by the signal handlers and the exit handler.
termios savedModes{};
termios rawModes{};
std::atomic<int> rawFd{-1};       // descriptor in raw mode, -1 when none
std::atomic<int> suspendedFd{-1}; // raw descriptor handed back to the shell during Ctrl-Z
bool exitHandlerRegistered = false;

std::atomic<int> stopSignal{0};
std::atomic<bool> resumed{false}; // continued after Ctrl-Z since the last look
struct sigaction savedActions[handledSignalCount];
struct sigaction savedPipeAction;
bool pipeIgnored = false;
static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free flag");

std::FILE* Out() {
    return outStream != nullptr ? outStream : stdout;
}

// Async-signal-safe: one tcsetattr with modes saved before the handler was installed.
void RestoreTerminal() {
    const int fd = rawFd.exchange(-1);
    if (fd >= 0) {
        PltSysTable().pfTcsetattr(fd, TCSANOW, &savedModes);
    }
}

void RestoreAtExit() {
    RestoreTerminal();
}

void OnStopSignal(int iSignal) {
    int expected = 0;
    if (stopSignal.compare_exchange_strong(expected, iSignal)) {
        PltWaitWake(); // an idle program may be asleep in another thread's signal
        return;        // the program sees the request and shuts down normally
    }
    // The first request is still pending: the program does not react, so end it now, but never
    // leave the terminal raw. The signal is blocked while this handler runs and ends the process
    // with its default action once the handler returns.
    RestoreTerminal();
    std::signal(iSignal, SIG_DFL);
    std::raise(iSignal);
}

void OnSuspend(int iSignal);

// Raw input again after a stop, and the next Ctrl-Z caught again.
void Resume() {
    const int fd = suspendedFd.exchange(-1);
    if (fd >= 0 && PltSysTable().pfTcsetattr(fd, TCSANOW, &rawModes) == 0) {
        rawFd.store(fd);
    }
    resumed.store(true);
    struct sigaction action = {};
    action.sa_handler = OnSuspend;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTSTP, &action, nullptr);
}

// Ctrl-Z: the shell gets its terminal modes back while the program is stopped. The stop happens
// inside this handler, so that the program takes raw input back whether it was stopped and
// continued, or the stop was discarded (a shell without job control): the terminal is never left
// cooked while the program reads raw keys.
void OnSuspend(int iSignal) {
    const int fd = rawFd.exchange(-1);
    if (fd >= 0) {
        PltSysTable().pfTcsetattr(fd, TCSANOW, &savedModes);
        suspendedFd.store(fd);
    }
    std::signal(iSignal, SIG_DFL);
    std::raise(iSignal); // pending: the signal is blocked while its handler runs
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, iSignal);
    sigset_t previous;
    pthread_sigmask(SIG_UNBLOCK, &stop, &previous); // stops here, or the stop is discarded
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    Resume();
}

// Back from a stop: raw input again, and the next Ctrl-Z is caught again.
void OnContinue(int /*iSignal*/) {
    Resume();
}

void EnterRawMode() {
    if (PltSysTable().pfIsatty(inputFd) != 1 ||
        PltSysTable().pfTcgetattr(inputFd, &savedModes) != 0) {
        return;
    }
    rawModes = savedModes;
    rawModes.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON | IEXTEN)); // ISIG stays: Ctrl-C
    rawModes.c_iflag &= static_cast<tcflag_t>(~(ICRNL | INLCR | IGNCR));  // Enter arrives as CR
    rawModes.c_cc[VMIN] = 1;
    rawModes.c_cc[VTIME] = 0;
    if (PltSysTable().pfTcsetattr(inputFd, TCSANOW, &rawModes) != 0) {
        return;
    }
    rawFd.store(inputFd);
    if (!exitHandlerRegistered) {
        exitHandlerRegistered = std::atexit(RestoreAtExit) == 0;
    }
}

void InstallSignalHandlers() {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a readiness wait wakes up at once
    for (std::size_t i = 0; i < handledSignalCount; ++i) {
        const int number = handledSignals[i];
        action.sa_handler = number == SIGTSTP   ? OnSuspend
                            : number == SIGCONT ? OnContinue
                                                : OnStopSignal;
        sigaction(number, &action, &savedActions[i]);
    }
}

void RestoreSignalHandlers() {
    for (std::size_t i = 0; i < handledSignalCount; ++i) {
        sigaction(handledSignals[i], &savedActions[i], nullptr);
    }
}

// No more input. Pipe input whose last line has no line end still gets its Enter.
void EndInput() {
    PltInputEnd(rawFd.load() < 0);
}

// Reads one byte if one is ready. Returns true when a key is held afterwards.
bool FetchOneByte() {
    pollfd poller{inputFd, POLLIN, 0};
    const int ready = PltSysTable().pfPoll(&poller, 1, 0);
    if (ready < 0) {
        if (errno != EINTR && errno != EAGAIN) {
            EndInput();
        }
        return PltInputHasKey();
    }
    if (ready == 0) {
        return false;
    }
    if ((poller.revents & POLLNVAL) != 0) {
        EndInput();
        return PltInputHasKey();
    }
    unsigned char byte = 0;
    const ssize_t got = PltSysTable().pfRead(inputFd, &byte, 1);
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            EndInput();
        }
        return PltInputHasKey();
    }
    if (got == 0) {
        EndInput();
        return PltInputHasKey();
    }
    return PltInputTakeByte(byte) || FetchOneByte();
}

} // namespace

std::uint16_t PltConsoleOpen() {
    if (consoleOpen) {
        return 0;
    }
    consoleOpen = true;
    EnterRawMode();
    InstallSignalHandlers();
    // A write to a closed pipe (output piped into head -1) must not kill the program with the
    // terminal raw: the write fails instead, and PltConsoleFlush turns that into a stop request.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    pipeIgnored = sigaction(SIGPIPE, &ignore, &savedPipeAction) == 0;
    return 0;
}

void PltConsoleClose() {
    if (!consoleOpen) {
        return;
    }
    std::fflush(Out());
    RestoreSignalHandlers();
    if (pipeIgnored) {
        sigaction(SIGPIPE, &savedPipeAction, nullptr);
        pipeIgnored = false;
    }
    RestoreTerminal();
    suspendedFd.store(-1);
    consoleOpen = false;
}

bool PltConsoleKeyWaiting() {
    if (PltInputHasKey()) {
        return true;
    }
    if (PltInputEnded()) {
        return false;
    }
    return FetchOneByte();
}

int PltConsoleInputFd() {
    return PltInputEnded() ? -1 : inputFd;
}

bool PltConsoleIsRaw() {
    return rawFd.load() >= 0;
}

void PltConsoleWriteChar(char c) {
    std::fputc(c, Out());
}

void PltConsoleFlush() {
    std::fflush(Out());
    // Output that can no longer be written (a closed pipe, a full disk) ends the program through
    // its normal shut-down, like a stop signal.
    if (std::ferror(Out()) != 0) {
        int expected = 0;
        (void)stopSignal.compare_exchange_strong(expected, SIGPIPE);
    }
}

std::uint16_t PltConsoleColumns() {
    winsize size{};
    if (::ioctl(fileno(Out()), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

bool PltConsoleTakeResumed() {
    return resumed.exchange(false);
}

void PltConsoleClearStopSignal() {
    stopSignal.store(0);
}

void PltConsoleCatchStopSignals() {
    InstallSignalHandlers();
}

int PltConsoleStopSignal() {
    return stopSignal.load();
}

void PltConsoleUseInputForTest(int iFd) {
    inputFd = iFd >= 0 ? iFd : STDIN_FILENO;
}

void PltConsoleUseOutputForTest(std::FILE* pStream) {
    outStream = pStream;
}

void PltConsoleResetForTest() {
    PltConsoleClose();
    PltSysReset();
    stopSignal.store(0);
    resumed.store(false);
    PltInputReset();
}
