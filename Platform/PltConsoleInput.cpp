// Console input shared by both backends; see PltConsoleInput.h. The backends' own
// PltConsoleKeyWaiting fills the held key; reading and the end of input are the same for both.
#include "Platform/PltConsoleInput.h"

#include "Platform/PltConsole.h"

namespace {

bool inputEnded = false;
bool lastWasCr = false;   // a LF right after a CR belongs to the same line end
bool lineStarted = false; // bytes since the last line end
int heldKey = -1;         // key found by PltConsoleKeyWaiting, handed out by PltConsoleReadKey

} // namespace

bool PltInputTakeByte(unsigned char byByte) {
    if (byByte == '\n' && lastWasCr) {
        lastWasCr = false; // second half of a CR LF pair: the caller looks at the byte after it
        return false;
    }
    if (byByte == '\r' || byByte == '\n') {
        lastWasCr = byByte == '\r';
        lineStarted = false;
        heldKey = PLTC_KEY_ENTER;
        return true;
    }
    lastWasCr = false;
    lineStarted = true;
    heldKey = byByte;
    return true;
}

void PltInputHoldKey(unsigned char byKey) {
    heldKey = byKey;
}

void PltInputEnd(bool bFinalEnter) {
    inputEnded = true;
    if (lineStarted && bFinalEnter) {
        heldKey = PLTC_KEY_ENTER;
    }
    lineStarted = false;
}

bool PltInputHasKey() {
    return heldKey >= 0;
}

bool PltInputEnded() {
    return inputEnded;
}

void PltInputReset() {
    inputEnded = false;
    lastWasCr = false;
    lineStarted = false;
    heldKey = -1;
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
