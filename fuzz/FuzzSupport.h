// Shared parts of the fuzz targets: a quiet runtime with a frozen clock, the control block that
// says how a fuzzed byte stream is cut into reads, and a recorder of delivered messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace fuzz {

// The first FUZZ_CONTROL_SIZE bytes of a stream target's input steer the run; the rest is the
// byte stream from the far end.
constexpr std::size_t FUZZ_CONTROL_SIZE = 8;

constexpr std::uint8_t FUZZ_FLAG_ANSWER = 0x01;      // the application answers each message
constexpr std::uint8_t FUZZ_FLAG_NOTIFY = 0x02;      // ... and sends a notification as well
constexpr std::uint8_t FUZZ_FLAG_HANGUP = 0x04;      // the far end closes after its last byte
constexpr std::uint8_t FUZZ_FLAG_FAIL_IO = 0x08;     // writes to the far end fail
constexpr std::uint8_t FUZZ_FLAG_CLOSE_IN = 0x10;    // the application closes the link on a message
constexpr std::uint8_t FUZZ_FLAG_APPLICATION = 0x20; // messages go to the application's handlers

// How a stream is cut and timed, read from the control block.
class StreamPlan {
  public:
    explicit StreamPlan(std::span<const std::uint8_t> input);
    std::span<const std::uint8_t> Stream() const { return stream_; }
    std::size_t NextChunk();      // length of the next read (at least 1)
    std::uint16_t StepMs() const; // clock advance after each read
    std::uint8_t Flags() const { return flags_; }
    std::uint32_t StartClock() const { return startClock_; }

  private:
    std::span<const std::uint8_t> stream_;
    std::uint32_t state_ = 1;
    std::uint32_t maxChunk_ = 1;
    std::uint16_t stepMs_ = 0;
    std::uint8_t flags_ = 0;
    std::uint32_t startClock_ = 0;
};

// A message handed to the application by a link module.
struct Delivered {
    std::uint8_t byChannel;
    std::uint8_t byType;
    std::vector<std::uint8_t> data;
};

// Once per process: standard output to /dev/null, the runtime initialised, the clock frozen.
void InitProcess();
// The stream everything meant for the console or the response file goes to.
std::FILE* NullStream();
constexpr std::uint32_t FUZZ_NEAR_WRAP = 0xFFFF0000u;   // clock starts from here on are exact
constexpr std::uint32_t FUZZ_CLOCK_BLOCK = 0x01000000u; // other starts: within such a block

// Runtime state of one run: dispatch tables empty, event log emptied, scheduler slots free,
// the clock frozen at dwStart (near the wrap), else at dwStart within the next clock block:
// advancing the clock all the way round for every run would cost more than the run itself.
void ResetRuntime(std::uint32_t dwStart);
// The clock value a run asked to start at dwStart actually starts at.
std::uint32_t StartClock(std::uint32_t dwStart);
// Sets the frozen clock to an absolute value by advancing it (it only moves forward).
void SetClock(std::uint32_t dwValue);

// Records every message delivered to the application (all types but the ones skipped).
void RegisterRecorder(std::uint8_t bySkipType);
std::vector<Delivered>& DeliveredMessages();
// Called by the recorder for each message after recording it (nullptr: none).
void SetDeliverHook(void (*pfHook)(const Delivered& message));
// Registers the application's own handlers instead, as the program does for its link: the
// generic display for every type, the interpreter for terminal requests and, on a serial link,
// the protocol commands' COMMUNICATION_PARAMS handler. A small function table is loaded first.
void RegisterApplication(std::uint8_t byLinkChannel, bool bSerial);
// Reads every byte of a message so that the sanitizers see a read beyond its end.
std::uint32_t Touch(const std::uint8_t* pbyData, std::uint16_t wLength);

} // namespace fuzz
