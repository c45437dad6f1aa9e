// Fuzz target of the serial receive state machines: a fuzzed byte stream from the far end, cut
// into reads at fuzzed points, goes through the RS232 manager's port task with the protocol
// chosen at build time (FUZZ_RSM_PROTOCOL), the clock moving between reads; the application
// may answer each message it receives and may close the port when a message arrives.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "Communication/Rsm/Rsm.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "fuzz/FuzzSupport.h"

#ifndef FUZZ_RSM_PROTOCOL
#define FUZZ_RSM_PROTOCOL RSMC_PROTOCOL_FULL
#endif

namespace {

constexpr std::uint8_t FUZZ_PORT = 2;
constexpr std::uint16_t FUZZ_WRITE_FAILURE = 12300;
constexpr int FUZZ_TRAILING_RUNS = 8; // task runs after the last byte, for the time-outs

// The byte driver: the stream's current read is all there is to read; writes vanish.
struct FuzzLine {
    const std::uint8_t* pbyPending = nullptr;
    std::size_t wPending = 0;
    bool bOpen = false;
    bool bFailWrites = false;
};
FuzzLine line;

std::uint16_t Open(std::uint8_t byPort, std::uint32_t, std::uint8_t, std::uint8_t, std::uint8_t) {
    line.bOpen = byPort == FUZZ_PORT;
    return line.bOpen ? 0 : FUZZ_WRITE_FAILURE;
}
std::uint16_t Close(std::uint8_t) {
    line.bOpen = false;
    return 0;
}
std::uint16_t Write(std::uint8_t, std::uint16_t wCount, const std::uint8_t* pbyData) {
    if (!line.bOpen || line.bFailWrites) {
        return FUZZ_WRITE_FAILURE;
    }
    return fuzz::Touch(pbyData, wCount) == 0xFFFFFFFFu ? FUZZ_WRITE_FAILURE : 0;
}
std::uint16_t Read(std::uint8_t, std::uint16_t wMax, std::uint8_t* pbyData,
                   std::uint16_t* pwCount) {
    *pwCount = 0;
    if (!line.bOpen) {
        return FUZZ_WRITE_FAILURE;
    }
    while (line.wPending > 0 && *pwCount < wMax) {
        pbyData[(*pwCount)++] = *line.pbyPending++;
        --line.wPending;
    }
    return 0;
}
std::uint16_t Purge(std::uint8_t) {
    return 0;
}
std::uint8_t IsOpen(std::uint8_t) {
    return line.bOpen ? 1 : 0;
}
std::uint16_t SetBaudrate(std::uint8_t, std::uint32_t) {
    return 0;
}
std::uint16_t EnableNotify(std::uint8_t, std::uint8_t) {
    return 0;
}
int ReadHandle(std::uint8_t) {
    return -1; // nothing to wait on: the target runs the port task itself
}
constexpr RsmDriverOps FUZZ_OPS = {Open,   Close,       Write,        Read,      Purge,
                                   IsOpen, SetBaudrate, EnableNotify, ReadHandle};

void Notify(std::uint16_t, std::uint8_t) {}

// The application closes the port from inside its handler.
void CloseOnDelivery(const fuzz::Delivered&) {
    if (RsmIsPortOpen(FUZZ_PORT) != 0) {
        // A refused close is logged by the manager; the input goes on either way.
        static_cast<void>(RsmClose(FUZZ_PORT));
    }
}

// What the application sends after a task run: an answer (and a notification) per message.
void Answer(std::uint8_t byFlags) {
    auto& messages = fuzz::DeliveredMessages();
    for (const fuzz::Delivered& message : messages) {
        const std::uint16_t wLength =
            static_cast<std::uint16_t>(message.data.size() > 4999 ? 4999 : message.data.size());
        const std::uint8_t* pbyData = message.data.empty() ? nullptr : message.data.data();
        if ((byFlags & fuzz::FUZZ_FLAG_ANSWER) != 0) {
            static_cast<void>(MdsExecuteResponseHandler(message.byChannel, 4, wLength, pbyData));
        }
        if ((byFlags & fuzz::FUZZ_FLAG_NOTIFY) != 0) {
            static_cast<void>(MdsExecuteResponseHandler(message.byChannel, 5, wLength, pbyData));
        }
    }
    messages.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    static_cast<void>(RsmInit()); // always 0
    RsmSetDriver(&FUZZ_OPS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    fuzz::StreamPlan plan({pbyInput, wSize});
    fuzz::ResetRuntime(plan.StartClock());
    RsmResetForTest();
    line = FuzzLine{};
    line.bFailWrites = (plan.Flags() & fuzz::FUZZ_FLAG_FAIL_IO) != 0;
    if (RsmOpen(FUZZ_PORT, 115200, FUZZ_RSM_PROTOCOL, Notify) != 0) {
        return 0;
    }
    if ((plan.Flags() & fuzz::FUZZ_FLAG_APPLICATION) != 0) {
        fuzz::RegisterApplication(MDSC_SERIAL_CHANNEL_0, true);
    } else {
        fuzz::RegisterRecorder(MDSC_MSG_COMMUNICATION_PARAMS);
        if ((plan.Flags() & fuzz::FUZZ_FLAG_CLOSE_IN) != 0) {
            fuzz::SetDeliverHook(CloseOnDelivery);
        }
    }
    const auto stream = plan.Stream();
    std::size_t wDone = 0;
    int nTrailing = FUZZ_TRAILING_RUNS;
    // A module that stops reading leaves bytes unread: the passes are bounded all the same.
    std::size_t wPassesLeft = 2 * stream.size() + 64;
    while (RsmIsPortOpen(FUZZ_PORT) != 0 && wPassesLeft-- > 0 &&
           (wDone < stream.size() || line.wPending > 0 || nTrailing-- > 0)) {
        if (line.wPending == 0 && wDone < stream.size()) {
            const std::size_t wChunk = std::min(plan.NextChunk(), stream.size() - wDone);
            line.pbyPending = stream.data() + wDone;
            line.wPending = wChunk;
            wDone += wChunk;
        }
        RsmRunSlotForTest(0);
        Answer(plan.Flags());
        OssAdvanceTime(plan.StepMs());
    }
    line.wPending = 0;
    RsmResetForTest();
    fuzz::DeliveredMessages().clear();
    return 0;
}
