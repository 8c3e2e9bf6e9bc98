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
    // The X server carries no sound: system sound comes from the sound server.
    std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) override;
    // Opens the connection and sets capture up on the capture thread, which then
    // completes (an error when the display cannot be captured) and starts delivering.
    void startCapture(StreamCompletion completion) override;
    // Completes, on a thread of its own, once the capture thread has ended.
    void stopCapture(StreamCompletion completion) override;
    // Takes effect at the capture thread's next wake-up, which it causes at once.
    void updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) override;

private:
    std::shared_ptr<StreamShared> shared_;
    std::mutex threadMutex_;
    std::thread thread_;
    bool started_ = false;
};

}  // namespace platform::x11
