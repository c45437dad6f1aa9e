// The device names given to serial ports (-S<device>), kept by the part of the serial layer that is
// the same on every platform; each backend says how a name it is given reads as a device.
#pragma once

#include <cstddef>
#include <cstdint>

// The name given for port index byPort, or nullptr when none is.
const char* PltSerialNamedDevice(std::uint8_t byPort);
// Backend: writes the device a given name stands for into pszDevice (wSize bytes); the length that
// snprintf gives.
int PltSerialFormatDeviceName(const char* pszName, char* pszDevice, std::size_t wSize);
// Backend: writes the device of port index byPort when neither a name nor TALVO_RC_COM<n> gives
// one (/dev/ttyS<n>, \\.\COM<n+1>).
void PltSerialDefaultDeviceName(std::uint8_t byPort, char* pszName, std::size_t wSize);
