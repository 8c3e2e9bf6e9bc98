#include "tests/zentcap/flow_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>

#include "platform/dispatch.h"
#include "platform/sim/capture/sim_capture.h"

namespace zentcap::testing_support {

namespace {

using Clock = std::chrono::steady_clock;

// Captures of finished tests and the input ends that keep them from seeing an end of input.
struct Parked {
    std::mutex mutex;
    std::vector<std::shared_ptr<Capture>> captures;
    std::vector<int> inputs;
};

Parked& parked() {
    static Parked* shared = new Parked;
    return *shared;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::optional<Packet> takePacket(std::vector<uint8_t>& stream) {
    if (stream.size() < 13) return std::nullopt;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = (length << 8) | stream[i];
    if (stream.size() < 13 + static_cast<size_t>(length)) return std::nullopt;
    Packet packet;
    packet.kind = stream[4];
    for (int i = 5; i < 13; ++i) packet.timestamp = (packet.timestamp << 8) | stream[i];
    packet.payload.assign(stream.begin() + 13, stream.begin() + 13 + length);
    stream.erase(stream.begin(), stream.begin() + 13 + length);
    return packet;
}

StreamParameters defaultParameters() { return {1, 1280, 720, {30, 4000000}, true}; }

FlowHarness::FlowHarness(StreamParameters parameters) : parameters_(parameters) {
    if (::pipe2(input_, O_CLOEXEC) != 0 || ::pipe2(output_, O_CLOEXEC) != 0 || ::pipe2(error_, O_CLOEXEC) != 0) {
        std::abort();
    }
    ::fcntl(error_[0], F_SETFL, O_NONBLOCK);
    capture_ = Capture::create(parameters_, {input_[0], output_[1], error_[1]});
}

FlowHarness::~FlowHarness() {
    // The read ends go, so a parked Capture that still writes meets EPIPE at once.
    ::close(output_[0]);
    ::close(error_[0]);
    auto& p = parked();
    std::scoped_lock lock(p.mutex);
    p.captures.push_back(capture_);
    p.inputs.push_back(input_[1]);
}

void FlowHarness::start() { capture_->start(); }

bool FlowHarness::startStreaming() {
    start();
    std::string notice = "captura " + std::to_string(parameters_.width) + "x" + std::to_string(parameters_.height) +
                         " H.264 High, cursor=" + (parameters_.drawMouse ? "1" : "0") + "\n";
    return waitStderr(notice) && platform::sim::waitFor([] { return platform::sim::streamRecord().startsCompleted == 1; });
}

bool FlowHarness::writeInputAndWaitTaken(std::string_view text, Milliseconds timeout) {
    writeInput(text);
    return platform::sim::waitFor(
        [this] {
            int unread = 0;
            return ::ioctl(input_[1], FIONREAD, &unread) == 0 && unread == 0;
        },
        timeout);
}

void FlowHarness::writeInput(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(input_[1], text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::optional<Packet> FlowHarness::nextPacket(Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto packet = takePacket(outputBytes_)) return packet;
        pollfd readable{output_[0], POLLIN, 0};
        if (::poll(&readable, 1, msLeft(deadline)) <= 0) return std::nullopt;
        uint8_t chunk[65536];
        ssize_t n = ::read(output_[0], chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        outputBytes_.insert(outputBytes_.end(), chunk, chunk + n);
    }
}

bool FlowHarness::outputStaysQuiet(Milliseconds window) {
    if (!outputBytes_.empty()) return false;
    pollfd readable{output_[0], POLLIN, 0};
    return ::poll(&readable, 1, static_cast<int>(window.count())) == 0;
}

void FlowHarness::drainStderr(Milliseconds wait) {
    pollfd readable{error_[0], POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(error_[0], chunk, sizeof chunk)) > 0) stderrText_.append(chunk, static_cast<size_t>(n));
}

bool FlowHarness::waitStderr(std::string_view needle, Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (stderrText_.find(needle) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        drainStderr(Milliseconds(std::min(msLeft(deadline), 50)));
    }
}

std::string FlowHarness::stderrText() {
    drainStderr(Milliseconds(0));
    return stderrText_;
}

void runUntilExit(Capture& capture) {
    platform::dispatch::Queue::global().asyncAfter(std::chrono::seconds(20), [] { ::_exit(97); });
    capture.start();
    platform::dispatch::dispatchMain();
}

}  // namespace zentcap::testing_support
