// Console keyboard and output on POSIX: poll() and one-byte read() on standard input, termios raw
// input for a terminal, stdio for the output.
#include "Platform/PltConsole.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr PltConsoleSys realSys{::read, ::poll, ::isatty, ::tcgetattr, ::tcsetattr};

// The signals that ask the program to stop cleanly.
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t stopSignalCount = sizeof(stopSignals) / sizeof(stopSignals[0]);

PltConsoleSys sys = realSys;
int inputFd = STDIN_FILENO;
std::FILE* outStream = nullptr; // nullptr: standard output

bool consoleOpen = false;
bool inputEnded = false;
bool lastWasCr = false;   // a LF right after a CR belongs to the same line end
bool lineStarted = false; // bytes since the last line end (pipe input)
int heldKey = -1;         // key found by PltConsoleKeyWaiting, handed out by PltConsoleReadKey

// Terminal state, also read by the signal handler and the exit handler.
termios savedModes{};
std::atomic<int> rawFd{-1}; // descriptor in raw mode, -1 when none
bool exitHandlerRegistered = false;

std::atomic<int> stopSignal{0};
struct sigaction savedActions[stopSignalCount];
static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free flag");

std::FILE* Out() {
    return outStream != nullptr ? outStream : stdout;
}

// Async-signal-safe: one tcsetattr with modes saved before the handler was installed.
void RestoreTerminal() {
    const int fd = rawFd.exchange(-1);
    if (fd >= 0) {
        sys.pfTcsetattr(fd, TCSANOW, &savedModes);
    }
}

void RestoreAtExit() {
    RestoreTerminal();
}

void OnStopSignal(int iSignal) {
    int expected = 0;
    if (stopSignal.compare_exchange_strong(expected, iSignal)) {
        return; // the program sees the request and shuts down normally
    }
    // The first request is still pending: the program does not react, so end it now, but never
    // leave the terminal raw. The signal is blocked while this handler runs and ends the process
    // with its default action once the handler returns.
    RestoreTerminal();
    std::signal(iSignal, SIG_DFL);
    std::raise(iSignal);
}

void EnterRawMode() {
    if (sys.pfIsatty(inputFd) != 1 || sys.pfTcgetattr(inputFd, &savedModes) != 0) {
        return;
    }
    termios raw = savedModes;
    raw.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON | IEXTEN)); // ISIG stays: Ctrl-C signals
    raw.c_iflag &= static_cast<tcflag_t>(~(ICRNL | INLCR | IGNCR));  // Enter arrives as CR
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (sys.pfTcsetattr(inputFd, TCSANOW, &raw) != 0) {
        return;
    }
    rawFd.store(inputFd);
    if (!exitHandlerRegistered) {
        exitHandlerRegistered = std::atexit(RestoreAtExit) == 0;
    }
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a readiness wait wakes up at once
    for (std::size_t i = 0; i < stopSignalCount; ++i) {
        sigaction(stopSignals[i], &action, &savedActions[i]);
    }
}

void RestoreSignalHandlers() {
    for (std::size_t i = 0; i < stopSignalCount; ++i) {
        sigaction(stopSignals[i], &savedActions[i], nullptr);
    }
}

// No more input. Pipe input whose last line has no line end still gets its Enter.
void EndInput() {
    inputEnded = true;
    if (lineStarted && rawFd.load() < 0) {
        heldKey = PLTC_KEY_ENTER;
    }
    lineStarted = false;
}

// Reads one byte if one is ready. Returns true when a key is held afterwards.
bool FetchOneByte() {
    pollfd poller{inputFd, POLLIN, 0};
    const int ready = sys.pfPoll(&poller, 1, 0);
    if (ready < 0) {
        if (errno != EINTR && errno != EAGAIN) {
            EndInput();
        }
        return heldKey >= 0;
    }
    if (ready == 0) {
        return false;
    }
    if ((poller.revents & POLLNVAL) != 0) {
        EndInput();
        return heldKey >= 0;
    }
    unsigned char byte = 0;
    const ssize_t got = sys.pfRead(inputFd, &byte, 1);
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            EndInput();
        }
        return heldKey >= 0;
    }
    if (got == 0) {
        EndInput();
        return heldKey >= 0;
    }
    if (byte == '\n' && lastWasCr) {
        lastWasCr = false; // second half of a CR LF pair: look at the byte after it
        return FetchOneByte();
    }
    if (byte == '\r' || byte == '\n') {
        lastWasCr = byte == '\r';
        lineStarted = false;
        heldKey = PLTC_KEY_ENTER;
        return true;
    }
    lastWasCr = false;
    lineStarted = true;
    heldKey = byte;
    return true;
}

} // namespace

std::uint16_t PltConsoleOpen() {
    if (consoleOpen) {
        return 0;
    }
    consoleOpen = true;
    EnterRawMode();
    InstallSignalHandlers();
    return 0;
}

void PltConsoleClose() {
    if (!consoleOpen) {
        return;
    }
    std::fflush(Out());
    RestoreTerminal();
    RestoreSignalHandlers();
    consoleOpen = false;
}

bool PltConsoleKeyWaiting() {
    if (heldKey >= 0) {
        return true;
    }
    if (inputEnded) {
        return false;
    }
    return FetchOneByte();
}

std::uint8_t PltConsoleReadKey() {
    if (heldKey < 0 && !PltConsoleKeyWaiting()) {
        return PLTC_KEY_NONE;
    }
    const auto key = static_cast<std::uint8_t>(heldKey);
    heldKey = -1;
    return key;
}

bool PltConsoleAtEnd() {
    return inputEnded && heldKey < 0;
}

int PltConsoleInputFd() {
    return inputEnded ? -1 : inputFd;
}

bool PltConsoleIsRaw() {
    return rawFd.load() >= 0;
}

void PltConsoleWriteChar(char c) {
    std::fputc(c, Out());
}

void PltConsoleFlush() {
    std::fflush(Out());
}

int PltConsoleStopSignal() {
    return stopSignal.load();
}

PltConsoleSys& PltConsoleSysTable() {
    return sys;
}

void PltConsoleUseInputForTest(int iFd) {
    inputFd = iFd >= 0 ? iFd : STDIN_FILENO;
}

void PltConsoleUseOutputForTest(std::FILE* pStream) {
    outStream = pStream;
}

void PltConsoleResetForTest() {
    PltConsoleClose();
    sys = realSys;
    stopSignal.store(0);
    inputEnded = false;
    lastWasCr = false;
    lineStarted = false;
    heldKey = -1;
}
