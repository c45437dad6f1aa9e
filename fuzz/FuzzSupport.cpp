#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "Application/AppCmd.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppProtocol.h"
#include "Application/AppRfc.h"
#include "Application/AppStreams.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "Runtime/Trace.h"
#include "fuzz/FuzzFiles.h"

namespace fuzz {

namespace {

std::vector<Delivered> delivered;
std::FILE* nullStream = nullptr;
volatile std::uint32_t touchSink = 0;
void (*pfDeliverHook)(const Delivered&) = nullptr;

std::uint16_t Record(std::uint8_t byChannel, std::uint8_t byType, std::uint16_t wLength,
                     const std::uint8_t* pbyData) {
    touchSink = Touch(pbyData, wLength);
    Delivered message{byChannel, byType, {}};
    if (wLength != 0) {
        message.data.assign(pbyData, pbyData + wLength);
    }
    delivered.push_back(std::move(message));
    if (pfDeliverHook != nullptr) {
        pfDeliverHook(delivered.back());
    }
    return 0;
}

std::uint32_t ReadWord(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

} // namespace

StreamPlan::StreamPlan(std::span<const std::uint8_t> input) {
    if (input.size() < FUZZ_CONTROL_SIZE) {
        stream_ = input;
        return;
    }
    state_ = ReadWord(input, 0) | 1u;
    maxChunk_ = 1u << (input[4] % 12); // 1 to 2048 bytes per read
    stepMs_ = static_cast<std::uint16_t>(input[5] * 4u);
    flags_ = input[6];
    // Clock start: near zero, or shortly before the clock wraps around.
    startClock_ =
        (input[7] & 0x80) != 0 ? 0xFFFFF000u + (input[7] & 0x7Fu) * 32u : 1000u + input[7] * 64u;
    stream_ = input.subspan(FUZZ_CONTROL_SIZE);
}

std::size_t StreamPlan::NextChunk() {
    // xorshift32: deterministic for the input, steered by the fuzzer through the seed bytes.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return 1 + state_ % maxChunk_;
}

std::uint16_t StreamPlan::StepMs() const {
    return stepMs_;
}

void InitProcess() {
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    nullStream = std::fopen("/dev/null", "w");
    static_cast<void>(OssInit());
    OssFreezeTime(1);
    OssDisableWait(1);
    static_cast<void>(MdsInit());
    static_cast<void>(LogInit());
    // The link trace is on for every target, into nowhere: the serial and TCP/IP taps cut the
    // same fuzzed streams as the receivers.
    (void)TraceOpen("/dev/null");
}

std::FILE* NullStream() {
    return nullStream;
}

void SetClock(std::uint32_t dwValue) {
    std::uint32_t dwDelta = dwValue - OssGetTime();
    while (dwDelta > 0) {
        const std::uint16_t wStep = static_cast<std::uint16_t>(dwDelta > 0xFFFF ? 0xFFFF : dwDelta);
        OssAdvanceTime(wStep);
        dwDelta -= wStep;
    }
}

std::uint32_t StartClock(std::uint32_t dwStart) {
    if (dwStart >= FUZZ_NEAR_WRAP) {
        return dwStart;
    }
    // The clock only moves forward: the next run starts at the same place within the next
    // block of FUZZ_CLOCK_BLOCK ms, which costs a few hundred advances at most.
    const std::uint32_t dwNow = OssGetTime();
    const std::uint32_t dwBlock = (dwNow / FUZZ_CLOCK_BLOCK + 1) * FUZZ_CLOCK_BLOCK;
    return dwBlock >= FUZZ_NEAR_WRAP ? dwStart : dwBlock + dwStart;
}

void ResetRuntime(std::uint32_t dwStart) {
    static_cast<void>(OssTerminate());
    static_cast<void>(OssInit());
    OssFreezeTime(1);
    SetClock(StartClock(dwStart));
    MdsResetForTest();
    GpsTmrResetForTest();
    LogResetForTest();
    delivered.clear();
    pfDeliverHook = nullptr;
}

void RegisterRecorder(std::uint8_t bySkipType) {
    for (unsigned type = 0; type < MDSC_TABLE_SIZE; ++type) {
        if (type != bySkipType) {
            static_cast<void>(MdsRegisterMsgHandler(static_cast<std::uint8_t>(type), Record));
        }
    }
}

std::vector<Delivered>& DeliveredMessages() {
    return delivered;
}

void SetDeliverHook(void (*pfHook)(const Delivered& message)) {
    pfDeliverHook = pfHook;
}

void RegisterApplication(std::uint8_t byLinkChannel, bool bSerial) {
    static bool bLoaded = false;
    AppSetConsole(NullStream());
    AppSetResponseStream(NullStream());
    if (!bLoaded) {
        const std::string path = WorkPath("FNID.DEF");
        WriteFile(path, "#define REQUEST\n"
                        "PING 0x0101 { B } { B }\n"
                        "NAMES 0x0102 { S8 (B W)2 } { E S4 D (C2 X)3 }\n"
                        "NONE 0x0103 { - } { - }\n"
                        "#define UPDATE\n"
                        "CHANGED 0x0200 { B D I H }\n");
        bLoaded = FnTabLoad(path.c_str()) == APPC_LOAD_OK;
    }
    AppSetLinkChannel(byLinkChannel);
    CmdResetForTest();
    RfcReset();
    SetPendingFnId(0x0101);
    for (unsigned type = 0; type < MDSC_TABLE_SIZE; ++type) {
        static_cast<void>(
            MdsRegisterMsgHandler(static_cast<std::uint8_t>(type), MsgGenericHandler));
    }
    static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, CmdLineHandler));
    if (bSerial) {
        static_cast<void>(
            MdsRegisterMsgHandler(MDSC_MSG_COMMUNICATION_PARAMS, ProtocolComParamsHandler));
    }
}

std::uint32_t Touch(const std::uint8_t* pbyData, std::uint16_t wLength) {
    std::uint32_t sum = 0;
    for (std::uint16_t i = 0; i < wLength; ++i) {
        sum += pbyData[i];
    }
    return sum;
}

} // namespace fuzz
