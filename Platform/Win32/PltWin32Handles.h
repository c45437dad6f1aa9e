// What the Win32 backend's modules tell each other about the handles of its serial devices.
#pragma once

#include <cstdint>

#include <windows.h>

#include "Platform/PltSerial.h"

// PltHandle values of the Win32 backend: slot numbers from here on, so that no value can be
// mistaken for a socket or a C runtime descriptor.
constexpr PltHandle PLTC_HANDLE_BASE = 0x40000000;

// True when a read of the device would deliver bytes now (held, completed or queued).
bool PltWin32DeviceReadable(PltHandle hHandle);

// How the readiness wait watches one of its handles.
enum class PltWin32Watch : std::uint8_t {
    Ready,       // input is there now: no sleep
    Event,       // *phEvent is signalled when input arrives
    Unwatchable, // no event to wait on: the wait looks again soon
    Foreign      // not the console input's descriptor
};
// A serial device: its outstanding read, or a character-received watch started here.
PltWin32Watch PltWin32DeviceWatch(PltHandle hHandle, HANDLE* phEvent);
// The console input by its run-time descriptor (console, pipe through the reader thread, file).
PltWin32Watch PltWin32ConsoleWatch(int iFd, HANDLE* phEvent);
// Test hook: reads a pipe input through the reader thread, as one that cannot be peeked into.
void PltWin32ConsoleUseReaderForTest();
