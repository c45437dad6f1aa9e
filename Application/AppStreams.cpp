// The process-wide application settings that every other application module reads: the link
// channel, the two output streams and the start-up line. Kept apart from the option parser and the
// main sequence so that modules and their tests can use them without pulling in the whole program.
#include "Application/AppStreams.h"

#include <array>
#include <cerrno>
#include <cstring>

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
    if (g_pResponseStream != nullptr && g_pResponseStream != pStream) {
        AppFlushResponseStream(); // its owner closes it next: nothing written may vanish unseen
    }
    g_pResponseStream = pStream;
}

void AppFlushResponseStream() {
    std::FILE* pFile = g_pResponseStream;
    if (pFile == nullptr) {
        std::fflush(stdout);
        return;
    }
    // The reason of a failed write is still in errno: nothing since has failed.
    const int iFlush = std::fflush(pFile);
    const int iError = errno;
    if (iFlush == 0 && std::ferror(pFile) == 0) {
        return;
    }
    g_pResponseStream = nullptr; // the displays go back to the console
    std::fprintf(AppConsole(),
                 "Can't write response file : %s (responses go to the console from here on)\n",
                 iError != 0 ? std::strerror(iError) : "write error");
    std::fflush(AppConsole());
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
    AppFlushResponseStream();
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
