// The process-wide application settings that every other application module reads: the link
// channel, the two output streams and the start-up line. Kept apart from the option parser and the
// main sequence so that modules and their tests can use them without pulling in the whole program.
#include <array>

#include "Application/AppMain.h"
#include "Runtime/Mds.h"
#include "Runtime/Trm.h"

namespace {

std::uint8_t g_byLinkChannel = MDSC_SERIAL_CHANNEL_0;
std::FILE* g_pResponseStream = nullptr; // nullptr: standard output
std::FILE* g_pConsole = nullptr;        // nullptr: standard output
std::array<char, APPC_STARTUP_LINE_SIZE> g_szStartupLine{};

} // namespace

std::uint8_t AppLinkChannel() {
    return g_byLinkChannel;
}

void AppSetLinkChannel(std::uint8_t byChannel) {
    g_byLinkChannel = byChannel;
}

std::FILE* AppResponseStream() {
    if (g_pResponseStream != nullptr) {
        return g_pResponseStream;
    }
    TrmBeforeOutput();
    return stdout;
}

void AppSetResponseStream(std::FILE* pStream) {
    g_pResponseStream = pStream;
}

std::FILE* AppConsole() {
    if (g_pConsole != nullptr) {
        return g_pConsole;
    }
    TrmBeforeOutput();
    return stdout;
}

void AppFlushStreams() {
    std::fflush(g_pConsole != nullptr ? g_pConsole : stdout);
    std::fflush(g_pResponseStream != nullptr ? g_pResponseStream : stdout);
}

void AppSetConsole(std::FILE* pStream) {
    g_pConsole = pStream;
}

char* AppStartupLine() {
    return g_szStartupLine.data();
}

// Settings of this file back to their start-up values; called by AppResetForTest.
void AppResetStreamsForTest() {
    g_byLinkChannel = MDSC_SERIAL_CHANNEL_0;
    g_pResponseStream = nullptr;
    g_pConsole = nullptr;
    g_szStartupLine.fill('\0');
}
