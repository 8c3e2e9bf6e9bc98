// Scripted H.264 compression sessions: refusals by demand, recorded properties and
// frames, and outputs made on the session's own thread when the test says so.

#include <deque>

#include "platform/sim/capture/sim_state.h"

namespace platform::sim {

namespace detail {

struct PendingFrame {
    MediaTime presentationTime;
    bool forceKeyFrame = false;
    std::shared_ptr<PixelBuffer> image;  // held until the output has been made
};

struct SessionCore {
    uint64_t generation = 0;
    bool lowLatency = false;
    CompressionOutput output;
    dispatch::Queue queue = dispatch::Queue::serial("sim.compression");
    std::vector<PropertyRecord> properties;
    std::vector<SubmittedFrame> submitted;
    std::deque<PendingFrame> unanswered;
    int prepareCalls = 0;
    int accepted = 0;
    int outputsMade = 0;
    int abandoned = 0;
    bool invalidated = false;
    // Held while an output runs, so invalidate() can wait for it.
    std::mutex callbackMutex;
};

namespace {

int invalidationCount = 0;  // under the state lock

// Schedules the output of the oldest unanswered frame; the state lock is held.
void scheduleOutput(const std::shared_ptr<SessionCore>& core, Status status, uint32_t flags,
                    std::shared_ptr<const EncodedSample> sample) {
    PendingFrame frame = std::move(core->unanswered.front());
    core->unanswered.pop_front();
    core->queue.async([core, status, flags, sample = std::move(sample), frame = std::move(frame)]() mutable {
        std::scoped_lock running(core->callbackMutex);
        {
            std::scoped_lock lock(state().mutex);
            if (core->invalidated) return;
        }
        core->output(status, flags, std::move(sample));
        frame.image.reset();
        std::scoped_lock lock(state().mutex);
        ++core->outputsMade;
        notifyChanged();
    });
}

class ScriptedSession : public CompressionSession {
public:
    explicit ScriptedSession(std::shared_ptr<SessionCore> core) : core_(std::move(core)) {}
    ~ScriptedSession() override { invalidate(); }

    Status setProperty(CompressionProperty key, const PropertyValue& value) override {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        Status result = 0;
        if (auto refused = s.compressionScript.refusedProperties.find(key);
            refused != s.compressionScript.refusedProperties.end()) {
            result = refused->second;
        }
        if (key == CompressionProperty::profileLevel && s.compressionScript.constrainedProfile &&
            value == PropertyValue(ProfileLevel::h264ConstrainedHighAutoLevel)) {
            result = *s.compressionScript.constrainedProfile;
        }
        core_->properties.push_back({key, value, result});
        notifyChanged();
        return result;
    }

    Status prepareToEncodeFrames() override {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        ++core_->prepareCalls;
        notifyChanged();
        if (s.compressionScript.prepare != 0) return s.compressionScript.prepare;
        return core_->lowLatency ? s.compressionScript.lowLatencyPrepare : 0;
    }

    Status encodeFrame(std::shared_ptr<PixelBuffer> image, MediaTime presentationTime, MediaTime duration,
                       FrameOptions options) override {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        Status result = core_->invalidated ? -12903 : s.compressionScript.encodeFrame;
        core_->submitted.push_back({presentationTime, duration, options.forceKeyFrame, image, result});
        notifyChanged();
        if (result != 0) return result;
        ++core_->accepted;
        core_->unanswered.push_back({presentationTime, options.forceKeyFrame, std::move(image)});
        if (s.compressionScript.autoComplete && core_->generation == s.generation) {
            scheduleOutput(core_, 0, 0, standardSample(presentationTime, options.forceKeyFrame));
        }
        return 0;
    }

    void invalidate() override {
        {
            std::scoped_lock lock(state().mutex);
            if (core_->invalidated) return;
            core_->invalidated = true;
            core_->abandoned = static_cast<int>(core_->unanswered.size());
            core_->unanswered.clear();
            if (core_->generation == state().generation) ++invalidationCount;
            notifyChanged();
        }
        // Waits for an output that is running now; none starts afterwards.
        std::scoped_lock running(core_->callbackMutex);
    }

private:
    std::shared_ptr<SessionCore> core_;
};

std::shared_ptr<SessionCore> currentSession() {
    auto& s = state();
    return s.session && s.session->generation == s.generation ? s.session : nullptr;
}

}  // namespace

void resetCompression() {
    auto& s = state();
    s.compressionScript = {};
    s.creations.clear();
    s.session.reset();
    invalidationCount = 0;
}

}  // namespace detail

using detail::state;

void setCompressionScript(CompressionScript script) {
    std::scoped_lock lock(state().mutex);
    state().compressionScript = std::move(script);
}

std::vector<CreationRecord> creations() {
    std::scoped_lock lock(state().mutex);
    return state().creations;
}

std::vector<PropertyRecord> propertiesSet() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    return core ? core->properties : std::vector<PropertyRecord>{};
}

int prepareCalls() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    return core ? core->prepareCalls : 0;
}

std::vector<SubmittedFrame> submittedFrames() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    return core ? core->submitted : std::vector<SubmittedFrame>{};
}

size_t framesInFlight() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    if (!core || core->invalidated) return 0;
    return static_cast<size_t>(core->accepted - core->outputsMade);
}

int invalidations() {
    std::scoped_lock lock(state().mutex);
    return detail::invalidationCount;
}

int outputsMade() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    return core ? core->outputsMade : 0;
}

bool completeNextFrame(Status status, uint32_t infoFlags, std::shared_ptr<const EncodedSample> sample) {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    if (!core || core->invalidated || core->unanswered.empty()) return false;
    detail::scheduleOutput(core, status, infoFlags, std::move(sample));
    return true;
}

bool completeNextFrame() {
    std::scoped_lock lock(state().mutex);
    auto core = detail::currentSession();
    if (!core || core->invalidated || core->unanswered.empty()) return false;
    const auto& frame = core->unanswered.front();
    detail::scheduleOutput(core, 0, 0, standardSample(frame.presentationTime, frame.forceKeyFrame));
    return true;
}

H264Format::Layout ScriptedFormat::layout() const {
    return {layoutStatus, sets_.size(), nalLengthSize_};
}

H264Format::ParameterSet ScriptedFormat::parameterSet(size_t index) const {
    if (auto refused = setStatus.find(index); refused != setStatus.end() && refused->second != 0) {
        return {refused->second, nullptr, 0};
    }
    if (index >= sets_.size() || setMissing.count(index)) return {0, nullptr, 0};
    return {0, sets_[index].data(), sets_[index].size()};
}

Status ScriptedBlock::copyBytes(size_t offset, size_t size, uint8_t* destination) const {
    if (copyStatus != 0) return copyStatus;
    if (offset > bytes_.size() || size > bytes_.size() - offset) return -12700;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), size, destination);
    return 0;
}

std::vector<uint8_t> lengthPrefixed(const std::vector<std::vector<uint8_t>>& units, int nalLengthSize) {
    std::vector<uint8_t> body;
    for (const auto& unit : units) {
        for (int i = nalLengthSize - 1; i >= 0; --i) {
            body.push_back(static_cast<uint8_t>(static_cast<uint64_t>(unit.size()) >> (8 * i)));
        }
        body.insert(body.end(), unit.begin(), unit.end());
    }
    return body;
}

std::vector<uint8_t> standardSps() { return {0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9, 0x40, 0x50, 0x05, 0xbb, 0x01, 0x10}; }
std::vector<uint8_t> standardPps() { return {0x68, 0xeb, 0xe3, 0xcb}; }

std::vector<uint8_t> standardSlice(MediaTime presentationTime, bool key) {
    std::vector<uint8_t> slice{static_cast<uint8_t>(key ? 0x65 : 0x41)};
    for (int i = 7; i >= 0; --i) slice.push_back(static_cast<uint8_t>(static_cast<uint64_t>(presentationTime.value) >> (8 * i)));
    slice.resize(16, 0xaa);
    return slice;
}

std::shared_ptr<EncodedSample> standardSample(MediaTime presentationTime, bool key) {
    auto sample = std::make_shared<EncodedSample>();
    sample->format = std::make_shared<ScriptedFormat>(std::vector<std::vector<uint8_t>>{standardSps(), standardPps()}, 4);
    sample->data = std::make_shared<ScriptedBlock>(lengthPrefixed({standardSlice(presentationTime, key)}, 4));
    sample->notSync = !key;
    sample->presentationTime = presentationTime;
    return sample;
}

}  // namespace platform::sim

namespace platform {

CompressionSessionCreation createCompressionSession(int32_t width, int32_t height,
                                                    const std::optional<EncoderSpecification>& specification,
                                                    uint32_t sourcePixelFormat, CompressionOutput output) {
    auto& s = sim::detail::state();
    std::scoped_lock lock(s.mutex);
    const auto& script = s.compressionScript;
    Status refusal = 0;
    if (script.anyCreate) {
        refusal = *script.anyCreate;
    } else if (specification && specification->enableLowLatencyRateControl && script.lowLatencyCreate) {
        refusal = *script.lowLatencyCreate;
    } else if (specification && specification->requireHardwareAcceleratedEncoder && script.hardwareCreate) {
        refusal = *script.hardwareCreate;
    }
    s.creations.push_back({width, height, specification, sourcePixelFormat, refusal});
    sim::detail::notifyChanged();
    if (refusal != 0) return {refusal, nullptr};

    auto core = std::make_shared<sim::detail::SessionCore>();
    core->generation = s.generation;
    core->lowLatency = specification && specification->enableLowLatencyRateControl;
    core->output = std::move(output);
    s.session = core;
    return {0, std::make_unique<sim::detail::ScriptedSession>(core)};
}

}  // namespace platform
