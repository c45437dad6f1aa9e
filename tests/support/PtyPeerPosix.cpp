#include "tests/support/PtyPeer.h"

#include <cstdio>
#include <cstdlib>

#include "Platform/PltClock.h"

PtyPeer::PtyPeer() {
    if (!PltPtyOpen(&hMaster_, &hSlave_, szSlave_, sizeof szSlave_)) {
        hMaster_ = PLTC_INVALID_HANDLE;
        hSlave_ = PLTC_INVALID_HANDLE;
    }
}

PtyPeer::~PtyPeer() {
    PltHandleClose(hSlave_);
    PltHandleClose(hMaster_);
}

void PtyPeer::AttachToPort(std::uint8_t byPort) const {
    char name[32];
    std::snprintf(name, sizeof name, "TALVO_RC_COM%u", byPort + 1u);
    setenv(name, szSlave_, 1);
}

void PtyPeer::DetachPort(std::uint8_t byPort) {
    char name[32];
    std::snprintf(name, sizeof name, "TALVO_RC_COM%u", byPort + 1u);
    unsetenv(name);
}

void PtyPeer::Send(const std::vector<std::uint8_t>& bytes) const {
    int err = 0;
    (void)PltSerialWrite(hMaster_, bytes.data(), bytes.size(), 1000, nullptr, &err);
}

std::vector<std::uint8_t> PtyPeer::Receive(std::size_t wCount, std::uint32_t dwTimeoutMs) const {
    std::vector<std::uint8_t> out;
    const std::uint32_t start = PltGetTickCount();
    std::uint8_t buffer[4096];
    while (out.size() < wCount && PltGetTickCount() - start < dwTimeoutMs) {
        int err = 0;
        const long n = PltSerialRead(hMaster_, buffer, sizeof buffer, &err);
        if (n > 0) {
            out.insert(out.end(), buffer, buffer + n);
        } else {
            PltSleepMicroseconds(1000);
        }
    }
    return out;
}
