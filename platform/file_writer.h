#pragma once
// An MP4 file writer with an H.264 video input and an AAC audio input, fed in real
// time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/compression.h"
#include "platform/error.h"
#include "platform/media.h"

namespace platform {

struct VideoInputSettings {
    int64_t width = 0;
    int64_t height = 0;
    int64_t averageBitRate = 0;           // bits per second
    int64_t maxKeyFrameIntervalDuration = 0;  // seconds between key frames, at most
    int64_t expectedSourceFrameRate = 0;
    ProfileLevel profileLevel = ProfileLevel::h264HighAutoLevel;
    bool allowFrameReordering = false;
};

struct AudioInputSettings {
    uint32_t formatID = kAudioFormatMPEG4AAC;
    double sampleRate = 48000;
    int64_t numberOfChannels = 2;
    int64_t encoderBitRate = 160000;
};

// One track's input. Calls come from the program's writer queue, one at a time.
class WriterInput {
public:
    virtual ~WriterInput() = default;
    WriterInput(const WriterInput&) = delete;
    WriterInput& operator=(const WriterInput&) = delete;

    // Media comes as it is captured: the input keeps up rather than holding the
    // caller, and says so through readyForMoreMediaData().
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    // False while the input cannot take more now; media appended then may be lost.
    virtual bool readyForMoreMediaData() const = 0;
    // No more media will come.
    virtual void markAsFinished() = 0;

protected:
    WriterInput() = default;
};

class VideoWriterInput : public WriterInput {
public:
    // Takes the frame's image (NV12) at its presentation time. False when the
    // frame was refused; the writer's status tells whether the writer failed.
    virtual bool append(std::shared_ptr<const VideoSample> sample) = 0;
};

class AudioWriterInput : public WriterInput {
public:
    // Takes a block of sound in the format given at creation. False when refused.
    virtual bool append(std::shared_ptr<const AudioSampleBuffer> sample) = 0;
};

enum class WriterStatus { unknown, writing, completed, failed, cancelled };

class FileWriter {
public:
    virtual ~FileWriter() = default;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // The file is written in fragments this far apart, so that a writer that ends
    // abruptly leaves a file readable up to its last fragment. Before startWriting().
    virtual void setMovieFragmentInterval(MediaTime interval) = 0;

    // Inputs are made, then offered with canAddInput() and added before startWriting().
    virtual std::shared_ptr<VideoWriterInput> makeVideoInput(const VideoInputSettings& settings) = 0;
    // `sourceFormat` describes the sound that will be appended.
    virtual std::shared_ptr<AudioWriterInput> makeAudioInput(const AudioInputSettings& settings,
                                                             const AudioStreamDescription& sourceFormat) = 0;
    virtual bool canAddInput(const WriterInput& input) const = 0;
    virtual void addInput(std::shared_ptr<WriterInput> input) = 0;

    // Opens the file. False when it cannot be written; status() is then failed and
    // error() says why.
    virtual bool startWriting() = 0;
    // Media before `time` is not shown; `time` becomes the start of the file's timeline.
    virtual void startSession(MediaTime time) = 0;
    // Media after `time` is not shown.
    virtual void endSession(MediaTime time) = 0;
    // Writes what is still queued and closes the file; `completion` runs once, on a
    // platform thread, when the status is completed or failed. Must stay callable until
    // then.
    virtual void finishWriting(std::function<void()> completion) = 0;

    // Any thread.
    virtual WriterStatus status() const = 0;
    // Why the writer failed; none otherwise.
    virtual std::optional<Error> error() const = 0;

protected:
    FileWriter() = default;
};

// A writer of an MP4 file at `path`; nothing is written before startWriting(). An
// error when no writer can be made for that path, also when another writer (of this
// process or another) holds it: a path has one writer at a time, from its creation
// until it is destroyed. A writer completes only with its own file at its path.
Result<std::unique_ptr<FileWriter>> createFileWriter(const std::string& path);

}  // namespace platform
