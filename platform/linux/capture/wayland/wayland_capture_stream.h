#pragma once
// The Wayland capture stream: the ScreenCast portal gives a PipeWire stream of the
// screen the desktop shares (asking the user the first time), whose pictures go
// through the same conversion, pool and change hints as on X11 and are delivered on
// the output's queue. A still screen delivers nothing. System sound comes from the
// sound server, as on X11.

#include <memory>
#include <mutex>
#include <optional>

#include "platform/screen_capture.h"

namespace platform::pulse {
class SystemSound;
}

namespace platform::wayland {

// What the stream object, its start and the PipeWire thread share.
struct WaylandShared;

class WaylandCaptureStream final : public CaptureStream {
public:
    WaylandCaptureStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                         StreamStopHandler didStop);
    ~WaylandCaptureStream() override;

    std::optional<Error> addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                         ScreenSampleHandler handler) override;
    // As on X11: the sound server's system sound, started with the capture.
    std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) override;
    // Runs the portal's flow on a thread of its own (the desktop may show its dialog,
    // which the start waits for, bounded) and connects the PipeWire stream; completes
    // with an error when the portal refuses, the user cancels or PipeWire fails.
    void startCapture(StreamCompletion completion) override;
    // Disconnects PipeWire and closes the portal session, then completes.
    void stopCapture(StreamCompletion completion) override;
    // Takes effect at the next picture.
    void updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) override;

private:
    std::shared_ptr<WaylandShared> shared_;
    std::mutex mutex_;
    bool started_ = false;
};

}  // namespace platform::wayland
