#include "platform/linux/capture/wayland/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/linux/capture/wayland/screencast_portal.h"

namespace platform::wayland {

namespace {

// Damage rectangles asked for per buffer; more than this and the producer reports the
// whole picture as changed.
constexpr int kMaxDamageRegions = 16;
// The Cursor metadata must hold the largest bitmap a desktop sends: mutter always uses
// 384x384 and drops the metadata altogether when the range does not admit it.
constexpr int kSmallestCursor = 1, kLargestCursor = 384;
constexpr size_t cursorMetaSize(int width, int height) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<size_t>(width) * height * 4;
}

std::string pipewireText(int result) { return spa_strerror(result); }

}  // namespace

struct PipeWireStream::State {
    PipeWireReceiver receiver;
    int maxFps = 30;
    bool cursorMetadata = false;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    pw_registry* registry = nullptr;  // tells when the screen's node goes away
    spa_hook registryListener{};
    uint32_t node = 0;
    spa_source* timer = nullptr;
    spa_video_info_raw format{};
    bool formatKnown = false;
    bool streamed = false;      // the stream reached the paused or streaming state once
    std::atomic<bool> ended{false};
    bool stopping = false;      // the owner is disconnecting: no more reports

    void end(const Error& error) {
        if (stopping || ended.exchange(true)) return;
        if (receiver.ended) receiver.ended(error);
    }

    // Buffers the CPU can read, and the metadata this capture uses.
    void announceBuffers() {
        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[6];
        uint32_t count = 0;
        params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[count++] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                       SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                       SPA_POD_Int(sizeof(spa_meta_header))));
        params[count++] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                       SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                                       SPA_POD_Int(sizeof(spa_meta_region))));
        params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxDamageRegions, sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * kMaxDamageRegions)));
        params[count++] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                       SPA_POD_Id(SPA_META_VideoTransform), SPA_PARAM_META_size,
                                       SPA_POD_Int(sizeof(spa_meta_videotransform))));
        if (cursorMetadata)
            params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
                SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(kSmallestCursor, kSmallestCursor),
                                         cursorMetaSize(kLargestCursor, kLargestCursor))));
        pw_stream_update_params(stream, params, count);
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<State*>(data);
        switch (state) {
            case PW_STREAM_STATE_ERROR:
                self->end(makeError(kStreamFailed, std::string("Falló la transmisión de la pantalla por PipeWire: ") +
                                                       (error ? error : "sin detalle")));
                break;
            case PW_STREAM_STATE_UNCONNECTED:
                if (self->streamed)
                    self->end(makeError(kStreamFailed, "La transmisión de la pantalla por PipeWire se cortó"));
                break;
            case PW_STREAM_STATE_PAUSED:
            case PW_STREAM_STATE_STREAMING:
                self->streamed = true;
                break;
            case PW_STREAM_STATE_CONNECTING:
                break;
        }
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<State*>(data);
        if (id != SPA_PARAM_Format || !param) return;
        spa_video_info_raw format{};
        uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &format) < 0)
            return;
        self->format = format;
        self->formatKnown = true;
        self->announceBuffers();
    }

    static void onProcess(void* data) {
        auto* self = static_cast<State*>(data);
        // Only the newest buffer matters: older ones queued meanwhile are given back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) {
            if (newest) pw_stream_queue_buffer(self->stream, newest);
            newest = buffer;
        }
        if (!newest) return;
        self->handle(newest->buffer);
        // Given back before the receiver's slower work (conversion, scaling): a producer
        // short of buffers drops pictures, and a dropped last change would never come.
        pw_stream_queue_buffer(self->stream, newest);
        if (self->receiver.wake) self->receiver.wake();
    }

    void handle(spa_buffer* buffer) {
        if (cursorMetadata) readCursor(buffer);
        if (!formatKnown || buffer->n_datas < 1) return;
        const spa_data& plane = buffer->datas[0];
        if (!plane.data || !plane.chunk) return;
        if ((plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || plane.chunk->size == 0) return;  // cursor-only update
        ScreenFrame frame;
        frame.width = static_cast<int>(format.size.width);
        frame.height = static_cast<int>(format.size.height);
        frame.stride = plane.chunk->stride;
        if (frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width * 4) return;
        // Every row must lie inside what was mapped.
        const uint64_t needed = static_cast<uint64_t>(plane.chunk->offset % std::max<uint32_t>(plane.maxsize, 1)) +
                                static_cast<uint64_t>(frame.stride) * (frame.height - 1) + frame.width * 4ull;
        if (needed > plane.maxsize) return;
        frame.pixels = static_cast<const uint8_t*>(plane.data) + plane.chunk->offset % plane.maxsize;
        switch (format.format) {
            case SPA_VIDEO_FORMAT_BGRx:
            case SPA_VIDEO_FORMAT_BGRA:
                frame.rgbOrder = false;
                break;
            case SPA_VIDEO_FORMAT_RGBx:
            case SPA_VIDEO_FORMAT_RGBA:
                frame.rgbOrder = true;
                break;
            default:
                return;
        }
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
            if (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) return;
            if (header->pts > 0) frame.pts = static_cast<uint64_t>(header->pts);
        }
        if (auto* crop = static_cast<spa_meta_region*>(
                spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
            if (spa_meta_region_is_valid(crop))
                frame.crop = x11::Rect{crop->region.position.x, crop->region.position.y,
                                       static_cast<int>(crop->region.size.width),
                                       static_cast<int>(crop->region.size.height)};
        }
        if (auto* transform = static_cast<spa_meta_videotransform*>(
                spa_buffer_find_meta_data(buffer, SPA_META_VideoTransform, sizeof(spa_meta_videotransform))))
            frame.transform = transform->transform;
        if (spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
            std::vector<x11::Rect> rectangles;
            spa_meta_region* region;
            spa_meta_for_each(region, damage) {
                if (!spa_meta_region_is_valid(region)) break;
                rectangles.push_back({region->region.position.x, region->region.position.y,
                                      static_cast<int>(region->region.size.width),
                                      static_cast<int>(region->region.size.height)});
            }
            // An empty list says nothing (the producer fills no damage): all changed.
            if (!rectangles.empty()) frame.damage = std::move(rectangles);
        }
        if (receiver.frame) receiver.frame(frame);
    }

    void readCursor(spa_buffer* buffer) {
        spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
        if (!meta || meta->size < sizeof(spa_meta_cursor)) return;
        auto* cursor = static_cast<spa_meta_cursor*>(meta->data);
        CursorUpdate update;
        if (!spa_meta_cursor_is_valid(cursor)) {
            if (receiver.cursor) receiver.cursor(update);  // no pointer on this picture
            return;
        }
        update.visible = true;
        update.x = cursor->position.x;
        update.y = cursor->position.y;
        update.hotX = cursor->hotspot.x;
        update.hotY = cursor->hotspot.y;
        // The bitmap, when there is a new one, lies inside the metadata: every offset
        // and size is checked against the metadata's size before it is read.
        const uint64_t bitmapAt = cursor->bitmap_offset;
        if (bitmapAt >= sizeof(spa_meta_cursor) && bitmapAt + sizeof(spa_meta_bitmap) <= meta->size) {
            auto* bitmap = SPA_PTROFF(cursor, bitmapAt, spa_meta_bitmap);
            const uint64_t width = bitmap->size.width, height = bitmap->size.height;
            const uint64_t pixelsAt = bitmapAt + bitmap->offset;
            const bool known = bitmap->format == SPA_VIDEO_FORMAT_RGBA || bitmap->format == SPA_VIDEO_FORMAT_BGRA ||
                               bitmap->format == SPA_VIDEO_FORMAT_ARGB || bitmap->format == SPA_VIDEO_FORMAT_ABGR;
            if (known && width > 0 && height > 0 && width <= kLargestCursor && height <= kLargestCursor &&
                bitmap->offset >= sizeof(spa_meta_bitmap) && bitmap->stride >= static_cast<int32_t>(width * 4) &&
                pixelsAt + static_cast<uint64_t>(bitmap->stride) * (height - 1) + width * 4 <= meta->size) {
                update.hasBitmap = true;
                update.width = static_cast<int>(width);
                update.height = static_cast<int>(height);
                update.argb.resize(width * height);
                const auto* pixels = SPA_PTROFF(cursor, pixelsAt, const uint8_t);
                for (uint64_t row = 0; row < height; ++row) {
                    const uint8_t* p = pixels + row * bitmap->stride;
                    for (uint64_t column = 0; column < width; ++column, p += 4) {
                        uint32_t r, g, b, a;
                        switch (bitmap->format) {
                            case SPA_VIDEO_FORMAT_RGBA: r = p[0], g = p[1], b = p[2], a = p[3]; break;
                            case SPA_VIDEO_FORMAT_BGRA: b = p[0], g = p[1], r = p[2], a = p[3]; break;
                            case SPA_VIDEO_FORMAT_ARGB: a = p[0], r = p[1], g = p[2], b = p[3]; break;
                            default: a = p[0], b = p[1], g = p[2], r = p[3]; break;
                        }
                        // Straight alpha from the desktop; kept premultiplied here.
                        r = (r * a + 127) / 255, g = (g * a + 127) / 255, b = (b * a + 127) / 255;
                        update.argb[row * width + column] = (a << 24) | (r << 16) | (g << 8) | b;
                    }
                }
            }
        }
        if (receiver.cursor) receiver.cursor(update);
    }

    static void onCoreError(void* data, uint32_t id, int, int result, const char* message) {
        auto* self = static_cast<State*>(data);
        // An error on the core object itself is the connection's end.
        if (id == PW_ID_CORE)
            self->end(makeError(kStreamFailed, "Se perdió la conexión con PipeWire: " +
                                                   std::string(message ? message : pipewireText(result))));
    }

    // The node that produces the screen went away: the desktop ended the screen cast
    // (its portal backend stopped, or the output is gone). The stream itself may only
    // pause then, so this is what tells.
    static void onGlobalRemove(void* data, uint32_t id) {
        auto* self = static_cast<State*>(data);
        if (id == self->node)
            self->end(makeError(kSessionClosed, "El escritorio dejó de compartir la pantalla"));
    }

    static void onTimer(void* data, uint64_t) {
        auto* self = static_cast<State*>(data);
        if (self->receiver.wake) self->receiver.wake();
    }
};

namespace {

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = PipeWireStream::State::onStateChanged;
    events.param_changed = PipeWireStream::State::onParamChanged;
    events.process = PipeWireStream::State::onProcess;
    return events;
}();

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = PipeWireStream::State::onGlobalRemove;
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = PipeWireStream::State::onCoreError;
    return events;
}();

}  // namespace

Result<std::unique_ptr<PipeWireStream>> PipeWireStream::connect(int fd, uint32_t node, int maxFps, bool cursorMetadata,
                                                               PipeWireReceiver receiver) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
    auto state = std::make_unique<State>();
    state->receiver = std::move(receiver);
    state->maxFps = std::clamp(maxFps, 1, 240);
    state->cursorMetadata = cursorMetadata;
    state->node = node;
    state->loop = pw_thread_loop_new("zentori.pipewire", nullptr);
    if (!state->loop) {
        close(fd);
        return makeError(kStreamFailed, "No se pudo crear el hilo de PipeWire");
    }
    // From here the destructor of the returned object (or of `owner` on failure)
    // releases what was made.
    std::unique_ptr<PipeWireStream> owner(new PipeWireStream(std::move(state)));
    State* s = owner->state_.get();
    s->context = pw_context_new(pw_thread_loop_get_loop(s->loop), nullptr, 0);
    if (!s->context) {
        close(fd);
        return makeError(kStreamFailed, "No se pudo crear el contexto de PipeWire");
    }
    if (pw_thread_loop_start(s->loop) < 0) {
        close(fd);
        return makeError(kStreamFailed, "No se pudo arrancar el hilo de PipeWire");
    }
    pw_thread_loop_lock(s->loop);
    std::optional<Error> failure;
    s->core = pw_context_connect_fd(s->context, fd, nullptr, 0);  // takes the fd, also on failure
    if (!s->core) {
        failure = makeError(kStreamFailed, "No se pudo conectar con PipeWire: " + pipewireText(-errno));
    } else {
        pw_core_add_listener(s->core, &s->coreListener, &kCoreEvents, s);
        s->registry = pw_core_get_registry(s->core, PW_VERSION_REGISTRY, 0);
        if (s->registry) pw_registry_add_listener(s->registry, &s->registryListener, &kRegistryEvents, s);
        s->stream = pw_stream_new(s->core, "zentori-screen",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                    PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        if (!s->stream) failure = makeError(kStreamFailed, "No se pudo crear la transmisión de PipeWire");
    }
    if (!failure) {
        pw_stream_add_listener(s->stream, &s->streamListener, &kStreamEvents, s);
        // Raw video in the four 32-bit layouts, any size, no faster than asked. No
        // modifier property: DMA-BUF buffers are never offered to this consumer.
        uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080), smallest = SPA_RECTANGLE(1, 1),
                      largest = SPA_RECTANGLE(16384, 16384);
        spa_fraction noRate = SPA_FRACTION(0, 1), rate = SPA_FRACTION(static_cast<uint32_t>(s->maxFps), 1),
                     slowest = SPA_FRACTION(0, 1), fastest = SPA_FRACTION(static_cast<uint32_t>(s->maxFps), 1);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                   SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&noRate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
        const int connected = pw_stream_connect(
            s->stream, PW_DIRECTION_INPUT, node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        if (connected < 0)
            failure = makeError(kStreamFailed, "No se pudo conectar la transmisión de PipeWire: " + pipewireText(connected));
    }
    if (!failure) {
        s->timer = pw_loop_add_timer(pw_thread_loop_get_loop(s->loop), State::onTimer, s);
        if (!s->timer) failure = makeError(kStreamFailed, "No se pudo crear el temporizador de PipeWire");
    }
    pw_thread_loop_unlock(s->loop);
    if (failure) return *failure;
    return owner;
}

PipeWireStream::PipeWireStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireStream::~PipeWireStream() {
    State* s = state_.get();
    if (s->loop) {
        pw_thread_loop_lock(s->loop);
        s->stopping = true;
        if (s->timer) pw_loop_destroy_source(pw_thread_loop_get_loop(s->loop), s->timer);
        if (s->stream) {
            pw_stream_disconnect(s->stream);
            pw_stream_destroy(s->stream);
        }
        if (s->registry) {
            spa_hook_remove(&s->registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s->registry));
        }
        if (s->core) pw_core_disconnect(s->core);
        pw_thread_loop_unlock(s->loop);
        pw_thread_loop_stop(s->loop);
    }
    if (s->context) pw_context_destroy(s->context);
    if (s->loop) pw_thread_loop_destroy(s->loop);
}

void PipeWireStream::wakeAt(uint64_t nanos) {
    State* s = state_.get();
    if (!s->timer) return;
    // Armed with the time left (an all-zero value would disarm the timer instead).
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t current = static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
    const uint64_t left = nanos > current ? nanos - current : 1;
    timespec value{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    pw_loop_update_timer(pw_thread_loop_get_loop(s->loop), s->timer, &value, nullptr, false);
}

}  // namespace platform::wayland
