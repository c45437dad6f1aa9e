// What the Win32 backend's modules tell each other about the handles of its serial devices.
#pragma once

#include <windows.h>

#include "Platform/PltSerial.h"

// PltHandle values of the Win32 backend: slot numbers from here on, so that no value can be
// mistaken for a socket or a C runtime descriptor.
constexpr PltHandle PLTC_HANDLE_BASE = 0x40000000;

// True when a read of the device would deliver bytes now (held, completed or queued).
bool PltWin32DeviceReadable(PltHandle hHandle);
