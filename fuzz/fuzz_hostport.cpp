// Fuzz target of the -I text: host and port taken apart. A host part always fits its buffer and
// is a piece of the input, and an accepted port lies in 1 to 65535.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Application/AppOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t wSize) {
    const std::string text(reinterpret_cast<const char*>(pbyData), wSize);
    std::array<char, APPC_HOST_MAX + 1> szHost{};
    std::uint16_t wPort = 0;
    if (AppParseHostPort(text.c_str(), szHost.data(), szHost.size(), &wPort)) {
        if (wPort == 0 || std::strlen(szHost.data()) > APPC_HOST_MAX ||
            text.find(szHost.data()) == std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
