#pragma once
// The scripted sound backend: tests decide every platform fact and refusal the recorder
// meets (microphones and their permission, system sound, the MP4 writer, the Opus
// converter, the system version) and read back what the recorder asked for.
//
// It shares the capture backend's world (sim_capture.h): one lock, one host clock, one
// reset() and one waitFor(). reset() also puts every script here back to its default
// and detaches the objects made before it: their calls no longer reach the records,
// and controls act only on objects made since.
//
// Threads, as with the real services:
// - microphone samples run on the queue given to openMicrophone(); runtime errors,
//   disconnections and the answer to an access request on the "sim.platform" queue;
// - system sound runs on the queue given to addAudioOutput();
// - finishWriting()'s completion runs on the "sim.platform" queue, never inline;
// - the converter calls its input block on the thread that called convert().
// Controls may be called from any thread; none runs a program callback inline, so a
// control may be called while the program holds its own locks.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_capture.h"
#include "platform/audio_converter.h"
#include "platform/error.h"
#include "platform/file_writer.h"
#include "platform/media.h"
#include "platform/sim/capture/sim_capture.h"
#include "platform/system.h"
#include "platform/system_sound.h"

namespace platform::sim {

// ---- Sample buffers made to measure.
enum class SampleLayout { interleaved, nonInterleaved };

// 32-bit float linear PCM holding `interleaved` (frame after frame, `channels` values per
// frame): one buffer for all channels, or one buffer per channel. A trailing partial
// frame is dropped.
AudioSampleBuffer floatSampleBuffer(const std::vector<float>& interleaved, uint32_t channels, SampleLayout layout,
                                    MediaTime presentationTime, double sampleRate = 48000);
// The samples a buffer holds as interleaved floats, when it is 32-bit float linear PCM:
// min(frameCount, frames really there) frames of every channel, a missing value read
// as 0. Empty for any other format.
std::vector<float> decodeFloatSamples(const AudioSampleBuffer& buffer);

// ---- Microphone discovery and permission.
// By default one built-in microphone, builtInMicrophone(), which is also the default
// device. Discovery answers every request with these devices...
void setAudioDevices(std::vector<AudioDevice> devices);
// ...unless the request asks for exactly these types, in this order.
void setAudioDevicesFor(std::vector<AudioDeviceType> types, std::vector<AudioDevice> devices);
// The types of every discovery, in order.
std::vector<std::vector<AudioDeviceType>> deviceDiscoveries();
// None: the platform has no default input.
void setDefaultAudioDevice(std::optional<AudioDevice> device);
AudioDevice builtInMicrophone();  // uniqueID "sim.mic.builtin", built-in transport

// Authorized by default.
void setMicrophoneAuthorization(AuthorizationStatus status);
// How the user answers requestMicrophoneAccess(): grant (by default) and deny answer on
// the platform queue and leave the status authorized or denied; hold keeps the request
// unanswered until answerAccessRequest() (or for good).
enum class AccessAnswer { grant, deny, hold };
void setMicrophoneAccessAnswer(AccessAnswer answer);
int microphoneAccessRequests();
// Answers the oldest held request on the platform queue and sets the status to match;
// false when none waits.
bool answerAccessRequest(bool granted);

// ---- Opening a microphone.
struct MicrophoneScript {
    std::optional<Error> deviceError;  // the platform refuses the device input: deviceError
    bool sessionRefuses = false;       // the session will not take the device: neither
};
void setMicrophoneScript(MicrophoneScript script);

struct MicrophoneOpenRecord {
    AudioDevice device;
    MicrophoneSettings settings;
    std::string queueLabel;
    bool opened = false;  // a session was returned
};
// Every openMicrophone(), refused ones included, in order.
std::vector<MicrophoneOpenRecord> microphoneOpens();

struct MicrophoneSessionRecord {
    bool exists = false;     // a session was opened since reset()
    int starts = 0;          // startRunning() calls
    int stops = 0;           // stopRunning() calls
    bool running = false;
    bool ended = false;      // a runtime error or a disconnection was reported
    bool destroyed = false;
    int samplesHandled = 0;  // sample handlers that have returned
};
// The last session opened since reset().
MicrophoneSessionRecord microphoneSession();

// Hands a buffer to the samples handler of the last session on its queue. False (and
// nothing delivered) unless that session exists, runs, has not ended and has a samples
// handler.
bool deliverMicrophoneSamples(AudioSampleBuffer buffer);
// `samples` as one channel's values in the session's format (32-bit float, or 16- or
// 32-bit integer; interleaved or not; either byte order; every channel carries the same
// values), at the current host time. False also for a format it cannot make.
bool deliverMicrophoneFloats(const std::vector<float>& samples);
// The session fails while running / its device goes away: reported on the platform
// queue to the runtimeError / disconnected handler; the session reports nothing more.
// False when the last session cannot report (destroyed or already ended).
bool failMicrophone(std::optional<Error> error);
bool disconnectMicrophone();
// Returns once everything delivered to the last session so far (samples, errors,
// disconnections) has been handled, or dropped because the session went away.
bool drainMicrophone(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ---- System sound on its own (startSystemSound()).
// startSystemSound() fails with this error (none by default).
void setSystemSoundError(std::optional<Error> error);
struct SystemSoundRecord {
    int starts = 0;  // startSystemSound() calls, refused ones included
    SystemSoundSettings settings;  // of the last one
    std::string queueLabel;
    bool running = false;  // the last session exists and has not stopped
};
SystemSoundRecord systemSoundRecord();
// The running session stops by itself: `error` goes to its stop handler on the
// platform queue. False when none runs.
bool stopSystemSoundByItself(Error error);

// ---- System sound, wherever it is listened to: the running sound-only session if
// there is one, else the capture stream's audio output (its refusal and what was
// registered are StreamScript::addAudioOutputError and StreamRecord in sim_capture.h).
// Hands a buffer to it on its queue. False unless the session runs, or the last stream
// has an audio output and its configuration in force captures audio.
bool deliverSystemSound(AudioSampleBuffer buffer);
// Interleaved stereo floats as 32-bit float PCM at the configured rate, at the current
// host time.
bool deliverSystemSoundFloats(const std::vector<float>& interleavedStereo,
                              SampleLayout layout = SampleLayout::interleaved);
// Returns once everything delivered to the audio output so far has been handled.
bool drainSystemSound(std::chrono::milliseconds timeout = std::chrono::seconds(10));

// mainDisplayID(); 1 by default.
void setMainDisplayID(uint32_t displayID);

// ---- The MP4 writer.
enum class InputKind { video, audio };

struct WriterScript {
    std::optional<Error> createError;  // createFileWriter fails with it
    bool refuseVideoInput = false;     // canAddInput false for the video input
    bool refuseAudioInput = false;
    std::optional<Error> startError;   // startWriting false, status failed with it
    // An input is ready and takes appends only while the writer is writing, the input
    // was added and not marked finished (appends also need startSession()); then these
    // decide.
    bool videoReady = true;            // readyForMoreMediaData
    bool audioReady = true;
    bool videoAppendAccepted = true;   // what append returns
    bool audioAppendAccepted = true;
    bool holdFinish = false;           // finishWriting waits for releaseFinish()
};
// Read at each call, so it may change while a writer runs.
void setWriterScript(WriterScript script);
void setInputReady(InputKind kind, bool ready);
void setAppendAccepted(InputKind kind, bool accepted);
// The next append of that kind on the current writer is refused and the writer turns
// failed with `error` (one shot).
void failWriterAtNextAppend(InputKind kind, Error error);
// The current writer turns failed with `error` now. False when there is none.
bool failWriter(Error error);
// finishWriting() on a writing writer completes it (or holds it, see holdFinish); on a
// failed one it leaves it failed; either way the completion runs on the platform queue.
// A writer made before reset() never completes.
// Finishes a held finishWriting(): the status becomes `outcome` (completed or failed,
// with `error`), then the completion runs on the platform queue. False when none waits.
bool releaseFinish(WriterStatus outcome = WriterStatus::completed, std::optional<Error> error = std::nullopt);

struct WrittenFrame {
    MediaTime presentationTime;
    std::shared_ptr<const VideoSample> sample;
    bool accepted = false;
};
struct WrittenAudio {
    MediaTime presentationTime;
    int64_t frameCount = 0;
    std::vector<float> samples;  // decodeFloatSamples() of the buffer
    std::shared_ptr<const AudioSampleBuffer> buffer;
    bool accepted = false;
};
struct WriterInputRecord {
    bool made = false;
    bool added = false;  // addInput() of an input the writer could take
    std::optional<bool> expectsRealTime;  // the last setExpectsMediaDataInRealTime
    int markedFinished = 0;
};
struct WriterRecord {
    bool created = false;
    std::string path;
    std::optional<MediaTime> fragmentInterval;
    std::optional<VideoInputSettings> videoSettings;
    std::optional<AudioInputSettings> audioSettings;
    std::optional<AudioStreamDescription> audioSourceFormat;
    WriterInputRecord video, audio;
    int startWritingCalls = 0;
    std::vector<MediaTime> sessionStarts;
    std::vector<MediaTime> sessionEnds;
    std::vector<WrittenFrame> frames;      // every video append, refused ones included
    std::vector<WrittenAudio> audioChunks; // every audio append, refused ones included
    int finishCalls = 0;
    int finishCompletions = 0;  // completions that have returned
    WriterStatus status = WriterStatus::unknown;
    std::optional<Error> error;
    // Every call on the writer and its inputs, in order: "setMovieFragmentInterval",
    // "makeVideoInput", "makeAudioInput", "canAddInput(video)", "addInput(audio)",
    // "setExpectsMediaDataInRealTime(video)", "markAsFinished(video)", "startWriting",
    // "startSession", "append(video)", "append(audio)", "endSession", "finishWriting".
    std::vector<std::string> calls;
};
// Every path given to createFileWriter(), refused ones included.
std::vector<std::string> writerPaths();
// The last writer created since reset().
WriterRecord writerRecord();

// ---- The Opus converter.
// convert() asks its input block for data until the block stops saying haveData (at
// most 8 times), recording every status and buffer; a haveData without a buffer gives
// error. With less than one packet of frames (framesPerPacket of the target, else 960)
// it gives inputRanDry (endOfStream when the block said so) and keeps nothing for the
// next call. Otherwise the next scripted Conversion decides; a packet larger than the
// output buffer's maximumPacketSize (or a buffer without packet room) gives error.
// A converter made before reset() gives error without asking for input.
struct Conversion {
    ConverterOutputStatus status = ConverterOutputStatus::haveData;
    uint32_t bytes = 161;  // haveData: the packet's size (0: nothing produced)
};
struct ConverterScript {
    bool refuseCreation = false;  // createAudioConverter returns none
    uint32_t maximumOutputPacketSize = 1275;
    std::vector<Conversion> conversions;  // the next conversions' outcomes, in order
    Conversion otherwise;                 // once those are used up
};
void setConverterScript(ConverterScript script);

struct ConversionRecord {
    uint32_t packetCapacity = 0;
    uint32_t maximumPacketSize = 0;
    std::vector<ConverterInputStatus> inputStatuses;  // as the input block set them
    std::vector<std::vector<float>> blocks;           // every buffer handed over
    ConverterOutputStatus result = ConverterOutputStatus::haveData;
    std::vector<uint8_t> output;
};
struct ConverterRecord {
    bool created = false;  // false also when the creation was refused
    AudioStreamDescription from, to;
    std::vector<int64_t> bitRates;  // every setBitRate
    std::vector<ConversionRecord> conversions;
};
int converterCreations();  // refused ones included
// The last converter asked for since reset().
ConverterRecord converterRecord();
// The bytes of the packet produced by the `index`-th conversion (from 0) of a converter.
std::vector<uint8_t> scriptedPacket(size_t index, uint32_t bytes);

// ---- System version. By default every runningSystemAtLeast() check holds.
void setSystemVersion(std::optional<SystemVersion> version);
std::vector<SystemVersion> systemVersionChecks();

}  // namespace platform::sim
