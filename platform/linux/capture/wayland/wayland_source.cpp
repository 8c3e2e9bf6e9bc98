#include "platform/linux/capture/wayland/wayland_source.h"

#include "platform/linux/capture/cursor_scaler.h"
#include "platform/linux/capture/platform_thread.h"
#include "platform/linux/capture/wayland/cursor_store.h"
#include "platform/linux/capture/wayland/screencast_portal.h"
#include "platform/linux/capture/wayland/wayland_capture_stream.h"
#include "platform/linux/capture/wayland/wayland_outputs.h"

namespace platform::wayland {

namespace {

class MetadataCursorImage final : public CursorImage {
public:
    explicit MetadataCursorImage(CursorSnapshot snapshot) : snapshot_(std::move(snapshot)) {}
    double width() const override { return snapshot_.width; }
    double height() const override { return snapshot_.height; }
    double hotSpotX() const override { return snapshot_.hotX; }
    double hotSpotY() const override { return snapshot_.hotY; }
    bool draw(int w, int h, uint8_t* rgba) const override {
        if (w <= 0 || h <= 0 || !rgba || snapshot_.argb.empty()) return false;
        x11::scaleCursorToRGBA(snapshot_.argb.data(), snapshot_.width, snapshot_.height, w, h, rgba);
        return true;
    }

private:
    CursorSnapshot snapshot_;
};

}  // namespace

bool preflightAccess() { return ScreenCastPortal::available(); }

void getShareableContent(ShareableContentHandler completion) {
    x11::completeOnPlatformThread([completion = std::move(completion)] {
        auto outputs = listOutputs();
        if (!outputs) {
            completion(std::nullopt, outputs.error());
            return;
        }
        ShareableContent content;
        for (const Output& output : outputs.value())
            content.displays.push_back({output.displayID, output.width, output.height});
        completion(std::move(content), std::nullopt);
    });
}

uint32_t mainDisplayID() { return 1; }

Rect displayBounds(uint32_t displayID) {
    auto outputs = listOutputs();
    if (!outputs) return {};
    for (const Output& output : outputs.value())
        if (output.displayID == displayID)
            return {static_cast<double>(output.x), static_cast<double>(output.y), static_cast<double>(output.width),
                    static_cast<double>(output.height)};
    return {};
}

std::unique_ptr<CursorImage> currentCursorImage() {
    auto cursor = currentCursor();
    if (!cursor || cursor->argb.empty()) return nullptr;
    return std::make_unique<MetadataCursorImage>(std::move(*cursor));
}

std::unique_ptr<CaptureStream> createCaptureStream(const ContentFilter& filter,
                                                   const StreamConfiguration& configuration,
                                                   StreamStopHandler didStop) {
    return std::make_unique<WaylandCaptureStream>(filter, configuration, std::move(didStop));
}

}  // namespace platform::wayland
