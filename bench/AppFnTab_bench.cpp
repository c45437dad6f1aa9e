// Benchmarks of the function table and the call path: loading a large definition file, encoding
// a typical call and displaying a 200-byte message.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppRfc.h"
#include "Application/AppStreams.h"
#include "Runtime/Mds.h"

namespace {

constexpr int kFunctions = 500;
constexpr std::uint8_t kChannel = MDSC_TCPIP_SESSION_BASE;

// Output of the modules goes nowhere while they are measured.
std::FILE* NullStream() {
    static std::FILE* pNull = std::fopen("/dev/null", "w");
    return pNull;
}

// A definition file of kFunctions entries in both sections, with comments, written once.
const std::string& LargeDefinitionFile() {
    static const std::string path = [] {
        const std::string file =
            (std::filesystem::temp_directory_path() / "talvo_bench_FNID.DEF").string();
        std::ofstream out(file);
        out << "; generated for the benchmark\n#define REQUEST\n";
        for (int n = 0; n < kFunctions; ++n) {
            if (n == kFunctions - 50) {
                out << "#define UPDATE\n";
            }
            out << "FUNCTION_" << n << "  0x" << std::hex << (0x100 + n * 7) << std::dec;
            if (n >= kFunctions - 50) {
                out << "  { B W (D H)2 S16 }      ; notification\n";
            } else {
                out << "  { B W S20 }  { W (D B)4 I2 X4 }   // call " << n << "\n";
            }
        }
        return file;
    }();
    return path;
}

std::uint16_t Discard(std::uint8_t, std::uint8_t, std::uint16_t, const std::uint8_t*) {
    return 0;
}

void Prepare() {
    AppSetConsole(NullStream());
    AppSetResponseStream(NullStream());
    AppSetLinkChannel(kChannel);
    static_cast<void>(MdsInit());
    static_cast<void>(MdsRegisterResponseHandler(kChannel, Discard));
}

void BM_LoadLargeDefinitionFile(benchmark::State& state) {
    Prepare();
    const std::string& file = LargeDefinitionFile();
    for (auto _ : state) {
        benchmark::DoNotOptimize(FnTabLoad(file.c_str()));
    }
    state.counters["functions"] = FnTabCount();
    FnTabRelease();
}
BENCHMARK(BM_LoadLargeDefinitionFile)->Unit(benchmark::kMicrosecond);

void BM_EncodeTypicalCall(benchmark::State& state) {
    Prepare();
    if (FnTabLoad(LargeDefinitionFile().c_str()) != APPC_LOAD_OK) {
        state.SkipWithError("definition file not loaded");
        return;
    }
    const std::string call = "FUNCTION_250 7 0x1234 \"PUMP STATION 12\"";
    std::vector<char> line(call.size() + 1);
    for (auto _ : state) {
        std::copy(call.begin(), call.end(), line.begin());
        line.back() = '\0';
        benchmark::DoNotOptimize(TriggerRFC(line.data(), kChannel));
    }
    FnTabRelease();
}
BENCHMARK(BM_EncodeTypicalCall);

void BM_Display200ByteMessage(benchmark::State& state) {
    Prepare();
    if (FnTabLoad(LargeDefinitionFile().c_str()) != APPC_LOAD_OK) {
        state.SkipWithError("definition file not loaded");
        return;
    }
    // RFS_RESPONSE of FUNCTION_250: FnId, error code, described fields and a rest to dump.
    std::vector<std::uint8_t> message(200);
    const std::uint16_t wFnId = 0x100 + 250 * 7;
    message[0] = static_cast<std::uint8_t>(wFnId);
    message[1] = static_cast<std::uint8_t>(wFnId >> 8);
    for (std::size_t n = 4; n < message.size(); ++n) {
        message[n] = static_cast<std::uint8_t>(n * 31);
    }
    for (auto _ : state) {
        MsgDisplay(nullptr, MDSC_MSG_RFS_RESPONSE, static_cast<std::uint16_t>(message.size()),
                   message.data());
    }
    FnTabRelease();
}
BENCHMARK(BM_Display200ByteMessage);

} // namespace
