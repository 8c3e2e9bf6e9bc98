#include "platform/linux/sound/pulse.h"

#include <pulse/timeval.h>

#include <algorithm>

#include "platform/media.h"

namespace platform::pulse {

namespace {

// How long a connection or a query may take before the server counts as absent. A
// local server answers in milliseconds; this only bounds a server that hangs.
constexpr std::chrono::milliseconds kAnswerTimeout{5000};

// What a record stream's buffer holds at most: a reader may wake this late and lose
// nothing.
constexpr pa_usec_t kBufferSeconds = 4;

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* loop) const {
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

pa_threaded_mainloop* startMainloop() {
    MainloopPtr loop(pa_threaded_mainloop_new());
    if (!loop) std::abort();  // only when memory is exhausted
    pa_threaded_mainloop_set_name(loop.get(), "zentori.sonido");
    if (pa_threaded_mainloop_start(loop.get()) < 0) std::abort();
    // Kept for the life of the process on purpose (see pulse.h).
    return loop.release();
}

void signalOnOperation(pa_operation*, void*) { signalWaiters(); }

// Waits for an operation that the callbacks complete, then releases it. False when
// it could not be started or did not finish in time (it is cancelled then).
bool finish(MainloopLock& lock, pa_operation* operation) {
    if (!operation) return false;
    pa_operation_set_state_callback(operation, signalOnOperation, nullptr);
    const bool done = lock.waitUntil(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, kAnswerTimeout);
    if (!done) pa_operation_cancel(operation);
    const bool ok = done && pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return ok;
}

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? value : "";
}

}  // namespace

std::string errorText(int paError) {
    switch (paError) {
        case PA_OK: return "sin error";
        case PA_ERR_ACCESS: return "acceso denegado";
        case PA_ERR_COMMAND: return "orden desconocida";
        case PA_ERR_INVALID: return "argumento no válido";
        case PA_ERR_EXIST: return "ya existe";
        case PA_ERR_NOENTITY: return "no existe";
        case PA_ERR_CONNECTIONREFUSED: return "conexión rechazada";
        case PA_ERR_PROTOCOL: return "error de protocolo";
        case PA_ERR_TIMEOUT: return "no respondió a tiempo";
        case PA_ERR_AUTHKEY: return "falta la clave de autorización";
        case PA_ERR_INTERNAL: return "error interno del servidor de sonido";
        case PA_ERR_CONNECTIONTERMINATED: return "la conexión se cortó";
        case PA_ERR_KILLED: return "el dispositivo desapareció";
        case PA_ERR_INVALIDSERVER: return "servidor no válido";
        case PA_ERR_BADSTATE: return "estado no válido";
        case PA_ERR_NODATA: return "no hay datos";
        case PA_ERR_VERSION: return "versión del protocolo incompatible";
        case PA_ERR_TOOLARGE: return "demasiado grande";
        case PA_ERR_NOTSUPPORTED: return "operación no admitida";
        case PA_ERR_BUSY: return "el dispositivo está ocupado";
        case PA_ERR_FORKED: return "el proceso se bifurcó";
        case PA_ERR_IO: return "error de entrada/salida";
        case PA_ERR_OBSOLETE: return "función obsoleta";
        case PA_ERR_MODINITFAILED: return "no se pudo iniciar un módulo";
        case PA_ERR_NOEXTENSION: return "falta la extensión";
        // Sound errors are shown by their text alone: an unknown one keeps its code.
        default: return "error desconocido del servidor de sonido (" + std::to_string(paError) + ")";
    }
}

Error makeError(ErrorCode code, std::string description) {
    return Error{kErrorDomain, code, std::move(description), nullptr};
}

Error errorFromPulse(int paError, const std::string& what) {
    ErrorCode code = kStreamFailed;
    switch (paError) {
        case PA_ERR_ACCESS:
        case PA_ERR_AUTHKEY: code = kAccessDenied; break;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_INVALIDSERVER:
        case PA_ERR_TIMEOUT: code = kNoServer; break;
        case PA_ERR_NOENTITY:
        case PA_ERR_KILLED: code = kNoSuchDevice; break;
        case PA_ERR_CONNECTIONTERMINATED: code = kConnectionLost; break;
        default: break;
    }
    Error error = makeError(code, what + ": " + errorText(paError));
    error.underlying = std::make_shared<const Error>(Error{"libpulse", paError, errorText(paError), nullptr});
    return error;
}

pa_threaded_mainloop* mainloop() {
    static pa_threaded_mainloop* const loop = startMainloop();
    return loop;
}

MainloopLock::MainloopLock() { pa_threaded_mainloop_lock(mainloop()); }
MainloopLock::~MainloopLock() { pa_threaded_mainloop_unlock(mainloop()); }

bool MainloopLock::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (done()) return true;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop());
    bool expired = false;
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC);
    pa_time_event* timer = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* flag) {
            *static_cast<bool*>(flag) = true;
            signalWaiters();
        },
        &expired);
    bool held = done();
    while (!held && !expired) {
        pa_threaded_mainloop_wait(mainloop());
        held = done();
    }
    api->time_free(timer);
    return held;
}

void signalWaiters() { pa_threaded_mainloop_signal(mainloop(), 0); }

void ContextDeleter::operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void StreamDeleter::operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

Result<ContextPtr> connect(MainloopLock& lock, const char* clientName) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop());
    ContextPtr context(pa_context_new(api, clientName));
    if (!context) return makeError(kNoServer, "No se pudo preparar la conexión con el servidor de sonido");
    pa_context_set_state_callback(context.get(), [](pa_context*, void*) { signalWaiters(); }, nullptr);
    // Never start a server: a session without one has no sound, and says so.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return errorFromPulse(pa_context_errno(context.get()), "No se pudo conectar con el servidor de sonido");
    pa_context* raw = context.get();
    const bool settled = lock.waitUntil(
        [raw] {
            const pa_context_state_t state = pa_context_get_state(raw);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        kAnswerTimeout);
    if (!settled) return makeError(kNoServer, "El servidor de sonido no responde");
    if (pa_context_get_state(raw) != PA_CONTEXT_READY)
        return errorFromPulse(pa_context_errno(raw), "No se pudo conectar con el servidor de sonido");
    return context;
}

std::optional<ServerInfo> serverInfo(MainloopLock& lock, pa_context* context) {
    ServerInfo info;
    auto collect = [](pa_context*, const pa_server_info* server, void* out) {
        if (server) {
            auto& result = *static_cast<ServerInfo*>(out);
            result.defaultSourceName = server->default_source_name ? server->default_source_name : "";
            result.defaultSinkName = server->default_sink_name ? server->default_sink_name : "";
        }
        signalWaiters();
    };
    if (!finish(lock, pa_context_get_server_info(context, collect, &info))) return std::nullopt;
    return info;
}

std::optional<std::vector<SourceInfo>> sources(MainloopLock& lock, pa_context* context) {
    std::vector<SourceInfo> list;
    auto collect = [](pa_context*, const pa_source_info* source, int eol, void* out) {
        if (eol == 0 && source) {
            SourceInfo info;
            info.index = source->index;
            info.name = source->name ? source->name : "";
            info.description = source->description ? source->description : info.name;
            info.isMonitor = source->monitor_of_sink != PA_INVALID_INDEX;
            info.formFactor = property(source->proplist, PA_PROP_DEVICE_FORM_FACTOR);
            info.bus = property(source->proplist, PA_PROP_DEVICE_BUS);
            static_cast<std::vector<SourceInfo>*>(out)->push_back(std::move(info));
        }
        signalWaiters();
    };
    if (!finish(lock, pa_context_get_source_info_list(context, collect, &list))) return std::nullopt;
    return list;
}

std::optional<std::string> monitorOfSink(MainloopLock& lock, pa_context* context, const std::string& sink) {
    std::optional<std::string> monitor;
    auto collect = [](pa_context*, const pa_sink_info* info, int eol, void* out) {
        if (eol == 0 && info && info->monitor_source_name)
            *static_cast<std::optional<std::string>*>(out) = info->monitor_source_name;
        signalWaiters();
    };
    // A sink that does not exist ends the operation with an error and no entry.
    finish(lock, pa_context_get_sink_info_by_name(context, sink.c_str(), collect, &monitor));
    return monitor;
}

std::unique_ptr<RecordStream> RecordStream::open(pa_context* context, const std::string& source, uint8_t channels,
                                                 Fragment fragment, CaptureClock::Steering steering,
                                                 const char* streamName, Callbacks callbacks, int& paError) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kSampleRate, channels};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, channels, PA_CHANNEL_MAP_DEFAULT);
    StreamPtr stream(pa_stream_new(context, streamName, &spec, &map));
    if (!stream) {
        paError = pa_context_errno(context);
        return nullptr;
    }
    std::unique_ptr<RecordStream> record(new RecordStream(std::move(stream), source, channels, steering, std::move(callbacks)));
    pa_stream* raw = record->stream_.get();
    pa_stream_set_state_callback(raw, onState, record.get());
    pa_stream_set_read_callback(raw, onRead, record.get());
    // Without an explicit fragment size the server hands out about 2 s at a time. With
    // ADJUST_LATENCY the source itself runs at this latency, so blocks come steadily.
    // The buffer behind the fragments is large: a reader that wakes late (a busy
    // machine) finds everything captured meanwhile still there, instead of a hole.
    // DONT_MOVE: when the source goes the stream fails instead of being moved to
    // another source (which could be a microphone). The timing flags keep the
    // server's latency known, from which each block's capture time is taken.
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kBufferSeconds * PA_USEC_PER_SEC, &spec));
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(fragment.count()) * PA_USEC_PER_MSEC, &spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(raw, source.c_str(), &attributes, flags) < 0) {
        paError = pa_context_errno(context);
        return nullptr;
    }
    return record;
}

RecordStream::~RecordStream() = default;  // the stream's deleter detaches the callbacks first

void RecordStream::onState(pa_stream* stream, void* self) {
    auto* record = static_cast<RecordStream*>(self);
    signalWaiters();
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED || record->ended_) return;
    record->ended_ = true;
    if (record->callbacks_.ended) record->callbacks_.ended(pa_context_errno(pa_stream_get_context(stream)));
}

std::optional<int64_t> RecordStream::nextFrameCaptured(int64_t now) const {
    pa_usec_t latency = 0;
    int negative = 0;
    // Fails until the first timing update has come back from the server.
    if (pa_stream_get_latency(stream_.get(), &latency, &negative) != 0) return std::nullopt;
    const auto nanos = static_cast<int64_t>(latency) * 1000;
    return negative ? now + nanos : now - nanos;
}

void RecordStream::onRead(pa_stream* stream, size_t, void* self) {
    auto* record = static_cast<RecordStream*>(self);
    // Asked before reading: the latency is that of the first frame read now.
    const auto now = static_cast<int64_t>(hostTimeNanos());
    const std::optional<int64_t> captured = record->nextFrameCaptured(now);
    std::vector<uint8_t> bytes;
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &data, &length) < 0 || length == 0) break;
        if (data) {
            const auto* begin = static_cast<const uint8_t*>(data);
            bytes.insert(bytes.end(), begin, begin + length);
        } else {
            // A hole: the source had nothing for this span. It stays in the timeline
            // as silence of the same length rather than being skipped.
            bytes.insert(bytes.end(), length, 0);
        }
        pa_stream_drop(stream);
    }
    const size_t frameBytes = sizeof(float) * record->channels_;
    bytes.resize(bytes.size() / frameBytes * frameBytes);
    if (bytes.empty() || !record->callbacks_.data) return;
    // Should the server never tell, the guess is that the last frame was captured now.
    const uint64_t frames = bytes.size() / frameBytes;
    const auto span = static_cast<int64_t>(frames * 1'000'000'000ull / kSampleRate);
    const std::optional<int64_t> time = record->clock_.stamp(captured, now - span, frames);
    if (!time) return;
    record->callbacks_.data(std::move(bytes), static_cast<uint64_t>(std::max<int64_t>(*time, 0)));
}

}  // namespace platform::pulse
