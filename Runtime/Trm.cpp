// Console terminal: keyboard task with line editing, and the console output of channel 34.
#include "Runtime/Trm.h"

#include <array>

#include "Platform/PltConsole.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint16_t TRMC_TASK_TYPE = 3; // keyboard task runs every fourth pass

std::array<std::uint8_t, TRMC_LINE_SIZE> lineBuffer{};
std::uint16_t lineLength = 0;
std::uint16_t keyboardSlot = OSSC_NO_THREAD;
bool stopHandled = false;

void Echo(char c) {
    PltConsoleWriteChar(c);
}

} // namespace

std::uint16_t TrmInit() {
    const std::uint16_t status = MdsRegisterResponseHandler(TRM_CHANNEL_ID, TrmOutput);
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
    PltConsoleOpen();
    return 0;
}

std::uint16_t TrmClose() {
    PltConsoleClose();
    const std::uint16_t status = OssDeleteThread(keyboardSlot);
    keyboardSlot = OSSC_NO_THREAD; // the slot may be handed to another task afterwards
    lineLength = 0;                // a partly typed line is discarded
    if (status != 0) {
        LogError("TrmClose", TRMC_ERROR, "Error during close");
        return TRMC_ERROR;
    }
    return 0;
}

std::uint16_t TrmTerminate() {
    if (MdsDeregisterResponseHandler(TRM_CHANNEL_ID) != 0) {
        LogError("TrmTerminate", TRMC_ERROR, nullptr);
        return TRMC_ERROR;
    }
    return 0;
}

void TrmPollKeyboard() {
    if (PltConsoleStopSignal() != 0 && !stopHandled) {
        stopHandled = true;
        Echo('\n'); // the shell's prompt starts on a fresh line
        PltConsoleFlush();
        OssExit(0);
        return;
    }
    // Output written since the last run (displays, prompts) must not wait in a buffer while the
    // program waits for keys.
    PltConsoleFlush();
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
        MdsExecuteMsgHandler(TRM_CHANNEL_ID, TRMC_TERMINAL_REQUEST, length, lineBuffer.data());
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

void TrmResetForTest() {
    lineBuffer.fill(0);
    lineLength = 0;
    keyboardSlot = OSSC_NO_THREAD;
    stopHandled = false;
}
