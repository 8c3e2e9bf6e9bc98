// Scripted screen capture: shareable content, capture streams and their samples.

#include <atomic>

#include "platform/sim/capture/sim_state.h"

namespace platform::sim {

namespace detail {

struct StreamCore {
    uint64_t generation = 0;
    StreamRecord record;
    StreamStopHandler didStop;
    std::optional<dispatch::Queue> outputQueue;
    ScreenSampleHandler output;
    StreamConfiguration configuration;  // in force: as created or last updated
    std::optional<dispatch::Queue> audioQueue;
    AudioSampleHandler audioOutput;
    std::vector<StreamCompletion> heldStops;  // completions that never come
};

void resetScreenCapture() {
    auto& s = state();
    ShareableContent content;
    content.displays.push_back({1, 1440, 900});
    s.contentAnswer = {content, std::nullopt, false};
    s.contentRequests = 0;
    s.heldContentRequests.clear();
    s.streamScript = {};
    s.stream.reset();
    s.mainDisplayID = 1;
}

namespace {

class ScriptedStream : public CaptureStream {
public:
    explicit ScriptedStream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}

    std::optional<Error> addStreamOutput(StreamOutputType type, dispatch::Queue queue,
                                         ScreenSampleHandler handler) override {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        if (!current()) return std::nullopt;
        if (s.streamScript.addOutputError) return s.streamScript.addOutputError;
        if (type == StreamOutputType::screen) {
            core_->outputQueue = queue;
            core_->output = std::move(handler);
            ++core_->record.screenOutputs;
        }
        notifyChanged();
        return std::nullopt;
    }

    std::optional<Error> addAudioOutput(dispatch::Queue queue, AudioSampleHandler handler) override {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        if (!current()) return std::nullopt;
        if (s.streamScript.addAudioOutputError) return s.streamScript.addAudioOutputError;
        core_->record.audioOutputQueue = queue.label();
        core_->audioQueue = std::move(queue);
        core_->audioOutput = std::move(handler);
        ++core_->record.audioOutputs;
        notifyChanged();
        return std::nullopt;
    }

    void startCapture(StreamCompletion completion) override {
        std::optional<Error> error;
        {
            auto& s = state();
            std::scoped_lock lock(s.mutex);
            if (!current()) return;
            ++core_->record.starts;
            error = s.streamScript.startError;
            notifyChanged();
        }
        auto core = core_;
        platformQueue().async([core, completion = std::move(completion), error] {
            completion(error);
            std::scoped_lock lock(state().mutex);
            ++core->record.startsCompleted;
            notifyChanged();
        });
    }

    void stopCapture(StreamCompletion completion) override {
        {
            auto& s = state();
            std::scoped_lock lock(s.mutex);
            ++core_->record.stops;
            notifyChanged();
            if (!current() || !s.streamScript.stopCompletes) {
                core_->heldStops.push_back(std::move(completion));
                return;
            }
        }
        platformQueue().async([completion = std::move(completion)] { completion(std::nullopt); });
    }

    void updateConfiguration(const StreamConfiguration& configuration, StreamCompletion completion) override {
        std::optional<Error> error;
        {
            auto& s = state();
            std::scoped_lock lock(s.mutex);
            if (!current()) return;
            core_->record.updates.push_back(configuration);
            error = s.streamScript.updateError;
            if (!error) core_->configuration = configuration;
            notifyChanged();
        }
        platformQueue().async([completion = std::move(completion), error] { completion(error); });
    }

private:
    // The lock is held.
    bool current() const { return core_->generation == state().generation; }

    std::shared_ptr<StreamCore> core_;
};

// The current stream's output, or none; taken under the lock, used without it.
struct OutputTarget {
    dispatch::Queue queue;
    ScreenSampleHandler handler;
};

std::optional<OutputTarget> currentOutput() {
    auto& s = state();
    std::scoped_lock lock(s.mutex);
    if (!s.stream || !s.stream->outputQueue) return std::nullopt;
    return OutputTarget{*s.stream->outputQueue, s.stream->output};
}

}  // namespace

std::optional<AudioOutputTarget> currentAudioOutput() {
    auto& s = state();
    std::scoped_lock lock(s.mutex);
    if (!s.stream || !s.stream->audioQueue) return std::nullopt;
    return AudioOutputTarget{*s.stream->audioQueue, s.stream->audioOutput, s.stream->configuration};
}

}  // namespace detail

using detail::state;

void setContentAnswer(ContentAnswer answer) {
    std::scoped_lock lock(state().mutex);
    state().contentAnswer = std::move(answer);
}

bool releaseContentRequest() {
    ShareableContentHandler handler;
    ContentAnswer answer;
    {
        auto& s = state();
        std::scoped_lock lock(s.mutex);
        if (s.heldContentRequests.empty()) return false;
        handler = std::move(s.heldContentRequests.front());
        s.heldContentRequests.pop_front();
        answer = s.contentAnswer;
    }
    detail::platformQueue().async([handler = std::move(handler), answer] { handler(answer.content, answer.error); });
    return true;
}

int contentRequests() {
    std::scoped_lock lock(state().mutex);
    return state().contentRequests;
}

void setStreamScript(StreamScript script) {
    std::scoped_lock lock(state().mutex);
    state().streamScript = std::move(script);
}

StreamRecord streamRecord() {
    std::scoped_lock lock(state().mutex);
    return state().stream ? state().stream->record : StreamRecord{};
}

bool deliverSample(VideoSample sample) {
    auto target = detail::currentOutput();
    if (!target) return false;
    auto shared = std::make_shared<const VideoSample>(std::move(sample));
    target->queue.async([handler = target->handler, shared] { handler(shared, StreamOutputType::screen); });
    return true;
}

bool deliverFrame(FrameStatus status) {
    VideoSample sample;
    if (status == FrameStatus::complete) {
        auto image = std::make_shared<PixelBuffer>();
        auto record = streamRecord();
        image->width = static_cast<int>(record.configuration.width);
        image->height = static_cast<int>(record.configuration.height);
        image->lumaStride = image->width;
        image->chromaStride = image->width;
        sample.image = image;
    }
    sample.frameStatus = static_cast<int64_t>(status);
    return deliverSample(std::move(sample));
}

bool drainOutputQueue(std::chrono::milliseconds timeout) {
    auto target = detail::currentOutput();
    if (!target) return false;
    auto drained = std::make_shared<std::atomic<bool>>(false);
    target->queue.async([drained] {
        *drained = true;
        detail::notifyChanged();
    });
    return waitFor([&] { return drained->load(); }, timeout);
}

bool stopStreamByItself(Error error) {
    StreamStopHandler didStop;
    {
        std::scoped_lock lock(state().mutex);
        if (!state().stream) return false;
        didStop = state().stream->didStop;
    }
    detail::platformQueue().async([didStop, error = std::move(error)] { didStop(error); });
    return true;
}

}  // namespace platform::sim

namespace platform {

uint32_t mainDisplayID() {
    std::scoped_lock lock(sim::detail::state().mutex);
    return sim::detail::state().mainDisplayID;
}

void getShareableContent(bool, bool, ShareableContentHandler completion) {
    sim::ContentAnswer answer;
    {
        auto& s = sim::detail::state();
        std::scoped_lock lock(s.mutex);
        ++s.contentRequests;
        sim::detail::notifyChanged();
        if (s.contentAnswer.hold) {
            s.heldContentRequests.push_back(std::move(completion));
            return;
        }
        answer = s.contentAnswer;
    }
    sim::detail::platformQueue().async(
        [completion = std::move(completion), answer] { completion(answer.content, answer.error); });
}

std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop) {
    auto core = std::make_shared<sim::detail::StreamCore>();
    core->record.created = true;
    core->record.filter = filter;
    core->record.configuration = configuration;
    core->configuration = configuration;
    core->didStop = std::move(didStop);
    {
        auto& s = sim::detail::state();
        std::scoped_lock lock(s.mutex);
        core->generation = s.generation;
        s.stream = core;
        sim::detail::notifyChanged();
    }
    return std::make_unique<sim::detail::ScriptedStream>(core);
}

}  // namespace platform
