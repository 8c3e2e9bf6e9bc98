#pragma once
// The X11 capture stream: one thread of its own that waits on the X connection for
// damage, captures the display's monitor through MIT-SHM when something changed (no
// faster than the configured frame interval), converts it to NV12 in a pooled pixel
// buffer and hands it to the output's queue; idle frames (no image) mark the ticks at
// which nothing changed.

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/screen_capture.h"

namespace platform::pulse {
class SystemSound;
}

namespace platform::x11 {

// What the stream object and its capture thread share.
struct StreamShared;

class XcbCaptureStream final : public CaptureStream {
public:
    XcbCaptureStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                     StreamStopHandler didStop);
    // Stops the capture thread and waits for it (unless called on it).
    ~XcbCaptureStream() override;

    std::optional<Error> addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                         ScreenSampleHandler handler) override;
    // The X server carries no sound: system sound comes from the sound server
    // (platform/linux/sound), which this stream only starts and stops. A stream
    // configured without `capturesAudio` accepts the output and never touches the
    // sound server. An error when the sound server cannot be reached or the format
    // is not 48 kHz with one or two channels.
    std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) override;
    // Starts the system sound first when it was asked for (an error there completes
    // the start with it), then opens the X connection and sets capture up on the
    // capture thread, which then completes (an error when the display cannot be
    // captured) and starts delivering. Losing the sound server stops the stream.
    void startCapture(StreamCompletion completion) override;
    // Completes, on a thread of its own, once the capture thread has ended.
    void stopCapture(StreamCompletion completion) override;
    // Takes effect at the capture thread's next wake-up, which it causes at once.
    void updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) override;

private:
    // Starts the system sound when the configuration and an audio output ask for it.
    std::optional<Error> startSound();

    std::shared_ptr<StreamShared> shared_;
    std::mutex threadMutex_;  // guards the members below
    std::thread thread_;
    bool started_ = false;
    std::unique_ptr<pulse::SystemSound> sound_;
};

}  // namespace platform::x11
