#include "platform/linux/capture/wayland/wayland_outputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <memory>

#include "platform/linux/capture/wayland/screencast_portal.h"

namespace platform::wayland {

namespace {

struct Listing {
    struct Entry {
        wl_output* proxy = nullptr;
        Output output;
        int modeWidth = 0, modeHeight = 0;
        int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
        int32_t scale = 1;
    };
    std::vector<std::unique_ptr<Entry>> entries;
};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t transform) {
    auto* entry = static_cast<Listing::Entry*>(data);
    entry->output.x = x;
    entry->output.y = y;
    entry->transform = transform;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* entry = static_cast<Listing::Entry*>(data);
    if (flags & WL_OUTPUT_MODE_CURRENT) {
        entry->modeWidth = width;
        entry->modeHeight = height;
    }
}
void onDone(void*, wl_output*) {}
void onScale(void* data, wl_output*, int32_t factor) { static_cast<Listing::Entry*>(data)->scale = std::max(factor, 1); }
void onName(void* data, wl_output*, const char* name) { static_cast<Listing::Entry*>(data)->output.name = name ? name : ""; }
void onDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
    if (std::string_view(interface) != wl_output_interface.name) return;
    auto* listing = static_cast<Listing*>(data);
    auto entry = std::make_unique<Listing::Entry>();
    // Version 4 adds the output's name; older compositors give geometry and modes.
    entry->proxy = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4)));
    wl_output_add_listener(entry->proxy, &kOutputListener, entry.get());
    listing->entries.push_back(std::move(entry));
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

Result<std::vector<Output>> listOutputs() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return makeError(kDisplayNotFound, "No se pudo conectar con el compositor Wayland");
    Listing listing;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &listing);
    // The first round trip brings the globals, the second their outputs' details.
    const bool answered = wl_display_roundtrip(display) >= 0 && wl_display_roundtrip(display) >= 0;
    std::vector<Output> outputs;
    for (auto& entry : listing.entries) {
        Output output = entry->output;
        const bool turned = entry->transform % 2 == 1;  // 90 and 270 degrees, flipped or not
        output.width = (turned ? entry->modeHeight : entry->modeWidth) / entry->scale;
        output.height = (turned ? entry->modeWidth : entry->modeHeight) / entry->scale;
        if (output.width > 0 && output.height > 0) {
            output.displayID = static_cast<uint32_t>(outputs.size() + 1);
            outputs.push_back(output);
        }
        if (wl_output_get_version(entry->proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(entry->proxy);
        else
            wl_output_destroy(entry->proxy);
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    if (!answered) return makeError(kDisplayNotFound, "El compositor Wayland no respondió");
    return outputs;
}

}  // namespace platform::wayland
