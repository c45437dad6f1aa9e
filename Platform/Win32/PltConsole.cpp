// Console keyboard and output on Windows. A console input is read with the runtime library's
// key calls (_kbhit waits for nothing, _getch reads one key without echo); a pipe or a file on
// standard input gives its bytes as keys, a pipe only when PeekNamedPipe shows bytes waiting.
// Output goes through stdout so that it can be redirected. Ctrl-C, Ctrl-Break and closing the
// console window are recorded as a stop request.
#include "Platform/PltConsole.h"
#include "Platform/PltWait.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#include <conio.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr int PLTC_STDIN_FD = 0;

enum class InputKind : std::uint8_t { Unknown, Console, Pipe, File };

int inputFd = PLTC_STDIN_FD;
std::FILE* outStream = nullptr; // nullptr: standard output
InputKind inputKind = InputKind::Unknown;

bool consoleOpen = false;
bool handlerInstalled = false;
bool inputEnded = false;
bool lastWasCr = false;   // a LF right after a CR belongs to the same line end
bool lineStarted = false; // bytes since the last line end (pipe or file input)
int heldKey = -1;         // key found by PltConsoleKeyWaiting, handed out by PltConsoleReadKey
DWORD savedMode = 0;
bool modeSaved = false;

std::atomic<int> stopSignal{0};

std::FILE* Out() {
    return outStream != nullptr ? outStream : stdout;
}

HANDLE InputHandle() {
    return reinterpret_cast<HANDLE>(_get_osfhandle(inputFd));
}

InputKind Classify() {
    const HANDLE hInput = InputHandle();
    if (hInput == INVALID_HANDLE_VALUE) {
        return InputKind::File; // reads fail at once and end the input
    }
    DWORD dwMode = 0;
    if (inputFd == PLTC_STDIN_FD && GetConsoleMode(hInput, &dwMode)) {
        return InputKind::Console;
    }
    return GetFileType(hInput) == FILE_TYPE_PIPE ? InputKind::Pipe : InputKind::File;
}

// The run-time library's signals that ask the program to stop (Ctrl-C, Ctrl-Break, raise).
constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGBREAK};
using SignalHandler = void (*)(int);
SignalHandler savedHandlers[3] = {SIG_DFL, SIG_DFL, SIG_DFL};

void OnStopSignal(int iSignal) {
    int expected = 0;
    if (stopSignal.compare_exchange_strong(expected, iSignal)) {
        std::signal(iSignal, OnStopSignal); // the run-time library resets it before the call
        PltWaitWake();                      // the idle wait ends at once
        return;                             // the program sees the request and shuts down normally
    }
    // The first request is still pending: the program does not react, so end it now.
    std::signal(iSignal, SIG_DFL);
    std::raise(iSignal);
}

// Closing the console window, logging off or shutting down: no signal of the run-time library.
BOOL WINAPI OnConsoleControl(DWORD dwEvent) {
    if (dwEvent == CTRL_C_EVENT || dwEvent == CTRL_BREAK_EVENT) {
        return FALSE; // handled by the signal handlers
    }
    int expected = 0;
    if (!stopSignal.compare_exchange_strong(expected, SIGTERM)) {
        return FALSE;
    }
    PltWaitWake();
    return TRUE;
}

void InstallHandler() {
    if (!handlerInstalled) {
        for (std::size_t i = 0; i < 3; ++i) {
            savedHandlers[i] = std::signal(handledSignals[i], OnStopSignal);
        }
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        handlerInstalled = true;
    }
}

void RemoveHandler() {
    if (handlerInstalled) {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        for (std::size_t i = 0; i < 3; ++i) {
            std::signal(handledSignals[i],
                        savedHandlers[i] == SIG_ERR ? SIG_DFL : savedHandlers[i]);
        }
        handlerInstalled = false;
    }
}

// No more input. Input whose last line has no line end still gets its Enter.
void EndInput() {
    inputEnded = true;
    if (lineStarted) {
        heldKey = PLTC_KEY_ENTER;
    }
    lineStarted = false;
}

// Turns one input byte into a held key; false when it is the LF of a CR LF pair.
bool TakeByte(unsigned char byte) {
    if (byte == '\n' && lastWasCr) {
        lastWasCr = false;
        return false;
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

bool FetchConsoleKey() {
    while (_kbhit() != 0) {
        const int key = _getch();
        if (key == 0 || key == 0xE0) {
            (void)_getch(); // second half of a function or arrow key: not a character
            continue;
        }
        if (key == '\n') {
            continue; // Enter arrives as CR
        }
        heldKey = key == '\r' ? PLTC_KEY_ENTER : key;
        return true;
    }
    return false;
}

// Reads one byte from a pipe (only when one is waiting) or a file. True when a key is held.
bool FetchStreamByte() {
    const HANDLE hInput = InputHandle();
    for (;;) {
        if (inputKind == InputKind::Pipe) {
            DWORD dwAvailable = 0;
            if (!PeekNamedPipe(hInput, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
                EndInput(); // the writer closed its end
                return heldKey >= 0;
            }
            if (dwAvailable == 0) {
                return false;
            }
        }
        unsigned char byte = 0;
        DWORD dwRead = 0;
        if (!ReadFile(hInput, &byte, 1, &dwRead, nullptr) || dwRead == 0) {
            EndInput();
            return heldKey >= 0;
        }
        if (TakeByte(byte)) {
            return true;
        }
    }
}

} // namespace

std::uint16_t PltConsoleOpen() {
    if (consoleOpen) {
        return 0;
    }
    consoleOpen = true;
    inputKind = Classify();
    if (inputKind == InputKind::Console) {
        // Ctrl-C stays a signal; the key calls read without echo and without line editing.
        modeSaved = GetConsoleMode(InputHandle(), &savedMode) != 0;
    }
    InstallHandler();
    return 0;
}

void PltConsoleClose() {
    if (!consoleOpen) {
        return;
    }
    std::fflush(Out());
    RemoveHandler();
    if (modeSaved) {
        SetConsoleMode(InputHandle(), savedMode);
        modeSaved = false;
    }
    consoleOpen = false;
}

bool PltConsoleKeyWaiting() {
    if (heldKey >= 0) {
        return true;
    }
    if (inputEnded) {
        return false;
    }
    if (inputKind == InputKind::Unknown) {
        inputKind = Classify();
    }
    return inputKind == InputKind::Console ? FetchConsoleKey() : FetchStreamByte();
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
    return consoleOpen && inputKind == InputKind::Console;
}

void PltConsoleWriteChar(char c) {
    std::fputc(c, Out());
}

void PltConsoleFlush() {
    std::fflush(Out());
}

void PltConsoleCatchStopSignals() {
    InstallHandler();
}

int PltConsoleStopSignal() {
    return stopSignal.load();
}

void PltConsoleUseInputForTest(int iFd) {
    inputFd = iFd >= 0 ? iFd : PLTC_STDIN_FD;
    inputKind = InputKind::Unknown;
}

void PltConsoleUseOutputForTest(std::FILE* pStream) {
    outStream = pStream;
}

void PltConsoleResetForTest() {
    PltConsoleClose();
    RemoveHandler();
    stopSignal.store(0);
    inputKind = InputKind::Unknown;
    inputEnded = false;
    lastWasCr = false;
    lineStarted = false;
    heldKey = -1;
}
