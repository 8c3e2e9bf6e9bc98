// Scripted MP4 writers: refusals, readiness and append results as the test sets them,
// a record of everything that reached the writer, and a finish the test may hold.

#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

namespace detail {

struct WriterCore {
    uint64_t generation = 0;
    WriterRecord record;
    bool sessionStarted = false;
    std::optional<Error> failNextVideo;
    std::optional<Error> failNextAudio;
    std::function<void()> heldFinish;  // a finish waiting for releaseFinish()
    std::vector<std::function<void()>> detachedFinishes;  // never completed
};

namespace {

const char* name(InputKind kind) { return kind == InputKind::video ? "video" : "audio"; }

// The part of an input the writer looks at, whatever its kind.
class InputTag {
public:
    InputTag(std::shared_ptr<WriterCore> core, InputKind kind) : core_(std::move(core)), kind_(kind) {}
    virtual ~InputTag() = default;
    const std::shared_ptr<WriterCore>& core() const { return core_; }
    InputKind kind() const { return kind_; }

protected:
    // With the lock held.
    WriterInputRecord& record() const {
        return kind_ == InputKind::video ? core_->record.video : core_->record.audio;
    }
    void log(const char* call) const {
        core_->record.calls.push_back(std::string(call) + "(" + name(kind_) + ")");
        notifyChanged();
    }
    // Whether an append may be taken now, before the script has its say; with the lock held.
    bool writing() const {
        return current(core_->generation) && core_->record.status == WriterStatus::writing && record().added &&
               record().markedFinished == 0;
    }
    // A one-shot failure of the next append of this kind; with the lock held.
    bool failsNow() const {
        auto& fail = kind_ == InputKind::video ? core_->failNextVideo : core_->failNextAudio;
        if (!fail || !current(core_->generation)) return false;
        core_->record.status = WriterStatus::failed;
        core_->record.error = std::move(fail);
        fail.reset();
        return true;
    }

    std::shared_ptr<WriterCore> core_;
    InputKind kind_;
};

template <class Interface>
class ScriptedInput : public Interface, public InputTag {
public:
    using InputTag::InputTag;

    void setExpectsMediaDataInRealTime(bool realTime) override {
        std::scoped_lock lock(state().mutex);
        record().expectsRealTime = realTime;
        log("setExpectsMediaDataInRealTime");
    }

    bool readyForMoreMediaData() const override {
        std::scoped_lock lock(state().mutex);
        const auto& script = sound().writerScript;
        return writing() && (kind_ == InputKind::video ? script.videoReady : script.audioReady);
    }

    void markAsFinished() override {
        std::scoped_lock lock(state().mutex);
        ++record().markedFinished;
        log("markAsFinished");
    }
};

class ScriptedVideoInput : public ScriptedInput<VideoWriterInput> {
public:
    using ScriptedInput::ScriptedInput;

    bool append(std::shared_ptr<const VideoSample> sample) override {
        std::scoped_lock lock(state().mutex);
        bool accepted = !failsNow() && sample && writing() && core_->sessionStarted &&
                        sound().writerScript.videoAppendAccepted;
        MediaTime time = sample ? sample->presentationTime : MediaTime{};
        core_->record.frames.push_back({time, std::move(sample), accepted});
        log("append");
        return accepted;
    }
};

class ScriptedAudioInput : public ScriptedInput<AudioWriterInput> {
public:
    using ScriptedInput::ScriptedInput;

    bool append(std::shared_ptr<const AudioSampleBuffer> sample) override {
        std::vector<float> samples = sample ? decodeFloatSamples(*sample) : std::vector<float>{};
        std::scoped_lock lock(state().mutex);
        bool accepted = !failsNow() && sample && writing() && core_->sessionStarted &&
                        sound().writerScript.audioAppendAccepted;
        WrittenAudio written;
        if (sample) {
            written.presentationTime = sample->presentationTime;
            written.frameCount = sample->frameCount;
        }
        written.samples = std::move(samples);
        written.buffer = std::move(sample);
        written.accepted = accepted;
        core_->record.audioChunks.push_back(std::move(written));
        log("append");
        return accepted;
    }
};

// Runs a finish completion on the platform queue, then counts it.
void complete(const std::shared_ptr<WriterCore>& core, std::function<void()> completion) {
    onPlatformQueue([core, completion = std::move(completion)] {
        completion();
        std::scoped_lock lock(state().mutex);
        ++core->record.finishCompletions;
        notifyChanged();
    });
}

class ScriptedWriter : public FileWriter {
public:
    explicit ScriptedWriter(std::shared_ptr<WriterCore> core) : core_(std::move(core)) {}

    void setMovieFragmentInterval(MediaTime interval) override {
        std::scoped_lock lock(state().mutex);
        core_->record.fragmentInterval = interval;
        log("setMovieFragmentInterval");
    }

    std::shared_ptr<VideoWriterInput> makeVideoInput(const VideoInputSettings& settings) override {
        std::scoped_lock lock(state().mutex);
        core_->record.videoSettings = settings;
        core_->record.video.made = true;
        log("makeVideoInput");
        return std::make_shared<ScriptedVideoInput>(core_, InputKind::video);
    }

    std::shared_ptr<AudioWriterInput> makeAudioInput(const AudioInputSettings& settings,
                                                     const AudioStreamDescription& sourceFormat) override {
        std::scoped_lock lock(state().mutex);
        core_->record.audioSettings = settings;
        core_->record.audioSourceFormat = sourceFormat;
        core_->record.audio.made = true;
        log("makeAudioInput");
        return std::make_shared<ScriptedAudioInput>(core_, InputKind::audio);
    }

    bool canAddInput(const WriterInput& input) const override {
        std::scoped_lock lock(state().mutex);
        auto* tag = dynamic_cast<const InputTag*>(&input);
        if (tag) log((std::string("canAddInput(") + name(tag->kind()) + ")").c_str());
        return accepts(tag);
    }

    void addInput(std::shared_ptr<WriterInput> input) override {
        std::scoped_lock lock(state().mutex);
        auto* tag = dynamic_cast<const InputTag*>(input.get());
        if (!tag) return;
        log((std::string("addInput(") + name(tag->kind()) + ")").c_str());
        if (!accepts(tag)) return;
        (tag->kind() == InputKind::video ? core_->record.video : core_->record.audio).added = true;
        inputs_.push_back(std::move(input));
    }

    bool startWriting() override {
        std::scoped_lock lock(state().mutex);
        ++core_->record.startWritingCalls;
        log("startWriting");
        if (core_->record.status != WriterStatus::unknown) return false;
        if (auto error = sound().writerScript.startError; error && current(core_->generation)) {
            core_->record.status = WriterStatus::failed;
            core_->record.error = std::move(error);
            return false;
        }
        core_->record.status = WriterStatus::writing;
        return true;
    }

    void startSession(MediaTime time) override {
        std::scoped_lock lock(state().mutex);
        core_->record.sessionStarts.push_back(time);
        core_->sessionStarted = true;
        log("startSession");
    }

    void endSession(MediaTime time) override {
        std::scoped_lock lock(state().mutex);
        core_->record.sessionEnds.push_back(time);
        log("endSession");
    }

    void finishWriting(std::function<void()> completion) override {
        std::scoped_lock lock(state().mutex);
        ++core_->record.finishCalls;
        log("finishWriting");
        if (!current(core_->generation)) {
            // A writer of an earlier test: its completion must not reach this one.
            core_->detachedFinishes.push_back(std::move(completion));
            return;
        }
        if (core_->record.status == WriterStatus::writing) {
            if (sound().writerScript.holdFinish && !core_->heldFinish) {
                core_->heldFinish = std::move(completion);
                return;
            }
            core_->record.status = WriterStatus::completed;
        }
        complete(core_, std::move(completion));
    }

    WriterStatus status() const override {
        std::scoped_lock lock(state().mutex);
        return core_->record.status;
    }

    std::optional<Error> error() const override {
        std::scoped_lock lock(state().mutex);
        return core_->record.error;
    }

private:
    // With the lock held.
    void log(const char* call) const {
        core_->record.calls.push_back(call);
        notifyChanged();
    }
    bool accepts(const InputTag* tag) const {
        if (!tag || tag->core() != core_ || core_->record.status != WriterStatus::unknown) return false;
        const auto& script = sound().writerScript;
        bool video = tag->kind() == InputKind::video;
        if (video ? script.refuseVideoInput : script.refuseAudioInput) return false;
        return !(video ? core_->record.video : core_->record.audio).added;
    }

    std::shared_ptr<WriterCore> core_;
    std::vector<std::shared_ptr<WriterInput>> inputs_;  // added inputs live with the writer
};

// The last writer, with the lock held; none when it belongs to an older world.
std::shared_ptr<WriterCore> lastWriter() {
    auto& core = sound().writer;
    return core && current(core->generation) ? core : nullptr;
}

}  // namespace

}  // namespace detail

using detail::sound;
using detail::state;

void setWriterScript(WriterScript script) {
    std::scoped_lock lock(state().mutex);
    sound().writerScript = std::move(script);
}

void setInputReady(InputKind kind, bool ready) {
    std::scoped_lock lock(state().mutex);
    (kind == InputKind::video ? sound().writerScript.videoReady : sound().writerScript.audioReady) = ready;
}

void setAppendAccepted(InputKind kind, bool accepted) {
    std::scoped_lock lock(state().mutex);
    auto& script = sound().writerScript;
    (kind == InputKind::video ? script.videoAppendAccepted : script.audioAppendAccepted) = accepted;
}

void failWriterAtNextAppend(InputKind kind, Error error) {
    std::scoped_lock lock(state().mutex);
    auto core = detail::lastWriter();
    if (!core) return;
    (kind == InputKind::video ? core->failNextVideo : core->failNextAudio) = std::move(error);
}

bool failWriter(Error error) {
    std::scoped_lock lock(state().mutex);
    auto core = detail::lastWriter();
    if (!core) return false;
    core->record.status = WriterStatus::failed;
    core->record.error = std::move(error);
    detail::notifyChanged();
    return true;
}

bool releaseFinish(WriterStatus outcome, std::optional<Error> error) {
    std::scoped_lock lock(state().mutex);
    auto core = detail::lastWriter();
    if (!core || !core->heldFinish) return false;
    core->record.status = outcome;
    core->record.error = std::move(error);
    detail::complete(core, std::move(core->heldFinish));
    core->heldFinish = nullptr;
    detail::notifyChanged();
    return true;
}

std::vector<std::string> writerPaths() {
    std::scoped_lock lock(state().mutex);
    return sound().writerPaths;
}

WriterRecord writerRecord() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::lastWriter();
    return core ? core->record : WriterRecord{};
}

}  // namespace platform::sim

namespace platform {

Result<std::unique_ptr<FileWriter>> createFileWriter(const std::string& path) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& sound = sim::detail::sound();
    sound.writerPaths.push_back(path);
    sim::detail::notifyChanged();
    if (sound.writerScript.createError) return *sound.writerScript.createError;
    auto core = std::make_shared<sim::detail::WriterCore>();
    core->generation = sim::detail::state().generation;
    core->record.created = true;
    core->record.path = path;
    sound.writer = core;
    return std::unique_ptr<FileWriter>(std::make_unique<sim::detail::ScriptedWriter>(core));
}

}  // namespace platform
