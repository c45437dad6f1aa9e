// The part of the serial layer that is the same on every platform: the names given to ports and
// the device a port index stands for.
#include "Platform/PltSerial.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "Platform/PltSerialNames.h"

namespace {
std::array<std::array<char, PLTC_DEVICE_NAME_SIZE>, PLTC_NAMED_PORTS> aszNamedDevices{};
} // namespace

bool PltSerialSetDeviceName(std::uint8_t byPort, const char* pszName) {
    if (byPort >= PLTC_NAMED_PORTS) {
        return false;
    }
    std::array<char, PLTC_DEVICE_NAME_SIZE>& szNamed = aszNamedDevices[byPort];
    szNamed.fill('\0');
    if (pszName == nullptr || pszName[0] == '\0') {
        return true;
    }
    const int nLength = PltSerialFormatDeviceName(pszName, szNamed.data(), szNamed.size());
    if (nLength < 0 || static_cast<std::size_t>(nLength) >= szNamed.size()) {
        szNamed.fill('\0');
        return false;
    }
    return true;
}

const char* PltSerialNamedDevice(std::uint8_t byPort) {
    return byPort < PLTC_NAMED_PORTS && aszNamedDevices[byPort][0] != '\0'
               ? aszNamedDevices[byPort].data()
               : nullptr;
}

void PltSerialDeviceName(std::uint8_t byPort, char* pszName, std::size_t wSize) {
    if (pszName == nullptr || wSize == 0) {
        return;
    }
    if (const char* pszNamed = PltSerialNamedDevice(byPort); pszNamed != nullptr) {
        std::snprintf(pszName, wSize, "%s", pszNamed);
        return;
    }
    std::array<char, 32> variable{};
    std::snprintf(variable.data(), variable.size(), "TALVO_RC_COM%u", byPort + 1u);
    const char* pszValue = std::getenv(variable.data());
    if (pszValue != nullptr && pszValue[0] != '\0') {
        std::snprintf(pszName, wSize, "%s", pszValue);
    } else {
        PltSerialDefaultDeviceName(byPort, pszName, wSize);
    }
}
