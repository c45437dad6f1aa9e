// A pseudo-terminal pair for tests: the test drives the master side as the far end of a serial
// line, and points a port's device variable (TALVO_RC_COM<n+1>) at the other side.
#pragma once

#include <cstdint>
#include <vector>

#include "Platform/PltSerial.h"

class PtyPeer {
  public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ok() const { return hMaster_ != PLTC_INVALID_HANDLE; }
    const char* SlavePath() const { return szSlave_; }
    void AttachToPort(std::uint8_t byPort) const; // sets TALVO_RC_COM<byPort + 1>
    static void DetachPort(std::uint8_t byPort);  // unsets it

    void Send(const std::vector<std::uint8_t>& bytes) const;
    // Collects bytes until wCount have come or dwTimeoutMs passed.
    std::vector<std::uint8_t> Receive(std::size_t wCount, std::uint32_t dwTimeoutMs) const;

  private:
    PltHandle hMaster_ = PLTC_INVALID_HANDLE;
    PltHandle hSlave_ = PLTC_INVALID_HANDLE;
    char szSlave_[PLTC_DEVICE_NAME_SIZE] = {};
};
