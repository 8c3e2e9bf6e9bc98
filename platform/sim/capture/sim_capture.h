#pragma once
// The scripted capture backend: tests decide every platform fact and refusal the
// streamer meets (displays, permission, stream refusals, frames, encoder refusals and
// outputs, the cursor, the host clock) and read back what the streamer asked for.
//
// Completions of the screen-capture service run on a "sim.platform" queue, samples on
// the queue the program registered, compression outputs on the session's own
// "sim.compression" queue, like the real services. Controls may be called from any
// thread. reset() puts every script back to its default and detaches the objects made
// before it, so that a test never sees another test's leftovers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/compression.h"
#include "platform/cursor.h"
#include "platform/error.h"
#include "platform/media.h"
#include "platform/screen_capture.h"

namespace platform::sim {

void reset();

// Waits until `condition` holds, checking it whenever the backend records something
// and at least every few milliseconds. False when `timeout` passed first.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ---- Host clock (hostTimeNanos): a manual clock, 1000 s by default.
void setHostTime(uint64_t nanos);
void advanceHostTime(uint64_t nanos);

// ---- Permission (preflightScreenCaptureAccess); allowed by default.
void setScreenCaptureAccess(bool allowed);
// Why the system sound cannot be captured (preflightSystemAudioCapture); none, so
// it can, by default.
void setSystemAudioUnavailable(std::optional<Error> reason);

// ---- Shareable content. By default one display, ID 1, 1440 x 900 points.
struct ContentAnswer {
    std::optional<ShareableContent> content;
    std::optional<Error> error;
    bool hold = false;  // keep the request unanswered until releaseContentRequest()
};
void setContentAnswer(ContentAnswer answer);
// Answers a held request with the current answer (hold ignored); false when none waits.
bool releaseContentRequest();
int contentRequests();

// ---- Capture streams.
struct StreamScript {
    std::optional<Error> addOutputError;       // refuses addStreamOutput
    std::optional<Error> startError;
    std::optional<Error> updateError;
    bool stopCompletes = true;  // false: stopCapture never calls back
    std::optional<Error> addAudioOutputError;  // refuses addAudioOutput (system sound)
};
void setStreamScript(StreamScript script);

struct StreamRecord {
    bool created = false;
    ContentFilter filter;
    StreamConfiguration configuration;           // as created
    int screenOutputs = 0;                        // successful addStreamOutput(screen)
    int starts = 0;
    int startsCompleted = 0;                      // start completions that have returned
    int stops = 0;
    std::vector<StreamConfiguration> updates;     // every updateConfiguration, in order
    int audioOutputs = 0;                         // successful addAudioOutput
    std::string audioOutputQueue;                 // label of the queue of the last one
};
// The last stream created since reset().
StreamRecord streamRecord();

// Hands a sample to the screen output on its queue; false when none is registered.
bool deliverSample(VideoSample sample);
// A new pixel buffer with the given frame status attached (complete frames only carry
// one; others carry none, like the real service's idle frames).
bool deliverFrame(FrameStatus status = FrameStatus::complete);
// Returns once everything delivered so far has been handled by the output.
bool drainOutputQueue(std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The stream reports that it stopped by itself, on the platform queue.
bool stopStreamByItself(Error error);
// The stream's system sound (its audio output) and the main display are scripted
// through sim_sound.h.

// ---- Compression sessions.
struct CompressionScript {
    // Creation refusals, chosen by what the caller demands: `anyCreate` refuses
    // every creation, `lowLatencyCreate` those asking for low-latency rate control,
    // `hardwareCreate` those requiring a hardware encoder.
    std::optional<Status> lowLatencyCreate;
    std::optional<Status> hardwareCreate;
    std::optional<Status> anyCreate;
    std::map<CompressionProperty, Status> refusedProperties;
    std::optional<Status> constrainedProfile;  // refuses ProfileLevel = constrained High only
    Status prepare = 0;
    Status lowLatencyPrepare = 0;  // refuses preparation of low-latency sessions only
    Status encodeFrame = 0;  // non-zero refuses every submission
    // Answer every submitted frame at once with standardSample() (key frames when forced).
    bool autoComplete = false;
};
void setCompressionScript(CompressionScript script);

struct CreationRecord {
    int32_t width = 0, height = 0;
    std::optional<EncoderSpecification> specification;
    uint32_t sourcePixelFormat = 0;
    Status result = 0;
};
std::vector<CreationRecord> creations();

struct PropertyRecord {
    CompressionProperty key;
    PropertyValue value;
    Status result;
};
// Every setProperty on the current session, refused ones included, in order.
std::vector<PropertyRecord> propertiesSet();
int prepareCalls();

struct SubmittedFrame {
    MediaTime presentationTime;
    MediaTime duration;
    bool forceKeyFrame = false;
    std::shared_ptr<PixelBuffer> image;
    Status result = 0;
};
// Every encodeFrame on the current session, refused ones included, in order.
std::vector<SubmittedFrame> submittedFrames();
// Frames accepted whose output has not been made yet.
size_t framesInFlight();
int invalidations();
// Outputs made so far by the current session (callbacks that returned).
int outputsMade();

// Answers the oldest frame in flight on the session's thread. False when none waits.
bool completeNextFrame(Status status, uint32_t infoFlags, std::shared_ptr<const EncodedSample> sample);
// The same with standardSample() for that frame.
bool completeNextFrame();

// ---- Encoded samples made to measure.
class ScriptedFormat : public H264Format {
public:
    ScriptedFormat(std::vector<std::vector<uint8_t>> parameterSets, int nalLengthSize)
        : sets_(std::move(parameterSets)), nalLengthSize_(nalLengthSize) {}
    Status layoutStatus = 0;
    std::map<size_t, Status> setStatus;  // refusal per index
    std::map<size_t, bool> setMissing;   // no bytes for that index
    Layout layout() const override;
    ParameterSet parameterSet(size_t index) const override;

private:
    std::vector<std::vector<uint8_t>> sets_;
    int nalLengthSize_;
};

class ScriptedBlock : public DataBlock {
public:
    explicit ScriptedBlock(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    Status copyStatus = 0;
    size_t length() const override { return bytes_.size(); }
    Status copyBytes(size_t offset, size_t size, uint8_t* destination) const override;

private:
    std::vector<uint8_t> bytes_;
};

// NAL units behind big-endian length fields of `nalLengthSize` bytes.
std::vector<uint8_t> lengthPrefixed(const std::vector<std::vector<uint8_t>>& units, int nalLengthSize);

// The sample a plain encoder gives for a frame: SPS (12 bytes) and PPS (4 bytes), one
// slice NAL unit of 16 bytes with 4-byte length fields, not-sync unless `key`.
std::shared_ptr<EncodedSample> standardSample(MediaTime presentationTime, bool key);
std::vector<uint8_t> standardSps();
std::vector<uint8_t> standardPps();
std::vector<uint8_t> standardSlice(MediaTime presentationTime, bool key);

// ---- Cursor and display bounds.
struct CursorScript {
    double width = 32, height = 32;  // points
    double hotSpotX = 0, hotSpotY = 0;
    // Paints the premultiplied image at the requested size; by default every pixel is
    // `pixel`.
    std::function<void(int w, int h, uint8_t* rgba)> painter;
    uint8_t pixel[4] = {0, 0, 0, 255};
    bool drawFails = false;
};
// None: the platform has no cursor to give. Default: a 32 x 32 black cursor.
void setCursor(std::optional<CursorScript> cursor);
// By default display 1 spans 1440 x 900 points; other displays are unknown.
void setDisplayBounds(uint32_t displayID, Rect bounds);
int cursorQueries();
struct DrawRecord {
    int width, height;
};
std::vector<DrawRecord> cursorDraws();

}  // namespace platform::sim
