#pragma once
// Runs a real Capture on the scripted backend with pipes for its three streams, as
// the host would see it. Capture objects live until the process exits, so a finished
// harness parks its Capture (and the input pipe, whose end would stop it) for good.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zentcap/capture.h"

namespace zentcap::testing_support {

using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kPatience{10000};

struct Packet {
    uint8_t kind = 0;
    uint64_t timestamp = 0;
    std::vector<uint8_t> payload;
};

// Splits a packet stream; nullopt when the bytes do not hold a whole packet.
std::optional<Packet> takePacket(std::vector<uint8_t>& stream);

// 1280 x 720 of display 1 at 30 fps and 4 Mbit/s, pointer drawn into the frames.
StreamParameters defaultParameters();

class FlowHarness {
public:
    explicit FlowHarness(StreamParameters parameters = defaultParameters());
    ~FlowHarness();
    FlowHarness(const FlowHarness&) = delete;
    FlowHarness& operator=(const FlowHarness&) = delete;

    Capture& capture() { return *capture_; }
    void start();
    // start(), then waits for the stream's start notice.
    bool startStreaming();

    void writeInput(std::string_view text);
    // Next packet on the output, or nullopt when none comes within `timeout`.
    std::optional<Packet> nextPacket(Milliseconds timeout = kPatience);
    // True when no byte arrives on the output within `window`.
    bool outputStaysQuiet(Milliseconds window);
    int outputReadFd() const { return output_[0]; }
    // The descriptor the streamer writes packets to.
    int outputWriteFd() const { return output_[1]; }
    // Writes `text` and returns once the streamer's reader has taken all of it out of
    // the pipe. A line written after an earlier line was taken is read only after the
    // reader has handed on the earlier line's work.
    bool writeInputAndWaitTaken(std::string_view text, Milliseconds timeout = kPatience);

    bool waitStderr(std::string_view needle, Milliseconds timeout = kPatience);
    std::string stderrText();

private:
    void drainStderr(Milliseconds wait);

    StreamParameters parameters_;
    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
    int error_[2] = {-1, -1};
    std::shared_ptr<Capture> capture_;
    std::vector<uint8_t> outputBytes_;
    std::string stderrText_;
};

// For death tests: starts `capture` and serves the main queue for the rest of the
// process, as the program does. A watchdog ends a flow that never exits with 97.
[[noreturn]] void runUntilExit(Capture& capture);

}  // namespace zentcap::testing_support
