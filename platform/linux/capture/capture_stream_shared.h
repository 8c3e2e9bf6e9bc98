#pragma once
// What a screen capture stream of this backend (X11 or Wayland) shares with the
// thread that captures for it: the program's configuration and outputs, and the
// system sound that starts with the capture. Both sources take and check them alike.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/screen_capture.h"

namespace platform::pulse {
class SystemSound;
}

namespace platform::capture {

struct CaptureStreamShared {
    // `refused`: this source's error (domain and code) for a request it cannot take.
    CaptureStreamShared(const ContentFilter& filter, const StreamConfiguration& configuration,
                        StreamStopHandler didStop, Error refused);
    ~CaptureStreamShared();

    // The stream's two outputs. Sound is offered only at 48 kHz in mono or stereo, and
    // a stream that captures it asks the sound server at once, so that a missing one
    // is reported where the program adds the output rather than when it starts.
    std::optional<Error> addStreamOutput(StreamOutputType type, dispatch::Queue queue, ScreenSampleHandler handler);
    std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler);
    // Takes a new configuration for the capture's next picture; an error for a size
    // no capture can have.
    std::optional<Error> updateConfiguration(const StreamConfiguration& configuration);
    // The system sound, when the configuration and an audio output ask for it (null
    // otherwise). `lost` is told when the sound server goes away.
    Result<std::unique_ptr<pulse::SystemSound>> startSystemSound(std::function<void(const Error&)> lost);

    const ContentFilter filter;
    const StreamStopHandler didStop;
    const Error refused;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> stopReported{false};

    std::mutex mutex;  // guards the members below, and those a source adds to them
    StreamConfiguration configuration;
    uint64_t configurationVersion = 1;
    std::optional<dispatch::Queue> queue;
    ScreenSampleHandler handler;
    std::optional<dispatch::Queue> audioQueue;
    AudioSampleHandler audioHandler;
};

}  // namespace platform::capture
