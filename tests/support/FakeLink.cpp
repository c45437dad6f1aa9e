#include "tests/support/FakeLink.h"

#include <array>
#include <deque>

namespace {

constexpr std::uint8_t FAKE_PORTS = 4;

struct FakePort {
    bool bOpen = false;
    std::deque<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    int purges = 0;
    bool bHungUp = false;
    int reads = 0;
};

std::array<FakePort, FAKE_PORTS> fakePorts;
std::uint16_t readChunk = 0xFFFF;
std::uint16_t openResult = 0;
bool cutLink = false;

int Peer(std::uint8_t byPort) {
    if (byPort == 0) {
        return 1;
    }
    if (byPort == 1) {
        return 0;
    }
    return -1;
}

std::uint16_t Open(std::uint8_t byPort, std::uint32_t, std::uint8_t, std::uint8_t, std::uint8_t) {
    if (byPort >= FAKE_PORTS) {
        return 12302;
    }
    if (openResult != 0) {
        return openResult;
    }
    fakePorts[byPort].bOpen = true;
    return 0;
}

std::uint16_t Close(std::uint8_t byPort) {
    if (byPort < FAKE_PORTS) {
        fakePorts[byPort].bOpen = false;
    }
    return 0;
}

std::uint16_t Write(std::uint8_t byPort, std::uint16_t wCount, const std::uint8_t* pbyData) {
    if (byPort >= FAKE_PORTS || !fakePorts[byPort].bOpen) {
        return 12300;
    }
    const int peer = Peer(byPort);
    for (std::uint16_t i = 0; i < wCount; ++i) {
        if (peer < 0) {
            fakePorts[byPort].output.push_back(pbyData[i]);
        } else if (!cutLink) {
            fakePorts[static_cast<std::size_t>(peer)].input.push_back(pbyData[i]);
        }
    }
    return 0;
}

std::uint16_t Read(std::uint8_t byPort, std::uint16_t wMax, std::uint8_t* pbyData,
                   std::uint16_t* pwCount) {
    *pwCount = 0;
    if (byPort >= FAKE_PORTS || !fakePorts[byPort].bOpen) {
        return 12300;
    }
    ++fakePorts[byPort].reads;
    if (fakePorts[byPort].bHungUp) {
        return RSMC_READ_HUNG_UP;
    }
    auto& input = fakePorts[byPort].input;
    while (!input.empty() && *pwCount < wMax && *pwCount < readChunk) {
        pbyData[(*pwCount)++] = input.front();
        input.pop_front();
    }
    return 0;
}

std::uint16_t Purge(std::uint8_t byPort) {
    if (byPort < FAKE_PORTS) {
        ++fakePorts[byPort].purges;
    }
    return 0;
}

std::uint8_t IsOpenOp(std::uint8_t byPort) {
    return (byPort < FAKE_PORTS && fakePorts[byPort].bOpen) ? 1 : 0;
}

std::uint16_t SetBaudrate(std::uint8_t, std::uint32_t) {
    return 0;
}
std::uint16_t EnableNotify(std::uint8_t, std::uint8_t) {
    return 0;
}

int ReadHandle(std::uint8_t) {
    return -1; // bytes of the in-memory link are there at once, nothing to wait on
}

constexpr RsmDriverOps FAKE_OPS = {Open,     Close,       Write,        Read,      Purge,
                                   IsOpenOp, SetBaudrate, EnableNotify, ReadHandle};

} // namespace

namespace FakeLink {

void Reset() {
    for (auto& port : fakePorts) {
        port = FakePort{};
    }
    readChunk = 0xFFFF;
    openResult = 0;
    cutLink = false;
}

const RsmDriverOps* Ops() {
    return &FAKE_OPS;
}

void Inject(std::uint8_t byPort, const std::vector<std::uint8_t>& bytes) {
    fakePorts[byPort].input.insert(fakePorts[byPort].input.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> TakeOutput(std::uint8_t byPort) {
    std::vector<std::uint8_t> out;
    out.swap(fakePorts[byPort].output);
    return out;
}

bool IsOpen(std::uint8_t byPort) {
    return fakePorts[byPort].bOpen;
}
int PurgeCount(std::uint8_t byPort) {
    return fakePorts[byPort].purges;
}
void SetReadChunk(std::uint16_t wChunk) {
    readChunk = wChunk;
}
void SetOpenResult(std::uint16_t wResult) {
    openResult = wResult;
}
void SetCutLink(bool bCut) {
    cutLink = bCut;
}
void SetHungUp(std::uint8_t byPort, bool bHungUp) {
    fakePorts[byPort].bHungUp = bHungUp;
}
int ReadCount(std::uint8_t byPort) {
    return fakePorts[byPort].reads;
}

} // namespace FakeLink
