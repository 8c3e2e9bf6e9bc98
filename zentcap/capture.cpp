#include "zentcap/capture.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/bounded_write.h"

namespace zentcap {

namespace {

using namespace std::chrono_literals;
using platform::dispatch::Queue;

// How long the stop sequence waits for the stream's stop completion before it exits anyway.
constexpr auto kStopGuard = 2s;

// Diagnostics are best effort: a line that cannot be written within this time is
// dropped (or cut short), whatever the descriptor's blocking mode, so a host that stops
// draining standard error can neither stall the pipeline nor hold up an exit.
constexpr auto kDiagnosticWait = 500ms;

void writeDiagnostic(int fd, const std::string& text) { platform::writeWithin(fd, text, kDiagnosticWait); }

}  // namespace

void exitProcess(int status) {
    // Nothing here may wait: no stdio flush (a writer blocked on a full standard error
    // would hold the stream's lock), no destructors. Nothing is buffered in the process
    // anyway: packets and diagnostics go out with write(2).
    ::_exit(status);
}

std::shared_ptr<Capture> Capture::create(const StreamParameters& parameters, StandardStreams streams) {
    return std::shared_ptr<Capture>(new Capture(parameters, streams));
}

Capture::Capture(const StreamParameters& parameters, StandardStreams streams)
    : queue_(Queue::serial("zentori.capture", platform::dispatch::QualityOfService::userInteractive)),
      streams_(streams),
      displayID_(parameters.displayID),
      width_(parameters.width),
      height_(parameters.height),
      drawMouse_(parameters.drawMouse),
      quality_(parameters.quality),
      origin_(platform::hostTimeNanos()),
      cursorWriter_(Queue::serial("zentori.capture.cursor")) {}

void Capture::start() {
    // A reader that goes away must show up as a failing write (EPIPE), not kill us.
    ::signal(SIGPIPE, SIG_IGN);

    int flags = ::fcntl(streams_.output, F_GETFL);
    if (flags >= 0) ::fcntl(streams_.output, F_SETFL, flags | O_NONBLOCK);

    // Neither signal may ever take its default action: ignored first, then taken over
    // by a source whose handler runs on the main queue.
    std::weak_ptr<Capture> weak = weak_from_this();
    for (int signalNumber : {SIGTERM, SIGINT}) {
        ::signal(signalNumber, SIG_IGN);
        signals_.push_back(platform::dispatch::SignalSource::create(signalNumber, Queue::main(), [weak] {
            if (auto self = weak.lock()) self->stop(0);
        }));
    }

    platform::getShareableContent(false, false, [weak](auto content, auto error) {
        if (auto self = weak.lock()) self->contentArrived(std::move(content), std::move(error));
    });
    startControlChannel();
}

void Capture::stop(int32_t status) {
    bool first = false;
    {
        std::scoped_lock lock(stateLock_);
        first = !closed_;
        if (first) firstStatus_ = status;
        closed_ = true;
        status = firstStatus_;
    }
    // The guard counts from the first stop, not from the stop sequence: whatever holds
    // up the pipeline queue (a platform call that does not return), the process ends
    // within kStopGuard.
    if (first) Queue::global().asyncAfter(kStopGuard, [status] { exitProcess(status); });
    auto self = shared_from_this();
    queue_.async([self, status] { self->runStopSequence(status); });
}

void Capture::fail(std::string_view message) {
    writeDiagnostic(streams_.error, std::string(message) + "\n");
    stop(1);
}

void Capture::notice(std::string_view line) const { writeDiagnostic(streams_.error, std::string(line) + "\n"); }

bool Capture::isClosed() {
    std::scoped_lock lock(stateLock_);
    return closed_;
}

// On queue_. Runs once: the first stop's status wins, later ones find `stopping_` set.
// Frames inside the encoder are abandoned, nothing is flushed.
void Capture::runStopSequence(int32_t status) {
    if (stopping_) return;
    stopping_ = true;
    lastPixel_.reset();
    if (encoder_) {
        encoder_->invalidate();
        encoder_.reset();
    }
    if (!stream_) exitProcess(status);

    // Whichever comes first ends the process: the stream's stop completion, whatever
    // its result, or the guard (armed by the first stop) against a completion that
    // never comes.
    stream_->stopCapture([status](std::optional<platform::Error>) { exitProcess(status); });
}

}  // namespace zentcap
