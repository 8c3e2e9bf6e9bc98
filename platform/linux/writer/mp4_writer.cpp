// The MP4 writer: libx264 video and FFmpeg's AAC audio in libavformat's MP4 muxer.
//
// Threads. Each input hands its media to a bounded queue and returns at once; a
// thread per track encodes from its queue and passes packets to the muxer, which
// both tracks share under its lock. A full queue makes the input "not ready", so a
// slow moment drops frames at the input instead of stalling the capture. File I/O
// happens only when a fragment is cut (the muxer buffers a fragment's samples in
// memory until then) and at the close.
//
// Fragments. While recording, the file is a fragmented MP4:
//
//   ftyp | moov (tracks, edit lists) | moof mdat | moof mdat | ... | mfra
//
// moov is written with the first fragment (delay_moov), so that it carries the edit
// list that hides the AAC encoder's priming samples. A fragment is cut at each video
// key frame, and the video track makes one at least every fragment interval (less a
// margin for the delay between capture and cut, so that a crash loses no more than
// the interval): the first frame at or after the boundary becomes a key frame, and
// when the screen is still (no frame comes), the last picture is encoded again at
// the boundary. So sound alone also makes fragments, every fragment starts with a key
// frame, and the picture of a still screen covers the whole file. A process killed
// at any moment leaves a file that plays up to its last complete fragment.
//
// Close. finishWriting() drains both queues, gives the last video frame its duration
// up to the session's end, flushes the encoders, writes the last fragment and the
// index (mfra), then rewrites the file as an ordinary MP4 (plain_mp4.h).
//
// The path. A writer claims its path when it is made (path_claim.h), so no other
// recording writes there meanwhile, and remembers which file it created there: the
// close rewrites only that file, and a writer whose file is no longer at its path
// (moved or deleted by someone else) ends failed rather than completed.
//
// Times. Presentation times are host-clock times; startSession(T) makes T the file's
// zero. Sound is placed by its times, gaps filled with silence and overlaps dropped,
// so the audio track is one continuous run from zero.

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/dispatch.h"
#include "platform/file_writer.h"
#include "platform/linux/writer/bounded_queue.h"
#include "platform/linux/writer/ffmpeg_handles.h"
#include "platform/linux/writer/path_claim.h"
#include "platform/linux/writer/plain_mp4.h"
#include "platform/linux/x264/x264_encoder.h"

namespace platform {

namespace {

using writer::BoundedQueue;

constexpr int kSampleRate = 48000;
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr AVRational kNanos{1, 1'000'000'000};
constexpr AVRational kVideoTimeBase{1, 90000};
constexpr AVRational kAudioTimeBase{1, kSampleRate};

// Queue sizes. Frames hold the capture's pixel buffers, so few may wait; sound comes
// in chunks of about 20 ms and 2 s of it costs little memory.
constexpr size_t kVideoQueueFrames = 3;
constexpr size_t kAudioQueueChunks = 100;
// Between a frame's capture and the cut of the fragment it ends, the sound trails
// by the program's mixing delay (0.15 s) and the encoders add some milliseconds:
// fragments are cut this much before the interval so that a crash loses at most the
// interval.
constexpr int64_t kCutMarginNanos = 250'000'000;
// A still screen: when no frame has come this long after a fragment boundary, the
// last picture is repeated at the boundary.
constexpr int64_t kStillSlackNanos = 100'000'000;
// Sound times may disagree with the running count by rounding: so many frames are
// taken as contiguous.
constexpr int64_t kContiguousFrames = 2;
// No capture delivers frames closer than this; closer ones are spread to it.
constexpr int64_t kMinimumSpacingNanos = 1'000'000;
constexpr int64_t kUnset = INT64_MIN;

constexpr const char* kErrorDomain = "MP4";
enum ErrorCode : int { kCannotCreate = 1, kCannotWrite = 2, kEncoderFailed = 3, kPathInUse = 4, kFileGone = 5 };

Error makeError(ErrorCode code, std::string description) { return Error{kErrorDomain, code, std::move(description), nullptr}; }

Error fromFFmpeg(ErrorCode code, const std::string& what, int averror) {
    const std::string text = ffmpeg::errorText(averror);
    Error error = makeError(code, what + ": " + text);
    error.underlying = std::make_shared<const Error>(Error{"FFmpeg", averror, text, nullptr});
    return error;
}

// The H.264 decoder configuration record (ISO 14496-15, 5.2.4.1) that MP4 keeps
// beside the samples, built from the encoder's SPS and PPS:
//
//   01 | profile | compat | level | FF (4-byte lengths) | E1 (one SPS)
//   | SPS length (16 bits) | SPS | 01 (one PPS) | PPS length (16 bits) | PPS
//   [ FD (4:2:0) | F8 (8-bit luma) | F8 (8-bit chroma) | 00 (no SPS extensions) ]
//
// The bracketed part is present for the High profiles.
std::vector<uint8_t> decoderConfiguration(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    std::vector<uint8_t> record{1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    record.push_back(static_cast<uint8_t>(sps.size() >> 8));
    record.push_back(static_cast<uint8_t>(sps.size()));
    record.insert(record.end(), sps.begin(), sps.end());
    record.push_back(1);
    record.push_back(static_cast<uint8_t>(pps.size() >> 8));
    record.push_back(static_cast<uint8_t>(pps.size()));
    record.insert(record.end(), pps.begin(), pps.end());
    if (sps[1] >= 100) record.insert(record.end(), {0xFD, 0xF8, 0xF8, 0x00});
    return record;
}

struct VideoItem {
    std::shared_ptr<const PixelBuffer> image;
    int64_t hostTime = 0;
};

struct AudioItem {
    std::vector<float> interleaved;  // stereo
    int64_t hostTime = 0;
};

// What every part of one writer shares: its status and first error, the session's
// times, the queues, and the muxer.
struct WriterState {
    explicit WriterState(std::string path) : path(std::move(path)) {}

    // The first failure wins; the queues close so that inputs refuse and the track
    // threads end.
    void fail(Error error) {
        {
            std::scoped_lock lock(errorMutex);
            if (!firstError) firstError = std::move(error);
        }
        status = WriterStatus::failed;
        videoQueue.clear();
        videoQueue.close();
        audioQueue.clear();
        audioQueue.close();
    }

    std::optional<Error> error() const {
        std::scoped_lock lock(errorMutex);
        return firstError;
    }

    const std::string path;
    std::atomic<WriterStatus> status{WriterStatus::unknown};
    mutable std::mutex errorMutex;
    std::optional<Error> firstError;
    std::atomic<int64_t> sessionStart{kUnset};  // host nanoseconds
    std::atomic<int64_t> sessionEnd{kUnset};    // host nanoseconds
    int64_t fragmentNanos = 2 * kNanosPerSecond - kCutMarginNanos;
    BoundedQueue<VideoItem> videoQueue{kVideoQueueFrames};
    BoundedQueue<AudioItem> audioQueue{kAudioQueueChunks};
};

// libavformat's muxer, shared by the two track threads.
class Muxer {
public:
    Muxer(WriterState& state, ffmpeg::FormatContextPtr context, bool hasAudio)
        : state_(state), context_(std::move(context)), hasAudio_(hasAudio) {}

    void write(AVPacket* packet, bool isAudio) {
        std::scoped_lock lock(mutex_);
        if (!context_ || state_.status == WriterStatus::failed) return;
        if (int result = av_write_frame(context_.get(), packet); result < 0) {
            state_.fail(fromFFmpeg(kCannotWrite, "No se pudo escribir el archivo", result));
            return;
        }
        wroteSinceCut_ = true;
        if (isAudio) audioStarted_ = true;
        cutIfDue();
    }

    // The next packet starts a fragment: everything written so far goes to the file.
    void cut() {
        std::scoped_lock lock(mutex_);
        if (!wroteSinceCut_) return;  // the file's very first frame
        cutRequested_ = true;
        cutIfDue();
    }

    void audioEnded() {
        std::scoped_lock lock(mutex_);
        audioEnded_ = true;
        cutIfDue();
    }

    // Writes what is left and the index, and closes the file. False on failure.
    bool close() {
        std::scoped_lock lock(mutex_);
        if (!context_) return false;
        if (state_.status != WriterStatus::failed) {
            if (int result = av_write_trailer(context_.get()); result < 0)
                state_.fail(fromFFmpeg(kCannotWrite, "No se pudo cerrar el archivo", result));
            else if ((result = avio_closep(&context_->pb)) < 0)
                state_.fail(fromFFmpeg(kCannotWrite, "No se pudo cerrar el archivo", result));
        }
        context_.reset();
        return state_.status != WriterStatus::failed;
    }

private:
    void cutIfDue() {
        if (!cutRequested_ || !wroteSinceCut_) return;
        // The first fragment also writes moov, whose audio edit list is taken from
        // the first audio packets: it waits for them (or for the sound's end).
        if (!firstCutDone_ && hasAudio_ && !audioStarted_ && !audioEnded_) return;
        cutRequested_ = false;
        wroteSinceCut_ = false;
        // With delay_moov the first flush writes only moov (built from the samples
        // waiting); the samples themselves go out with the next one.
        for (int flushes = firstCutDone_ ? 1 : 2; flushes > 0; --flushes) {
            if (int result = av_write_frame(context_.get(), nullptr); result < 0) {
                state_.fail(fromFFmpeg(kCannotWrite, "No se pudo escribir el archivo", result));
                return;
            }
        }
        firstCutDone_ = true;
        avio_flush(context_->pb);
        if (context_->pb->error < 0)
            state_.fail(fromFFmpeg(kCannotWrite, "No se pudo escribir el archivo", context_->pb->error));
    }

    WriterState& state_;
    std::mutex mutex_;  // guards everything below, and every use of the context
    ffmpeg::FormatContextPtr context_;
    const bool hasAudio_;
    bool cutRequested_ = false;
    bool wroteSinceCut_ = false;
    bool firstCutDone_ = false;
    bool audioStarted_ = false;
    bool audioEnded_ = false;
};

// The video track's thread: encodes frames, gives each its duration once the next
// one is known, and makes the key frames that start fragments.
class VideoTrack {
public:
    VideoTrack(WriterState& state, Muxer& muxer, AVStream* stream, std::unique_ptr<x264::Encoder> encoder,
               double framesPerSecond)
        : state_(state),
          muxer_(muxer),
          stream_(stream),
          encoder_(std::move(encoder)),
          frameNanos_(static_cast<int64_t>(kNanosPerSecond / std::max(framesPerSecond, 1.0))) {}

    void run() {
        pthread_setname_np(pthread_self(), "zentori.mp4.vid");
        for (;;) {
            VideoItem item;
            auto popped = state_.videoQueue.pop(item, stillDeadline());
            if (state_.status == WriterStatus::failed) return;
            if (popped == BoundedQueue<VideoItem>::Popped::closed) return;
            if (popped == BoundedQueue<VideoItem>::Popped::timedOut) {
                repeatAtBoundary();
                continue;
            }
            take(item);
        }
    }

    // The last frame lasts until the session's end, or one frame interval without
    // one. Called once the thread has ended, by the close, when the program has given
    // the end (it marks the input finished before it ends the session).
    void end() {
        if (!held_ || state_.status == WriterStatus::failed) return;
        const int64_t start = state_.sessionStart;
        const int64_t end = state_.sessionEnd;
        int64_t until = held_->time + frameNanos_;
        if (start != kUnset && end != kUnset && end - start > held_->time) until = end - start;
        writeHeld(until);
    }

private:
    // When the last picture must be repeated if nothing comes: the next boundary plus
    // the slack, as a steady-clock time (the host clock is the same monotonic clock).
    std::optional<std::chrono::steady_clock::time_point> stillDeadline() const {
        const int64_t start = state_.sessionStart;
        const int64_t end = state_.sessionEnd;
        if (!last_ || start == kUnset) return std::nullopt;
        if (end != kUnset && nextBoundary_ >= end - start) return std::nullopt;  // nothing more to mark
        const int64_t due = start + nextBoundary_ + kStillSlackNanos;
        const int64_t wait = due - static_cast<int64_t>(hostTimeNanos());
        return std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::max<int64_t>(wait, 0));
    }

    void repeatAtBoundary() {
        const int64_t start = state_.sessionStart;
        const int64_t end = state_.sessionEnd;
        if (!last_ || start == kUnset) return;
        if (end != kUnset && nextBoundary_ >= end - start) return;
        encode(*last_, nextBoundary_, true);
    }

    void take(const VideoItem& item) {
        const int64_t start = state_.sessionStart;
        const int64_t end = state_.sessionEnd;
        if (start == kUnset || !item.image) return;
        const int64_t time = item.hostTime - start;
        // Before the session, after its end, or not after the last frame: not shown.
        if (time < 0 || (end != kUnset && time >= end - start) || time <= lastTime_) return;
        // A frame long after a boundary the still screen should have marked (the
        // thread was late): the boundary first.
        while (last_ && time >= nextBoundary_ + kStillSlackNanos && state_.status != WriterStatus::failed)
            encode(*last_, nextBoundary_, true);
        encode(*item.image, time, !last_ || time >= nextBoundary_);
        last_ = item.image;
    }

    void encode(const PixelBuffer& image, int64_t time, bool startsFragment) {
        // Samples closer than the track's clock can tell apart would share a time.
        if (lastTime_ >= 0) time = std::max(time, lastTime_ + kMinimumSpacingNanos);
        std::string error;
        // libx264 needs strictly increasing timestamps (microseconds here).
        const int64_t micros = std::max(time / 1000, lastMicros_ + 1);
        auto frame = encoder_->encode(image, micros, startsFragment, error);
        if (!frame) {
            state_.fail(makeError(kEncoderFailed, "No se pudo comprimir el vídeo: " + error));
            return;
        }
        lastMicros_ = micros;
        lastTime_ = time;
        if (startsFragment) nextBoundary_ = time + state_.fragmentNanos;
        if (frame->data.empty()) return;
        writeHeld(time);
        if (startsFragment) muxer_.cut();
        held_ = Held{std::move(frame->data), time, frame->keyFrame};
    }

    // The frame held back learns its duration from the time of the one after it.
    void writeHeld(int64_t nextTime) {
        if (!held_) return;
        const int64_t ticks = av_rescale_q(held_->time, kNanos, stream_->time_base);
        const int64_t nextTicks = std::max(ticks + 1, av_rescale_q(nextTime, kNanos, stream_->time_base));
        ffmpeg::PacketPtr packet(av_packet_alloc());
        if (!packet || av_new_packet(packet.get(), static_cast<int>(held_->data.size())) < 0) {
            state_.fail(makeError(kCannotWrite, "No se pudo escribir el archivo: no hay memoria suficiente"));
            return;
        }
        std::memcpy(packet->data, held_->data.data(), held_->data.size());
        packet->pts = packet->dts = ticks;
        packet->duration = nextTicks - ticks;
        packet->stream_index = stream_->index;
        if (held_->keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
        held_.reset();
        muxer_.write(packet.get(), false);
    }

    struct Held {
        std::vector<uint8_t> data;
        int64_t time = 0;
        bool keyFrame = false;
    };

    WriterState& state_;
    Muxer& muxer_;
    AVStream* const stream_;
    std::unique_ptr<x264::Encoder> encoder_;
    const int64_t frameNanos_;
    std::shared_ptr<const PixelBuffer> last_;  // the picture shown now
    int64_t lastTime_ = -1;                     // its time in the session (nanoseconds)
    int64_t lastMicros_ = -1;
    int64_t nextBoundary_ = 0;                  // the next fragment starts at or after this
    std::optional<Held> held_;
};

// The audio track's thread: places sound on the timeline, cuts it into the AAC
// encoder's 1024-frame frames and encodes them.
class AudioTrack {
public:
    AudioTrack(WriterState& state, Muxer& muxer, AVStream* stream, ffmpeg::CodecContextPtr codec,
               ffmpeg::FramePtr frame)
        : state_(state), muxer_(muxer), stream_(stream), codec_(std::move(codec)), frame_(std::move(frame)) {}

    void run() {
        pthread_setname_np(pthread_self(), "zentori.mp4.aud");
        for (;;) {
            AudioItem item;
            if (state_.audioQueue.pop(item, std::nullopt) != BoundedQueue<AudioItem>::Popped::item) break;
            if (state_.status == WriterStatus::failed) return;
            take(item);
        }
        if (state_.status == WriterStatus::failed) return;
        if (filled_ > 0) {
            frame_->nb_samples = filled_;
            send(frame_.get());
        }
        send(nullptr);
        muxer_.audioEnded();
    }

private:
    void take(const AudioItem& item) {
        const int64_t start = state_.sessionStart;
        const int64_t end = state_.sessionEnd;
        if (start == kUnset) return;
        const int64_t frames = static_cast<int64_t>(item.interleaved.size() / 2);
        const int64_t position = av_rescale_q(item.hostTime - start, kNanos, kAudioTimeBase);
        int64_t skip = 0;
        if (position < next_ - kContiguousFrames) {
            skip = next_ - position;  // already covered (or before the session)
        } else if (position > next_ + kContiguousFrames) {
            silence(position - next_);  // nothing came for this span
        }
        int64_t count = frames - skip;
        if (end != kUnset) count = std::min(count, av_rescale_q(end - start, kNanos, kAudioTimeBase) - next_);
        if (count <= 0) return;
        const float* samples = item.interleaved.data() + 2 * skip;
        for (int64_t i = 0; i < count && state_.status != WriterStatus::failed; ++i)
            put(samples[2 * i], samples[2 * i + 1]);
    }

    void silence(int64_t frames) {
        for (int64_t i = 0; i < frames && state_.status != WriterStatus::failed; ++i) put(0, 0);
    }

    void put(float left, float right) {
        if (filled_ == 0 && av_frame_make_writable(frame_.get()) < 0) {
            state_.fail(makeError(kEncoderFailed, "No se pudo comprimir el sonido: no hay memoria suficiente"));
            return;
        }
        reinterpret_cast<float*>(frame_->data[0])[filled_] = left;
        reinterpret_cast<float*>(frame_->data[1])[filled_] = right;
        ++next_;
        if (++filled_ == codec_->frame_size) {
            send(frame_.get());
            filled_ = 0;
        }
    }

    // Sends one frame (none: the end) and writes every packet the encoder has ready.
    void send(AVFrame* frame) {
        if (frame) frame->pts = next_ - filled_;
        if (int result = avcodec_send_frame(codec_.get(), frame); result < 0) {
            state_.fail(fromFFmpeg(kEncoderFailed, "No se pudo comprimir el sonido", result));
            return;
        }
        ffmpeg::PacketPtr packet(av_packet_alloc());
        for (;;) {
            int result = avcodec_receive_packet(codec_.get(), packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
            if (result < 0) {
                state_.fail(fromFFmpeg(kEncoderFailed, "No se pudo comprimir el sonido", result));
                return;
            }
            av_packet_rescale_ts(packet.get(), codec_->time_base, stream_->time_base);
            packet->stream_index = stream_->index;
            muxer_.write(packet.get(), true);
            av_packet_unref(packet.get());
        }
    }

    WriterState& state_;
    Muxer& muxer_;
    AVStream* const stream_;
    ffmpeg::CodecContextPtr codec_;
    ffmpeg::FramePtr frame_;
    int filled_ = 0;    // frames in frame_ so far
    int64_t next_ = 0;  // timeline position of the next frame, counted from the session's start
};

class Mp4VideoInput;
class Mp4AudioInput;

// Everything a writer runs, shared with its inputs and with the thread that
// finishes it (which may outlive the writer object).
struct Recording {
    Recording(std::string path, std::unique_ptr<writer::PathClaim> claim)
        : state(std::move(path)), claim(std::move(claim)) {}

    WriterState state;
    // Held as long as anything of the writer lives (its inputs included).
    const std::unique_ptr<writer::PathClaim> claim;
    // The file the writer created at the path; set by startWriting().
    std::optional<writer::FileIdentity> file;
    std::unique_ptr<Muxer> muxer;
    std::unique_ptr<VideoTrack> video;
    std::unique_ptr<AudioTrack> audio;
    std::thread videoThread;
    std::thread audioThread;
    std::once_flag finishOnce;
    bool videoFinished = false;  // written on the program's writer queue only
    bool audioFinished = false;

    // The shutdown order, in one place: no more input; the track threads drain their
    // queues (the sound thread also flushes its encoder); the last video frame is
    // written with its duration up to the session's end, which the program gives
    // after it marked the inputs finished, so only now is it known; then the muxer
    // writes the last fragment and the index; only a file that closed cleanly is
    // rewritten as an ordinary MP4.
    void finish(bool rewrite) {
        std::call_once(finishOnce, [&] {
            state.videoQueue.close();
            state.audioQueue.close();
            if (videoThread.joinable()) videoThread.join();
            if (audioThread.joinable()) audioThread.join();
            if (video) video->end();
            if (!muxer) {
                // Finished without having started: there is no file.
                if (state.status != WriterStatus::failed)
                    state.fail(makeError(kCannotWrite, "No se pudo escribir el archivo: no llegó a empezar"));
                return;
            }
            bool closed = muxer->close();
            if (closed && (!file || writer::identityAt(state.path) != file)) {
                state.fail(makeError(kFileGone, "El archivo «" + state.path + "» ya no está donde se grabó"));
                closed = false;
            }
            if (closed && rewrite) {
                // A file that could not be rewritten (the disk is full, say) is still
                // the complete fragmented file: it stays as it is.
                writer::rewriteAsPlainMp4(state.path, *file);
            }
            if (closed) state.status = WriterStatus::completed;
        });
    }
};

class Mp4VideoInput final : public VideoWriterInput {
public:
    Mp4VideoInput(std::shared_ptr<Recording> recording, const VideoInputSettings& settings)
        : recording_(std::move(recording)), settings(settings) {}

    void setExpectsMediaDataInRealTime(bool realTime) override { realTime_ = realTime; }
    bool readyForMoreMediaData() const override {
        return recording_->state.status == WriterStatus::writing && !recording_->videoFinished &&
               !recording_->state.videoQueue.full();
    }
    void markAsFinished() override {
        recording_->videoFinished = true;
        recording_->state.videoQueue.close();
    }
    bool append(std::shared_ptr<const VideoSample> sample) override {
        if (!sample || !sample->valid || !sample->image || !sample->presentationTime.valid()) return false;
        if (recording_->state.status != WriterStatus::writing || recording_->videoFinished) return false;
        const PixelBuffer& image = *sample->image;
        if (image.width != settings.width || image.height != settings.height ||
            image.pixelFormat != kPixelFormat420v)
            return false;
        VideoItem item{sample->image, sample->presentationTime.convertScale(1'000'000'000).value};
        return realTime_ ? recording_->state.videoQueue.tryPush(std::move(item))
                         : recording_->state.videoQueue.push(std::move(item));
    }

    const std::shared_ptr<Recording> recording_;
    const VideoInputSettings settings;
    bool added = false;

private:
    bool realTime_ = false;
};

class Mp4AudioInput final : public AudioWriterInput {
public:
    Mp4AudioInput(std::shared_ptr<Recording> recording, const AudioInputSettings& settings,
                  const AudioStreamDescription& source)
        : recording_(std::move(recording)), settings(settings), source(source) {}

    void setExpectsMediaDataInRealTime(bool realTime) override { realTime_ = realTime; }
    bool readyForMoreMediaData() const override {
        return recording_->state.status == WriterStatus::writing && !recording_->audioFinished &&
               !recording_->state.audioQueue.full();
    }
    void markAsFinished() override {
        recording_->audioFinished = true;
        recording_->state.audioQueue.close();
    }
    bool append(std::shared_ptr<const AudioSampleBuffer> sample) override {
        if (!sample || !sample->presentationTime.valid() || !sample->bufferList || sample->bufferList->empty())
            return false;
        if (recording_->state.status != WriterStatus::writing || recording_->audioFinished) return false;
        const auto& buffer = (*sample->bufferList)[0];
        if (!buffer.data) return false;
        // Interleaved float, one or two channels (checked by canAddInput): stereo out.
        const uint32_t channels = source.channelsPerFrame;
        const size_t frames = std::min<size_t>(static_cast<size_t>(std::max<int64_t>(sample->frameCount, 0)),
                                               buffer.data->size() / (4 * channels));
        AudioItem item;
        item.hostTime = sample->presentationTime.convertScale(1'000'000'000).value;
        item.interleaved.resize(frames * 2);
        const auto* bytes = buffer.data->data();
        for (size_t f = 0; f < frames; ++f) {
            float left, right;
            std::memcpy(&left, bytes + (f * channels) * 4, 4);
            // A mono source is heard alike on both sides.
            if (channels == 2) std::memcpy(&right, bytes + (f * 2 + 1) * 4, 4);
            else right = left;
            item.interleaved[2 * f] = left;
            item.interleaved[2 * f + 1] = right;
        }
        return realTime_ ? recording_->state.audioQueue.tryPush(std::move(item))
                         : recording_->state.audioQueue.push(std::move(item));
    }

    const std::shared_ptr<Recording> recording_;
    const AudioInputSettings settings;
    const AudioStreamDescription source;
    bool added = false;

private:
    bool realTime_ = false;
};

bool acceptable(const VideoInputSettings& s) {
    return s.width >= 2 && s.height >= 2 && s.width % 2 == 0 && s.height % 2 == 0 && s.width <= 8192 &&
           s.height <= 8192 && s.averageBitRate > 0 && !s.allowFrameReordering &&
           s.profileLevel == ProfileLevel::h264HighAutoLevel;
}

bool acceptable(const AudioInputSettings& s, const AudioStreamDescription& source) {
    const bool aac = s.formatID == kAudioFormatMPEG4AAC && s.sampleRate == kSampleRate && s.numberOfChannels == 2 &&
                     s.encoderBitRate > 0;
    const bool pcm = source.formatID == kAudioFormatLinearPCM && (source.formatFlags & kAudioFormatFlagIsFloat) &&
                     !(source.formatFlags & kAudioFormatFlagIsNonInterleaved) &&
                     !(source.formatFlags & kAudioFormatFlagIsBigEndian) && source.bitsPerChannel == 32 &&
                     source.sampleRate == kSampleRate && (source.channelsPerFrame == 1 || source.channelsPerFrame == 2);
    return aac && pcm;
}

class Mp4Writer final : public FileWriter {
public:
    Mp4Writer(std::string path, std::unique_ptr<writer::PathClaim> claim)
        : recording_(std::make_shared<Recording>(std::move(path), std::move(claim))) {}

    // A writer dropped without finishing still leaves a closed file (not rewritten:
    // nobody waits for it).
    ~Mp4Writer() override {
        if (recording_->state.status == WriterStatus::writing || recording_->state.status == WriterStatus::failed)
            recording_->finish(false);
    }

    void setMovieFragmentInterval(MediaTime interval) override {
        if (!interval.valid() || interval.value <= 0) return;
        const int64_t nanos = interval.convertScale(1'000'000'000).value;
        // The cut margin applies to intervals that leave room for it.
        recording_->state.fragmentNanos = std::max<int64_t>(nanos - kCutMarginNanos, nanos / 2);
    }

    std::shared_ptr<VideoWriterInput> makeVideoInput(const VideoInputSettings& settings) override {
        return std::make_shared<Mp4VideoInput>(recording_, settings);
    }
    std::shared_ptr<AudioWriterInput> makeAudioInput(const AudioInputSettings& settings,
                                                     const AudioStreamDescription& sourceFormat) override {
        return std::make_shared<Mp4AudioInput>(recording_, settings, sourceFormat);
    }

    bool canAddInput(const WriterInput& input) const override {
        if (recording_->state.status != WriterStatus::unknown) return false;
        if (auto* video = dynamic_cast<const Mp4VideoInput*>(&input))
            return video->recording_ == recording_ && !video_ && acceptable(video->settings);
        if (auto* audio = dynamic_cast<const Mp4AudioInput*>(&input))
            return audio->recording_ == recording_ && !audio_ && acceptable(audio->settings, audio->source);
        return false;
    }

    void addInput(std::shared_ptr<WriterInput> input) override {
        if (!input || !canAddInput(*input)) return;
        if (auto video = std::dynamic_pointer_cast<Mp4VideoInput>(input)) video_ = std::move(video);
        else if (auto audio = std::dynamic_pointer_cast<Mp4AudioInput>(input)) audio_ = std::move(audio);
    }

    bool startWriting() override {
        if (recording_->state.status != WriterStatus::unknown) return false;
        if (auto error = open()) {
            recording_->state.fail(std::move(*error));
            return false;
        }
        recording_->state.status = WriterStatus::writing;
        if (recording_->video) recording_->videoThread = std::thread([r = recording_] { r->video->run(); });
        if (recording_->audio) recording_->audioThread = std::thread([r = recording_] { r->audio->run(); });
        return true;
    }

    void startSession(MediaTime time) override {
        if (time.valid()) recording_->state.sessionStart = time.convertScale(1'000'000'000).value;
    }
    void endSession(MediaTime time) override {
        if (time.valid()) recording_->state.sessionEnd = time.convertScale(1'000'000'000).value;
    }

    void finishWriting(std::function<void()> completion) override {
        // On a thread of its own: the close drains the queues and rewrites the file,
        // which may take a moment, and the program's queue must not wait for it.
        dispatch::detachThread([recording = recording_, completion = std::move(completion)] {
            recording->finish(true);
            if (completion) completion();
        });
    }

    WriterStatus status() const override { return recording_->state.status; }
    std::optional<Error> error() const override { return recording_->state.error(); }

private:
    // Sets up the encoders and the file; an error says why not.
    std::optional<Error> open() {
        if (!video_ && !audio_) return makeError(kCannotCreate, "No se puede escribir un archivo sin pistas");
        const std::string& path = recording_->state.path;
        AVFormatContext* raw = nullptr;
        if (int result = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()); result < 0)
            return fromFFmpeg(kCannotCreate, "No se puede crear el archivo «" + path + "»", result);
        ffmpeg::FormatContextPtr context(raw);

        std::unique_ptr<x264::Encoder> encoder;
        AVStream* videoStream = nullptr;
        if (video_) {
            const VideoInputSettings& s = video_->settings;
            const double fps = s.expectedSourceFrameRate > 0 ? static_cast<double>(s.expectedSourceFrameRate) : 30;
            std::string error;
            encoder = x264::Encoder::open(static_cast<int>(s.width), static_cast<int>(s.height),
                                          {fps, s.averageBitRate}, error, x264::Use::file);
            if (!encoder) return makeError(kEncoderFailed, "No se puede comprimir el vídeo: " + error);
            if (s.maxKeyFrameIntervalDuration > 0)
                setMovieFragmentIntervalAtMost(s.maxKeyFrameIntervalDuration * kNanosPerSecond);
            auto sets = encoder->parameterSets();
            if (sets.size() != 2 || sets[0].size() < 4)
                return makeError(kEncoderFailed, "No se puede comprimir el vídeo: faltan los parámetros H.264");
            videoStream = avformat_new_stream(context.get(), nullptr);
            if (!videoStream) return makeError(kCannotCreate, "No se puede crear el archivo: no hay memoria suficiente");
            AVCodecParameters* p = videoStream->codecpar;
            p->codec_type = AVMEDIA_TYPE_VIDEO;
            p->codec_id = AV_CODEC_ID_H264;
            p->width = static_cast<int>(s.width);
            p->height = static_cast<int>(s.height);
            p->format = AV_PIX_FMT_YUV420P;
            p->bit_rate = s.averageBitRate;
            // The decoder configuration record must be there before the header:
            // without it the muxer writes a file no player can open.
            const auto record = decoderConfiguration(sets[0], sets[1]);
            p->extradata = static_cast<uint8_t*>(av_mallocz(record.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!p->extradata) return makeError(kCannotCreate, "No se puede crear el archivo: no hay memoria suficiente");
            std::memcpy(p->extradata, record.data(), record.size());
            p->extradata_size = static_cast<int>(record.size());
            videoStream->time_base = kVideoTimeBase;
            videoStream->avg_frame_rate = {static_cast<int>(std::lround(fps)), 1};
        }

        ffmpeg::CodecContextPtr codec;
        ffmpeg::FramePtr frame;
        AVStream* audioStream = nullptr;
        if (audio_) {
            const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
            if (!aac) return makeError(kEncoderFailed, "No se puede comprimir el sonido: falta el codificador AAC");
            codec.reset(avcodec_alloc_context3(aac));
            if (!codec) return makeError(kEncoderFailed, "No se puede comprimir el sonido: no hay memoria suficiente");
            codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
            codec->sample_rate = kSampleRate;
            av_channel_layout_default(&codec->ch_layout, 2);
            codec->bit_rate = audio_->settings.encoderBitRate;
            codec->profile = FF_PROFILE_AAC_LOW;
            codec->time_base = kAudioTimeBase;
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // MP4 keeps the configuration apart
            if (int result = avcodec_open2(codec.get(), aac, nullptr); result < 0)
                return fromFFmpeg(kEncoderFailed, "No se puede comprimir el sonido", result);
            frame.reset(av_frame_alloc());
            if (!frame) return makeError(kEncoderFailed, "No se puede comprimir el sonido: no hay memoria suficiente");
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->nb_samples = codec->frame_size;
            frame->sample_rate = kSampleRate;
            av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
            if (int result = av_frame_get_buffer(frame.get(), 0); result < 0)
                return fromFFmpeg(kEncoderFailed, "No se puede comprimir el sonido", result);
            audioStream = avformat_new_stream(context.get(), nullptr);
            if (!audioStream) return makeError(kCannotCreate, "No se puede crear el archivo: no hay memoria suficiente");
            if (int result = avcodec_parameters_from_context(audioStream->codecpar, codec.get()); result < 0)
                return fromFFmpeg(kCannotCreate, "No se puede crear el archivo", result);
            audioStream->time_base = kAudioTimeBase;
        }

        if (int result = avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE); result < 0)
            return fromFFmpeg(kCannotCreate, "No se puede crear el archivo «" + path + "»", result);
        // Under the claim no other recording can have put a file there since.
        recording_->file = writer::identityAt(path);
        // Fragments cut by this writer only (frag_custom), moov with the first of them
        // (delay_moov, for the edit lists), fragment offsets relative to their moof
        // (default_base_moof, which players handle best).
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "frag_custom+delay_moov+default_base_moof", 0);
        av_dict_set(&options, "use_editlist", "1", 0);
        std::unique_ptr<AVDictionary, ffmpeg::DictionaryDeleter> ownedOptions(options);
        AVDictionary* passed = ownedOptions.release();
        const int headerResult = avformat_write_header(context.get(), &passed);
        ownedOptions.reset(passed);
        if (headerResult < 0) return fromFFmpeg(kCannotWrite, "No se pudo escribir el archivo", headerResult);

        auto& r = *recording_;
        r.muxer = std::make_unique<Muxer>(r.state, std::move(context), audioStream != nullptr);
        if (videoStream)
            r.video = std::make_unique<VideoTrack>(r.state, *r.muxer, videoStream, std::move(encoder),
                                                   static_cast<double>(std::max<int64_t>(video_->settings.expectedSourceFrameRate, 1)));
        if (audioStream)
            r.audio = std::make_unique<AudioTrack>(r.state, *r.muxer, audioStream, std::move(codec), std::move(frame));
        return std::nullopt;
    }

    // Key frames come at every fragment: a fragment interval longer than the longest
    // key frame interval is shortened to it.
    void setMovieFragmentIntervalAtMost(int64_t nanos) {
        auto& fragment = recording_->state.fragmentNanos;
        fragment = std::min(fragment, std::max<int64_t>(nanos - kCutMarginNanos, nanos / 2));
    }

    std::shared_ptr<Recording> recording_;
    std::shared_ptr<Mp4VideoInput> video_;
    std::shared_ptr<Mp4AudioInput> audio_;
};

}  // namespace

Result<std::unique_ptr<FileWriter>> createFileWriter(const std::string& path) {
    // FFmpeg's notes and warnings would land among the program's diagnostics on
    // standard error, which the host reads; its errors are still worth a line.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    if (path.empty()) return makeError(kCannotCreate, "No se puede crear un archivo sin nombre");
    auto claim = writer::PathClaim::take(path);
    if (!claim) return makeError(kPathInUse, "Otra grabación está escribiendo en «" + path + "»");
    return std::unique_ptr<FileWriter>(std::make_unique<Mp4Writer>(path, std::move(*claim)));
}

}  // namespace platform
