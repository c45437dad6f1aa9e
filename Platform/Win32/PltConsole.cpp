// Console keyboard and output on Windows. A console input is read as key events (never waiting);
// their virtual key codes become the bytes a terminal sends for the key; a pipe or a file on
// standard input gives its bytes as keys, a pipe only when PeekNamedPipe shows bytes waiting.
// A pipe that cannot be peeked into (Wine fails PeekNamedPipe on a pipe from the Unix side with
// ERROR_NOT_SUPPORTED) is read by a thread of its own that blocks in ReadFile and hands the
// bytes over; the idle wait then sleeps on that thread's event.
// Output goes through stdout so that it can be redirected. Ctrl-C, Ctrl-Break and closing the
// console window are recorded as a stop request.
#include "Platform/PltConsole.h"
#include "Platform/PltConsoleInput.h"
#include "Platform/PltWait.h"
#include "Platform/Win32/PltWin32Handles.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <io.h>
#include <windows.h>

#include "Platform/Win32/PltConsoleKeys.h"

namespace {

constexpr int PLTC_STDIN_FD = 0;

// ThreadPipe: a pipe read through the reader thread.
enum class InputKind : std::uint8_t { Unknown, Console, Pipe, ThreadPipe, File };

int inputFd = PLTC_STDIN_FD;
std::FILE* outStream = nullptr; // nullptr: standard output
InputKind inputKind = InputKind::Unknown;

bool consoleOpen = false;
bool handlerInstalled = false;
DWORD savedMode = 0;
bool modeSaved = false;
DWORD savedOutputMode = 0;
bool outputModeSaved = false;
std::string pendingKeys; // bytes of a key sequence not yet handed out

std::atomic<int> stopSignal{0};

// What the reader thread of a pipe hands over. The thread keeps it alive while it runs.
struct PipeReader {
    std::mutex lock;
    std::deque<unsigned char> bytes;
    bool bEnded = false;
    HANDLE hData = nullptr; // manual reset: set while bytes wait or once the input has ended
    HANDLE hPipe = INVALID_HANDLE_VALUE; // the thread's own duplicate of the input handle
    ~PipeReader() {
        if (hData != nullptr) {
            CloseHandle(hData);
        }
        if (hPipe != INVALID_HANDLE_VALUE) {
            CloseHandle(hPipe);
        }
    }
};
std::shared_ptr<PipeReader> pipeReader;
bool pipeReaderFailed = false; // no thread could be started: the pipe is read like a file

DWORD WINAPI ReadPipe(void* pvReader) {
    const std::unique_ptr<std::shared_ptr<PipeReader>> ppReader(
        static_cast<std::shared_ptr<PipeReader>*>(pvReader));
    PipeReader& reader = **ppReader;
    for (;;) {
        unsigned char abyChunk[256];
        DWORD dwRead = 0;
        const BOOL bRead = ReadFile(reader.hPipe, abyChunk, sizeof abyChunk, &dwRead, nullptr);
        const std::lock_guard<std::mutex> guard(reader.lock);
        if (!bRead || dwRead == 0) {
            reader.bEnded = true; // the writer closed its end, or the pipe broke
            SetEvent(reader.hData);
            return 0;
        }
        reader.bytes.insert(reader.bytes.end(), abyChunk, abyChunk + dwRead);
        SetEvent(reader.hData);
    }
}

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
    PltInputEnd(true);
}

bool FetchConsoleKey() {
    if (pendingKeys.empty()) {
        const HANDLE hInput = InputHandle();
        DWORD dwEvents = 0;
        while (pendingKeys.empty() && GetNumberOfConsoleInputEvents(hInput, &dwEvents) &&
               dwEvents > 0) {
            INPUT_RECORD tRecord{};
            DWORD dwRead = 0;
            if (!ReadConsoleInputA(hInput, &tRecord, 1, &dwRead) || dwRead == 0) {
                return false;
            }
            if (tRecord.EventType != KEY_EVENT || !tRecord.Event.KeyEvent.bKeyDown) {
                continue; // key releases, mouse, focus and window events give no key
            }
            const KEY_EVENT_RECORD& tKey = tRecord.Event.KeyEvent;
            const std::string sequence = PltWin32KeySequence(
                tKey.wVirtualKeyCode, tKey.uChar.AsciiChar, tKey.dwControlKeyState);
            for (WORD w = 0; w < tKey.wRepeatCount || w == 0; ++w) {
                pendingKeys += sequence;
            }
        }
    }
    if (pendingKeys.empty()) {
        return false;
    }
    PltInputHoldKey(static_cast<unsigned char>(pendingKeys.front()));
    pendingKeys.erase(0, 1);
    return true;
}

// Starts the reader thread of the pipe input once. False when it cannot run.
bool StartPipeReader() {
    if (pipeReader) {
        return true;
    }
    if (pipeReaderFailed) {
        return false;
    }
    auto reader = std::make_shared<PipeReader>();
    reader->hData = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto* ppReader = new std::shared_ptr<PipeReader>(reader);
    HANDLE hThread = nullptr;
    if (reader->hData != nullptr &&
        DuplicateHandle(GetCurrentProcess(), InputHandle(), GetCurrentProcess(), &reader->hPipe, 0,
                        FALSE, DUPLICATE_SAME_ACCESS)) {
        hThread = CreateThread(nullptr, 0, ReadPipe, ppReader, 0, nullptr);
    }
    if (hThread == nullptr) {
        delete ppReader;
        pipeReaderFailed = true;
        return false;
    }
    CloseHandle(hThread); // it ends by itself at the end of the input
    pipeReader = std::move(reader);
    return true;
}

// One byte from the reader thread of the pipe. True when a key is held.
bool FetchPipeByte() {
    PipeReader& reader = *pipeReader;
    std::unique_lock<std::mutex> guard(reader.lock);
    while (!reader.bytes.empty()) {
        const unsigned char byte = reader.bytes.front();
        reader.bytes.pop_front();
        if (PltInputTakeByte(byte)) {
            return true;
        }
    }
    if (!reader.bEnded) {
        ResetEvent(reader.hData); // under the lock: the thread sets it again with its next bytes
        return false;
    }
    guard.unlock();
    EndInput();
    return PltInputHasKey();
}

// Reads one byte from a pipe (only when one is waiting, or through the reader thread) or a file.
// True when a key is held.
bool FetchStreamByte() {
    if (inputKind == InputKind::ThreadPipe) {
        return FetchPipeByte();
    }
    const HANDLE hInput = InputHandle();
    for (;;) {
        if (inputKind == InputKind::Pipe) {
            DWORD dwAvailable = 0;
            if (!PeekNamedPipe(hInput, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
                // The writer has gone (and every byte is read), or the pipe cannot be peeked
                // into: then the reader thread takes over.
                if (GetLastError() != ERROR_BROKEN_PIPE && StartPipeReader()) {
                    inputKind = InputKind::ThreadPipe;
                    return FetchPipeByte();
                }
                EndInput();
                return PltInputHasKey();
            }
            if (dwAvailable == 0) {
                return false;
            }
        }
        unsigned char byte = 0;
        DWORD dwRead = 0;
        if (!ReadFile(hInput, &byte, 1, &dwRead, nullptr) || dwRead == 0) {
            EndInput();
            return PltInputHasKey();
        }
        if (PltInputTakeByte(byte)) {
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
        // The line editor draws with terminal sequences.
        const HANDLE hOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        if (outStream == nullptr && GetConsoleMode(hOutput, &savedOutputMode)) {
            outputModeSaved = true;
            SetConsoleMode(hOutput, savedOutputMode | ENABLE_PROCESSED_OUTPUT |
                                        ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
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
    if (outputModeSaved) {
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), savedOutputMode);
        outputModeSaved = false;
    }
    consoleOpen = false;
}

bool PltConsoleKeyWaiting() {
    if (PltInputHasKey()) {
        return true;
    }
    if (PltInputEnded()) {
        return false;
    }
    if (inputKind == InputKind::Unknown) {
        inputKind = Classify();
    }
    return inputKind == InputKind::Console ? FetchConsoleKey() : FetchStreamByte();
}

int PltConsoleInputFd() {
    return PltInputEnded() ? -1 : inputFd;
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

std::uint16_t PltConsoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO tInfo{};
    if (outStream != nullptr ||
        !GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &tInfo)) {
        return 0;
    }
    return static_cast<std::uint16_t>(tInfo.srWindow.Right - tInfo.srWindow.Left + 1);
}

bool PltConsoleTakeResumed() {
    return false; // a Windows console program is not stopped and continued
}

void PltConsoleClearStopSignal() {
    stopSignal.store(0);
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
    pipeReader.reset(); // a reader still running keeps its own handle until that input ends
    pipeReaderFailed = false;
}

void PltWin32ConsoleUseReaderForTest() {
    if (Classify() == InputKind::Pipe && StartPipeReader()) {
        inputKind = InputKind::ThreadPipe;
    }
}

PltWin32Watch PltWin32ConsoleWatch(int iFd, HANDLE* phEvent) {
    if (iFd != inputFd) {
        return PltWin32Watch::Foreign;
    }
    if (PltInputEnded() || PltInputHasKey()) {
        return PltWin32Watch::Ready;
    }
    if (inputKind == InputKind::Unknown) {
        inputKind = Classify();
    }
    switch (inputKind) {
    case InputKind::Console: {
        const HANDLE hInput = InputHandle();
        if (!pendingKeys.empty()) {
            return PltWin32Watch::Ready; // the rest of a key's sequence waits to be handed out
        }
        // Mouse, focus and key-up events signal the handle but are no keys: drop them, or the
        // wait would end at once for ever. A key that gives no sequence (Shift alone) likewise.
        INPUT_RECORD aRecords[32];
        DWORD dwCount = 0;
        if (PeekConsoleInputA(hInput, aRecords, 32, &dwCount) && dwCount > 0) {
            for (DWORD i = 0; i < dwCount; ++i) {
                const KEY_EVENT_RECORD& tKey = aRecords[i].Event.KeyEvent;
                if (aRecords[i].EventType == KEY_EVENT && tKey.bKeyDown &&
                    !PltWin32KeySequence(tKey.wVirtualKeyCode, tKey.uChar.AsciiChar,
                                         tKey.dwControlKeyState)
                         .empty()) {
                    return PltWin32Watch::Ready; // a key came meanwhile: the keyboard task reads
                }
            }
            (void)ReadConsoleInputA(hInput, aRecords, dwCount, &dwCount);
        }
        *phEvent = hInput;
        return PltWin32Watch::Event;
    }
    case InputKind::Pipe: {
        DWORD dwAvailable = 0;
        if (!PeekNamedPipe(InputHandle(), nullptr, 0, nullptr, &dwAvailable, nullptr) ||
            dwAvailable > 0) {
            return PltWin32Watch::Ready; // bytes, or a failure the keyboard task looks into
        }
        return PltWin32Watch::Unwatchable;
    }
    case InputKind::ThreadPipe: {
        const std::lock_guard<std::mutex> guard(pipeReader->lock);
        if (!pipeReader->bytes.empty() || pipeReader->bEnded) {
            return PltWin32Watch::Ready;
        }
    }
        *phEvent = pipeReader->hData;
        return PltWin32Watch::Event;
    default:
        return PltWin32Watch::Ready;
    }
}

void PltConsoleUseOutputForTest(std::FILE* pStream) {
    outStream = pStream;
}

void PltConsoleResetForTest() {
    PltConsoleClose();
    RemoveHandler();
    stopSignal.store(0);
    inputKind = InputKind::Unknown;
    pipeReader.reset();
    pipeReaderFailed = false;
    PltInputReset();
    pendingKeys.clear();
}
