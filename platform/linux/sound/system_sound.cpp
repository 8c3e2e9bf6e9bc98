#include "platform/linux/sound/system_sound.h"

#include <atomic>

#include "platform/linux/sound/delivery.h"
#include "platform/linux/sound/pulse.h"

namespace platform::pulse {

namespace {

// System sound comes in blocks of 40 ms: four times fewer wake-ups than 10 ms (the
// Opus stream's cost is mostly those), well inside the recording's 150 ms mixing
// delay, and 20 ms more delay for a listener of the Opus stream.
constexpr RecordStream::Fragment kFragment{40};

}  // namespace

// What the program shares with the work queued for it.
struct Delivery {
    Delivery(dispatch::Queue queue, AudioSampleHandler handler, std::function<void(const Error&)> lost)
        : queue(std::move(queue)), handler(std::move(handler)), lost(std::move(lost)) {}
    const dispatch::Queue queue;
    const AudioSampleHandler handler;
    const std::function<void(const Error&)> lost;
    const dispatch::Queue notices = dispatch::Queue::serial("zentori.sonido.avisos");
    Gate gate;
    std::atomic<bool> lostReported{false};
};

// Lives on the main loop thread: every member is touched with the main loop lock
// held, by the libpulse callbacks below or by the owner while it starts and stops.
//
// Following the default output: the server announces every change of its defaults
// (and the removal of the default sink, which makes it pick another) as a server
// event. On each, and whenever the current stream fails (its sink went away), the
// server's default sink is asked for, and when it is not the one recorded, the
// stream is replaced by one on the new sink's monitor.
struct SystemSound::Follower {
    Follower(uint8_t channels, std::shared_ptr<Delivery> delivery)
        : channels(channels), delivery(std::move(delivery)) {}

    void check() {
        pa_operation* operation = pa_context_get_server_info(context.get(), onServerInfo, this);
        if (operation) pa_operation_unref(operation);
    }

    static void onContextState(pa_context* context, void* self) {
        signalWaiters();
        auto* follower = static_cast<Follower*>(self);
        if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return;
        follower->reportLost(pa_context_errno(context));
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self) {
        static_cast<Follower*>(self)->check();
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* self) {
        auto* follower = static_cast<Follower*>(self);
        if (!info || !info->default_sink_name) return;
        const std::string sink = info->default_sink_name;
        if (sink == follower->sink && follower->stream && !follower->streamFailed) return;
        follower->pendingSink = sink;
        pa_operation* operation =
            pa_context_get_sink_info_by_name(follower->context.get(), sink.c_str(), onSinkInfo, self);
        if (operation) pa_operation_unref(operation);
    }

    static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
        auto* follower = static_cast<Follower*>(self);
        if (eol != 0 || !info || !info->monitor_source_name || !info->name) return;
        // Answers to older questions may arrive after the default changed again.
        if (info->name != follower->pendingSink) return;
        // Two questions about the same change (a server event and a failed stream)
        // get two answers: the second finds the stream already in place.
        if (info->name == follower->sink && follower->stream && !follower->streamFailed) return;
        follower->record(info->name, info->monitor_source_name);
    }

    void record(const std::string& newSink, const std::string& monitor) {
        // Replacing the stream here is safe: this runs in an operation's callback, not
        // in one of the old stream's.
        stream.reset();
        streamFailed = false;
        sink = newSink;
        RecordStream::Callbacks callbacks;
        callbacks.data = [delivery = delivery, channels = channels](std::vector<uint8_t> bytes, uint64_t hostTime) {
            auto sample = makeSampleBuffer(std::move(bytes), channels, hostTime);
            delivery->queue.async([delivery, sample = std::move(sample)] {
                delivery->gate.run([&] {
                    if (delivery->handler) delivery->handler(sample);
                });
            });
        };
        callbacks.ended = [this](int) {
            // The sink went away (or the server ended the stream): whatever output
            // the server chooses next is followed; until then there is no sound.
            streamFailed = true;
            check();
        };
        int paError = PA_OK;
        stream = RecordStream::open(context.get(), monitor, channels, kFragment, CaptureClock::Steering::follow,
                                    "Sonido del sistema", std::move(callbacks), paError);
        if (!stream) streamFailed = true;
    }

    void reportLost(int paError) {
        if (delivery->lostReported.exchange(true)) return;
        Error error = errorFromPulse(paError, "Se perdió la conexión con el servidor de sonido");
        error.code = kConnectionLost;
        delivery->notices.async([delivery = delivery, error = std::move(error)] {
            delivery->gate.run([&] {
                if (delivery->lost) delivery->lost(error);
            });
        });
    }

    const uint8_t channels;
    const std::shared_ptr<Delivery> delivery;
    ContextPtr context;
    std::unique_ptr<RecordStream> stream;
    bool streamFailed = false;
    std::string sink;         // the sink whose monitor is recorded
    std::string pendingSink;  // the default sink last asked about
};

std::optional<Error> SystemSound::probe() {
    MainloopLock lock;
    auto context = connect(lock, "Zentori");
    if (!context) {
        Error error = context.error();
        error.description = "No se puede escuchar el sonido del sistema: " + error.description;
        return error;
    }
    return std::nullopt;
}

Result<std::unique_ptr<SystemSound>> SystemSound::start(uint8_t channels, dispatch::Queue queue,
                                                        AudioSampleHandler handler,
                                                        std::function<void(const Error&)> lost) {
    auto delivery = std::make_shared<Delivery>(std::move(queue), std::move(handler), std::move(lost));
    auto follower = std::make_unique<Follower>(channels, delivery);
    MainloopLock lock;
    auto context = connect(lock, "Zentori sonido del sistema");
    if (!context) {
        Error error = context.error();
        error.description = "No se puede escuchar el sonido del sistema: " + error.description;
        return error;
    }
    follower->context = std::move(context.value());
    pa_context* raw = follower->context.get();
    pa_context_set_state_callback(raw, Follower::onContextState, follower.get());
    pa_context_set_subscribe_callback(raw, Follower::onEvent, follower.get());
    pa_operation* subscribing = pa_context_subscribe(raw, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
    if (subscribing) pa_operation_unref(subscribing);
    follower->check();
    return std::unique_ptr<SystemSound>(new SystemSound(std::move(follower)));
}

SystemSound::SystemSound(std::unique_ptr<Follower> follower) : follower_(std::move(follower)) {}

SystemSound::~SystemSound() {
    std::shared_ptr<Delivery> delivery = follower_->delivery;
    {
        MainloopLock lock;
        // Disconnecting the context cancels the questions still open, so no callback
        // reaches the follower once it is gone.
        follower_->stream.reset();
        follower_->context.reset();
        follower_.reset();
    }
    delivery->gate.close();
}

}  // namespace platform::pulse
