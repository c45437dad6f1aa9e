// Console terminal: keyboard task with line editing, and the console output of channel 34.
#include "Runtime/Trm.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Platform/PltClock.h"
#include "Platform/PltConsole.h"
#include "Platform/PltFile.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/TrmEdit.h"

namespace {

constexpr std::uint16_t TRMC_TASK_TYPE =
    OSSC_EVERY_FOURTH_PASS; // keyboard task runs every fourth pass
// Bytes of one key sequence arrive together; a sequence that stops this long is dropped.
constexpr std::uint32_t TRMC_SEQUENCE_TIMEOUT_MS = 50;

std::array<std::uint8_t, TRMC_LINE_SIZE> lineBuffer{};
std::uint16_t lineLength = 0;
std::uint16_t keyboardSlot = OSSC_NO_THREAD;
bool stopHandled = false;
bool editing = false;
TrmControlHandler controlHandler = nullptr;
std::uint32_t lastSequenceByte = 0; // tick of the last byte read inside a key sequence
std::string historyPath;
bool historyWarned = false; // a history file problem is reported once

void Echo(char c) {
    PltConsoleWriteChar(c);
}

void WriteScreen(std::string_view bytes) {
    for (const char c : bytes) {
        PltConsoleWriteChar(c);
    }
}

void HistoryWarning(const char* pszWhat, int iError) {
    if (historyWarned) {
        return;
    }
    historyWarned = true;
    TrmBeforeOutput();
    char text[512];
    std::snprintf(text, sizeof text, "History file %.300s cannot be %s: %s\n", historyPath.c_str(),
                  pszWhat, std::strerror(iError));
    WriteScreen(text);
    PltConsoleFlush();
}

void AppendHistory(std::string_view line) {
    if (historyPath.empty()) {
        return;
    }
    errno = 0;
    std::FILE* pFile = PltFileOpenPrivate(historyPath.c_str(), true);
    if (pFile == nullptr) {
        HistoryWarning("written", errno);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), pFile);
    std::fputc('\n', pFile);
    const bool bFailed = std::ferror(pFile) != 0;
    if (std::fclose(pFile) != 0 || bFailed) {
        HistoryWarning("written", errno != 0 ? errno : EIO);
    }
}

// Ctrl-C: a typed line is emptied, else the application may cancel what it waits for.
bool Interrupt() {
    if (!TrmEditLine().empty()) {
        TrmEditDiscard();
        return true;
    }
    return controlHandler != nullptr && controlHandler(TrmControl::Interrupt);
}

// Hands a finished line to the interpreter. Its result is the command's own, reported by it.
void Deliver(const std::uint8_t* pbyLine, std::uint16_t wLength) {
    static_cast<void>(
        MdsExecuteMsgHandler(TRMC_CHANNEL_ID, MDSC_MSG_TERMINAL_REQUEST, wLength, pbyLine));
}

// One key (all bytes of its sequence) through the line editor.
void PollEditor() {
    const bool bKey = PltConsoleKeyWaiting();
    const bool bResumed = PltConsoleTakeResumed();
    if (bKey || bResumed) {
        TrmEditSetColumns(PltConsoleColumns()); // the window may have changed its size
    }
    if (bResumed) {
        TrmEditRedraw(); // back from Ctrl-Z: the shell has written over the screen
    }
    TrmEditRefresh();
    if (!bKey) {
        if (TrmEditInSequence()) {
            const std::uint32_t dwWaited = PltGetTickCount() - lastSequenceByte;
            if (dwWaited >= TRMC_SEQUENCE_TIMEOUT_MS) {
                TrmEditKeyTimeout(); // a lone ESC
            } else {
                OssDeclareDeadlineIn(TRMC_SEQUENCE_TIMEOUT_MS - dwWaited);
            }
        }
        PltConsoleFlush();
        return;
    }
    TrmEditResult tResult = TrmEditKey(PltConsoleReadKey());
    while (tResult == TrmEditResult::None && TrmEditInSequence() && PltConsoleKeyWaiting()) {
        tResult = TrmEditKey(PltConsoleReadKey());
    }
    if (TrmEditInSequence()) {
        lastSequenceByte = PltGetTickCount();
    }
    PltConsoleFlush();
    if (tResult == TrmEditResult::Line) {
        const std::string line(TrmEditDelivered());
        if (TrmEditAddHistory(line)) {
            AppendHistory(line);
        }
        Deliver(reinterpret_cast<const std::uint8_t*>(line.data()),
                static_cast<std::uint16_t>(line.size()));
    } else if (tResult == TrmEditResult::EndOfInput) {
        if (controlHandler == nullptr || !controlHandler(TrmControl::EndOfInput)) {
            Echo('\n');
            PltConsoleFlush();
            OssExit(0);
        }
    }
}

} // namespace

std::uint16_t TrmInit() {
    const std::uint16_t status = MdsRegisterResponseHandler(TRMC_CHANNEL_ID, TrmOutput);
    if (status != 0) {
        LogError("TrmInit", status, "Error during initialization");
        return status;
    }
    return 0;
}

std::uint16_t TrmOpen() {
    if (keyboardSlot == OSSC_NO_THREAD) { // a second open adds no second keyboard task
        keyboardSlot = OssCreateThread(TrmPollKeyboard, TRMC_TASK_TYPE);
    }
    const std::uint16_t wConsole = PltConsoleOpen();
    if (PltConsoleIsRaw() && !editing) {
        editing = true;
        TrmEditReset();
        TrmEditSetWriter(WriteScreen);
        TrmEditSetColumns(PltConsoleColumns());
    }
    return keyboardSlot == OSSC_NO_THREAD ? TRMC_ERROR : wConsole;
}

std::uint16_t TrmClose() {
    PltConsoleClose();
    const std::uint16_t status = OssDeleteThread(keyboardSlot);
    keyboardSlot = OSSC_NO_THREAD; // the slot may be handed to another task afterwards
    lineLength = 0;                // a partly typed line is discarded
    editing = false;
    if (status != 0) {
        LogError("TrmClose", TRMC_ERROR, "Error during close");
        return TRMC_ERROR;
    }
    return 0;
}

std::uint16_t TrmTerminate() {
    if (MdsDeregisterResponseHandler(TRMC_CHANNEL_ID) != 0) {
        LogError("TrmTerminate", TRMC_ERROR, nullptr);
        return TRMC_ERROR;
    }
    return 0;
}

void TrmPollKeyboard() {
    const int iSignal = PltConsoleStopSignal();
    if (iSignal == SIGINT && editing && !stopHandled && Interrupt()) {
        PltConsoleClearStopSignal(); // Ctrl-C was taken by the line or the interpreter
        PltConsoleFlush();
        return;
    }
    if (iSignal != 0 && !stopHandled) {
        stopHandled = true;
        Echo('\n'); // the shell's prompt starts on a fresh line
        PltConsoleFlush();
        OssExit(0);
        return;
    }
    // Output written since the last run (displays, prompts) must not wait in a buffer while the
    // program waits for keys.
    PltConsoleFlush();
    if (editing) {
        PollEditor();
        return;
    }
    if (!PltConsoleKeyWaiting()) {
        return;
    }
    const std::uint8_t key = PltConsoleReadKey();
    OssDeclareWorkPending(); // the input may hold more keys than its descriptor shows
    if (key == TRMC_KEY_ENTER) {
        Echo('\r');
        PltConsoleFlush();
        lineBuffer[lineLength] = 0;
        const std::uint16_t length = lineLength;
        lineLength = 0; // a fresh line for whatever the interpreter's output makes the user type
        Deliver(lineBuffer.data(), length);
    } else if (key == TRMC_KEY_BACKSPACE || key == TRMC_KEY_DELETE) {
        if (lineLength > 0) {
            --lineLength;
            Echo('\b');
            Echo(' ');
            Echo('\b');
        }
    } else if (lineLength < TRMC_LINE_MAX) {
        lineBuffer[lineLength++] = key;
        Echo(static_cast<char>(key));
    }
    PltConsoleFlush();
}

std::uint16_t TrmOutput(std::uint8_t /*byChannelId*/, std::uint8_t /*byMsgType*/,
                        std::uint16_t wLength, const std::uint8_t* pbyData) {
    if (pbyData == nullptr) {
        return 0;
    }
    TrmBeforeOutput();
    for (std::uint16_t i = 0; i < wLength; ++i) {
        Echo(static_cast<char>(pbyData[i]));
        if (pbyData[i] == '\r') {
            Echo('\n');
        }
    }
    PltConsoleFlush();
    return 0;
}

int TrmInputDescriptor() {
    return PltConsoleInputFd();
}

bool TrmEditing() {
    return editing;
}

void TrmSetControlHandler(TrmControlHandler pfHandler) {
    controlHandler = pfHandler;
}

void TrmSetPrompt(std::string_view prompt) {
    if (editing) {
        TrmEditSetPrompt(prompt);
    }
}

void TrmBeforeOutput() {
    if (editing) {
        TrmEditHide();
        OssDeclareWorkPending(); // the keyboard task draws the line again before the idle sleep
    }
}

void TrmUseHistoryFile(const std::string& path) {
    historyPath = path;
    if (path.empty() || !editing) {
        return;
    }
    errno = 0;
    std::FILE* pFile = std::fopen(path.c_str(), "r");
    if (pFile == nullptr) {
        if (errno != ENOENT) {
            HistoryWarning("read", errno); // a missing file is made by the first line
        }
        return;
    }
    std::array<char, TRMC_LINE_SIZE + 2> text{};
    bool bLineStart = true; // a longer line is read in parts: only its first part counts
    std::size_t wLines = 0;
    while (std::fgets(text.data(), static_cast<int>(text.size()), pFile) != nullptr) {
        ++wLines;
        std::size_t wLength = std::strlen(text.data());
        const bool bWhole = wLength > 0 && text[wLength - 1] == '\n';
        while (wLength > 0 && (text[wLength - 1] == '\n' || text[wLength - 1] == '\r')) {
            --wLength;
        }
        if (bLineStart) {
            TrmEditAddHistory(
                std::string_view(text.data(), std::min<std::size_t>(wLength, TRMC_LINE_MAX)));
        }
        bLineStart = bWhole;
    }
    const bool bReadError = std::ferror(pFile) != 0;
    std::fclose(pFile);
    if (bReadError) {
        HistoryWarning("read", errno != 0 ? errno : EIO);
        return;
    }
    // Lines are appended as they are typed; the file is cut back to the kept lines now and then.
    if (wLines > 2u * TRMC_HISTORY_MAX) {
        std::FILE* pOut = PltFileOpenPrivate(path.c_str(), false);
        if (pOut == nullptr) {
            HistoryWarning("written", errno);
            return;
        }
        for (const std::string& line : TrmEditHistory()) {
            std::fprintf(pOut, "%s\n", line.c_str());
        }
        if (std::fclose(pOut) != 0) {
            HistoryWarning("written", errno);
        }
    }
}

void TrmResetForTest() {
    editing = false;
    controlHandler = nullptr;
    historyPath.clear();
    historyWarned = false;
    TrmEditReset();
    lineBuffer.fill(0);
    lineLength = 0;
    keyboardSlot = OSSC_NO_THREAD;
    stopHandled = false;
}
