#include "bench/wayland_latency/wayland_flipper.h"

#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

namespace bench {

namespace {

constexpr uint32_t kBackground = 0x404850;
constexpr uint32_t kBar = 0xd0d0d0;
constexpr int kBarWidth = 80;
constexpr int kBarTop = 2 * WaylandFlipper::kPatch;  // the bar stays clear of the patches
constexpr int kBarStep = 16;                         // pixels per animation frame
constexpr int kBuffers = 3;

double monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// When the frame a frame callback reports was drawn. The callback carries the
// compositor's time in milliseconds, of an unspecified base: CLOCK_MONOTONIC, cut to 32
// bits, in wlroots and mutter. Its arrival comes later, by however long the callback
// took to reach this thread (on a loaded machine, after the capturer's packet), so the
// compositor's time is taken when it reads as a moment of the last few seconds, and
// the arrival otherwise.
double drawnAt(uint32_t milliseconds) {
    const double now = monotonicNow();
    const uint64_t nowMs = uint64_t(now * 1000.0);
    const uint32_t age = uint32_t(nowMs) - milliseconds;  // modulo 2^32
    if (age <= 5000) return double(nowMs - age) / 1000.0;
    return now;
}

}  // namespace

struct WaylandFlipper::Client {
    WaylandFlipper* owner = nullptr;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_output* output = nullptr;
    int outputWidth = 0, outputHeight = 0;  // the output's current mode
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0, height = 0;
    bool configured = false;

    struct Buffer {
        wl_buffer* buffer = nullptr;
        uint32_t* pixels = nullptr;
        bool busy = false;
        bool painted = false;  // holds a whole picture
        int barX = 0;          // what it shows
        int number = -1;
    };
    Buffer buffers[kBuffers];
    void* mapping = nullptr;
    size_t mappingSize = 0;

    uint64_t commits = 0;
    // Changes committed but not drawn yet: (commit, index in changes_).
    std::vector<std::pair<uint64_t, size_t>> undrawn;
    int committedBarX = 0;

    struct FrameWait {
        Client* client;
        uint64_t commit;
    };

    ~Client() {
        for (auto& buffer : buffers)
            if (buffer.buffer) wl_buffer_destroy(buffer.buffer);
        if (mapping) munmap(mapping, mappingSize);
        if (toplevel) xdg_toplevel_destroy(toplevel);
        if (xdgSurface) xdg_surface_destroy(xdgSurface);
        if (surface) wl_surface_destroy(surface);
        if (wmBase) xdg_wm_base_destroy(wmBase);
        if (output) wl_output_destroy(output);
        if (shm) wl_shm_destroy(shm);
        if (compositor) wl_compositor_destroy(compositor);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }

    void fill(uint32_t* pixels, int x, int y, int w, int h, uint32_t colour) const {
        x = std::max(x, 0);
        y = std::max(y, 0);
        w = std::min(w, width - x);
        h = std::min(h, height - y);
        for (int row = y; row < y + h; ++row) std::fill_n(pixels + size_t(row) * size_t(width) + x, w, colour);
    }

    // Paints `buffer` to show the bar at `barX` and `number`, redrawing only what
    // differs from what it showed.
    void paint(Buffer& buffer, int barX, int number) {
        if (!buffer.painted) {
            fill(buffer.pixels, 0, 0, width, height, kBackground);
        } else if (buffer.barX != barX) {
            fill(buffer.pixels, buffer.barX, kBarTop, kBarWidth, height - kBarTop, kBackground);
        }
        fill(buffer.pixels, barX, kBarTop, kBarWidth, height - kBarTop, kBar);
        for (int bit = 0; bit < kBits; ++bit)
            fill(buffer.pixels, bit * kPatch, 0, kPatch, kPatch, (number >> (kBits - 1 - bit)) & 1 ? 0xffffff : 0);
        buffer.painted = true;
        buffer.barX = barX;
        buffer.number = number;
    }

    Buffer* freeBuffer() {
        for (auto& buffer : buffers)
            if (!buffer.busy) return &buffer;
        return nullptr;
    }

    bool createBuffers() {
        const size_t stride = size_t(width) * 4;
        const size_t size = stride * size_t(height);
        int fd = memfd_create("wayland-flipper", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(size * kBuffers)) != 0) return false;
        mappingSize = size * kBuffers;
        mapping = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapping == MAP_FAILED) {
            mapping = nullptr;
            close(fd);
            return false;
        }
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int32_t(mappingSize));
        for (int i = 0; i < kBuffers; ++i) {
            buffers[i].buffer = wl_shm_pool_create_buffer(pool, int32_t(size * size_t(i)), width, height,
                                                          int32_t(stride), WL_SHM_FORMAT_XRGB8888);
            buffers[i].pixels = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(mapping) + size * size_t(i));
            wl_buffer_add_listener(buffers[i].buffer, &bufferListener, &buffers[i]);
        }
        wl_shm_pool_destroy(pool);
        close(fd);
        return true;
    }

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* client = static_cast<Client*>(data);
        const std::string which = interface;
        if (which == wl_compositor_interface.name) {
            client->compositor =
                static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
        } else if (which == wl_shm_interface.name) {
            client->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (which == xdg_wm_base_interface.name) {
            client->wmBase = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(client->wmBase, &wmBaseListener, client);
        } else if (which == wl_output_interface.name && !client->output) {
            client->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
            wl_output_add_listener(client->output, &outputListener, client);
        }
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static void geometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                         int32_t) {}
    static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        auto* client = static_cast<Client*>(data);
        if (flags & WL_OUTPUT_MODE_CURRENT) {
            client->outputWidth = width;
            client->outputHeight = height;
        }
    }
    static constexpr wl_output_listener outputListener{geometry, mode, nullptr, nullptr, nullptr, nullptr};

    static void ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
    static constexpr xdg_wm_base_listener wmBaseListener{ping};

    static void surfaceConfigure(void* data, xdg_surface* surface, uint32_t serial) {
        xdg_surface_ack_configure(surface, serial);
        static_cast<Client*>(data)->configured = true;
    }
    static constexpr xdg_surface_listener xdgSurfaceListener{surfaceConfigure};

    static void toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto* client = static_cast<Client*>(data);
        if (width > 0 && height > 0 && client->width == 0) {
            client->width = width;
            client->height = height;
        }
    }
    static void toplevelClose(void*, xdg_toplevel*) {}
    // Bound at version 1: the later events (bounds, capabilities) never come.
    static constexpr xdg_toplevel_listener toplevelListener{toplevelConfigure, toplevelClose, nullptr, nullptr};

    static void released(void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }
    static constexpr wl_buffer_listener bufferListener{released};

    static void frameDone(void* data, wl_callback* callback, uint32_t milliseconds) {
        auto* info = static_cast<FrameWait*>(data);
        Client& client = *info->client;
        // The compositor has drawn a frame with everything committed up to this commit.
        const double at = drawnAt(milliseconds);
        {
            std::scoped_lock lock(client.owner->mutex_);
            auto& pending = client.undrawn;
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->first <= info->commit) {
                    client.owner->changes_[it->second].at = at;
                    it = pending.erase(it);
                } else {
                    ++it;
                }
            }
        }
        wl_callback_destroy(callback);
        delete info;
    }
    static constexpr wl_callback_listener frameListener{frameDone};
};

bool WaylandFlipper::start(WaylandScene scene) {
    auto client = std::make_unique<Client>();
    client->owner = this;
    client->display = wl_display_connect(socket_.c_str());
    if (!client->display) {
        std::fprintf(stderr, "cannot connect to the compositor at %s\n", socket_.c_str());
        return false;
    }
    client->registry = wl_display_get_registry(client->display);
    wl_registry_add_listener(client->registry, &Client::registryListener, client.get());
    wl_display_roundtrip(client->display);
    if (!client->compositor || !client->shm || !client->wmBase || !client->output) {
        std::fprintf(stderr, "the compositor lacks wl_compositor, wl_shm, xdg_wm_base or wl_output\n");
        return false;
    }
    wl_display_roundtrip(client->display);  // the output's mode
    client->surface = wl_compositor_create_surface(client->compositor);
    client->xdgSurface = xdg_wm_base_get_xdg_surface(client->wmBase, client->surface);
    xdg_surface_add_listener(client->xdgSurface, &Client::xdgSurfaceListener, client.get());
    client->toplevel = xdg_surface_get_toplevel(client->xdgSurface);
    xdg_toplevel_add_listener(client->toplevel, &Client::toplevelListener, client.get());
    xdg_toplevel_set_title(client->toplevel, "wayland_latency");
    xdg_toplevel_set_fullscreen(client->toplevel, nullptr);
    wl_surface_commit(client->surface);
    while (!client->configured) {
        if (wl_display_dispatch(client->display) < 0) {
            std::fprintf(stderr, "the compositor did not configure the window\n");
            return false;
        }
    }
    // sway leaves the size to the client until the window is mapped: the output's.
    if (client->width == 0) {
        client->width = client->outputWidth;
        client->height = client->outputHeight;
    }
    if (client->width <= 0 || client->height <= 0) {
        std::fprintf(stderr, "the compositor told no size for the window\n");
        return false;
    }
    if (!client->createBuffers()) {
        std::fprintf(stderr, "cannot make the window's buffers: %s\n", std::strerror(errno));
        return false;
    }
    width_ = client->width;
    height_ = client->height;
    scene_ = scene;
    stop_ = false;
    animationFrames_ = 0;
    changes_.clear();
    client_ = client.release();
    thread_ = std::thread([this] { run(*client_); });
    return true;
}

void WaylandFlipper::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    delete client_;
    client_ = nullptr;
}

std::vector<NumberChange> WaylandFlipper::changes() const {
    std::scoped_lock lock(mutex_);
    return changes_;
}

void WaylandFlipper::run(Client& client) {
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> gap(0.100, 0.200);
    const double tick = 1.0 / kAnimationFps;
    double now = monotonicNow();
    double nextTick = now, nextChange = now + gap(random);
    int number = 0, barX = 0;
    bool dirty = true;            // a picture to commit
    bool numberChanged = false;   // it carries a new number
    const int fd = wl_display_get_fd(client.display);
    while (!stop_) {
        now = monotonicNow();
        if (now >= nextChange) {
            number = (number + 1) % 16;
            nextChange = now + gap(random);
            dirty = numberChanged = true;
        }
        if (scene_ == WaylandScene::moving && now >= nextTick) {
            barX = (barX + kBarStep) % (client.width - kBarWidth);
            ++animationFrames_;
            nextTick = std::max(nextTick + tick, now);
            dirty = true;
        }
        Client::Buffer* buffer = dirty ? client.freeBuffer() : nullptr;
        if (buffer) {
            client.paint(*buffer, barX, number);
            wl_surface_attach(client.surface, buffer->buffer, 0, 0);
            wl_surface_damage_buffer(client.surface, client.committedBarX, kBarTop, kBarWidth, client.height);
            wl_surface_damage_buffer(client.surface, barX, kBarTop, kBarWidth, client.height);
            if (numberChanged) wl_surface_damage_buffer(client.surface, 0, 0, kBits * kPatch, kPatch);
            wl_callback_add_listener(wl_surface_frame(client.surface), &Client::frameListener,
                                     new Client::FrameWait{&client, ++client.commits});
            if (numberChanged) {
                std::scoped_lock lock(mutex_);
                changes_.push_back({0, number});
                client.undrawn.emplace_back(client.commits, changes_.size() - 1);
            }
            wl_surface_commit(client.surface);
            buffer->busy = true;
            client.committedBarX = barX;
            dirty = numberChanged = false;
        }
        // Wait for the compositor's events until the next thing to draw is due (or,
        // with a picture waiting for a buffer, until one is released).
        while (wl_display_prepare_read(client.display) != 0) wl_display_dispatch_pending(client.display);
        wl_display_flush(client.display);
        double until = std::min(nextChange, scene_ == WaylandScene::moving ? nextTick : nextChange);
        // A picture waiting for a buffer polls at least every millisecond: the release
        // wakes the poll anyway, and the next change must not be held up.
        int timeout = std::max(dirty ? 1 : 0, int((until - monotonicNow()) * 1000.0));
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, timeout) > 0) {
            wl_display_read_events(client.display);
        } else {
            wl_display_cancel_read(client.display);
        }
        if (wl_display_dispatch_pending(client.display) < 0) break;
    }
}

}  // namespace bench
