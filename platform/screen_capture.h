#pragma once
// Screen capture: the displays that may be captured, and capture streams that deliver
// screen frames on a queue of the caller's choosing.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/media.h"

namespace platform {

// Whether this process may capture the screen; never asks the user.
bool preflightScreenCaptureAccess();
// Why the system sound cannot be captured now (for instance, no sound server
// answers); none when it can. Never asks the user.
std::optional<Error> preflightSystemAudioCapture();

struct Display {
    uint32_t displayID = 0;
    int width = 0;   // points
    int height = 0;  // points
};

struct ShareableContent {
    std::vector<Display> displays;  // in the platform's order
};

// Completes once, on a platform thread, with the content or an error; the platform
// may also give neither.
using ShareableContentHandler =
    std::function<void(std::optional<ShareableContent> content, std::optional<Error> error)>;
void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                         ShareableContentHandler completion);

// What a stream captures: a whole display.
struct ContentFilter {
    Display display;
};

struct StreamConfiguration {
    int64_t width = 0;   // output pixels
    int64_t height = 0;
    MediaTime minimumFrameInterval;  // frames come no faster than this
    uint32_t pixelFormat = kPixelFormat420v;
    int queueDepth = 3;              // frames the stream may have outstanding
    bool showsCursor = true;         // draw the pointer into the frames
    bool scalesToFit = false;
    std::string colorSpaceName = "sRGB";
    // System sound: delivered to the audio output when `capturesAudio` is set.
    bool capturesAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    bool excludesCurrentProcessAudio = false;
};

enum class StreamOutputType { screen, audio };

// Completion of start, stop and reconfiguration: an error, or none on success. Runs
// on a platform thread.
using StreamCompletion = std::function<void(std::optional<Error> error)>;
// The stream stopped by itself. Runs on a platform thread.
using StreamStopHandler = std::function<void(const Error& error)>;
// One sample of the given output type; runs on the queue given with the output.
using ScreenSampleHandler = std::function<void(std::shared_ptr<const VideoSample> sample, StreamOutputType type)>;
// One block of system sound; runs on the queue given with the audio output.
using AudioSampleHandler = std::function<void(std::shared_ptr<const AudioSampleBuffer> sample)>;

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Registers the receiver of samples of `type`, delivered on `queue`. An error when
    // the stream refuses it.
    virtual std::optional<Error> addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                                 ScreenSampleHandler handler) = 0;
    // Registers the receiver of the system sound, delivered on `queue` in the format the
    // configuration asked for (float samples). An error when the stream refuses it, for
    // instance when the system sound cannot be reached. Only streams configured with
    // `capturesAudio` deliver anything to it. The handler must stay callable for the
    // life of the stream.
    virtual std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) = 0;
    virtual void startCapture(StreamCompletion completion) = 0;
    virtual void stopCapture(StreamCompletion completion) = 0;
    virtual void updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) = 0;

protected:
    CaptureStream() = default;
};

// The display the user works on: its displayID as getShareableContent() reports it.
uint32_t mainDisplayID();

// Creates a stream; nothing is captured before startCapture(). `didStop` must stay
// callable for the life of the stream.
std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop);

}  // namespace platform
