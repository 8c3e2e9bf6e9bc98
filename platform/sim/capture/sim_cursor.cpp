// Scripted cursor and display bounds.

#include <algorithm>

#include "platform/sim/capture/sim_state.h"

namespace platform::sim {

namespace detail {

void resetCursor() {
    auto& s = state();
    s.cursor = CursorScript{};
    s.displayBounds.clear();
    s.displayBounds[1] = {0, 0, 1440, 900};
    s.cursorQueries = 0;
    s.cursorDraws.clear();
}

namespace {

class ScriptedCursor : public CursorImage {
public:
    explicit ScriptedCursor(CursorScript script) : script_(std::move(script)) {}
    double width() const override { return script_.width; }
    double height() const override { return script_.height; }
    double hotSpotX() const override { return script_.hotSpotX; }
    double hotSpotY() const override { return script_.hotSpotY; }

    bool draw(int w, int h, uint8_t* rgba) const override {
        {
            std::scoped_lock lock(state().mutex);
            state().cursorDraws.push_back({w, h});
            notifyChanged();
        }
        if (script_.drawFails) return false;
        if (script_.painter) {
            script_.painter(w, h, rgba);
        } else {
            for (int i = 0; i < w * h; ++i) std::copy_n(script_.pixel, 4, rgba + 4 * i);
        }
        return true;
    }

private:
    CursorScript script_;
};

}  // namespace

}  // namespace detail

using detail::state;

void setCursor(std::optional<CursorScript> cursor) {
    std::scoped_lock lock(state().mutex);
    state().cursor = std::move(cursor);
}

void setDisplayBounds(uint32_t displayID, Rect bounds) {
    std::scoped_lock lock(state().mutex);
    state().displayBounds[displayID] = bounds;
}

int cursorQueries() {
    std::scoped_lock lock(state().mutex);
    return state().cursorQueries;
}

std::vector<DrawRecord> cursorDraws() {
    std::scoped_lock lock(state().mutex);
    return state().cursorDraws;
}

}  // namespace platform::sim

namespace platform {

Rect displayBounds(uint32_t displayID) {
    std::scoped_lock lock(sim::detail::state().mutex);
    auto& bounds = sim::detail::state().displayBounds;
    auto found = bounds.find(displayID);
    return found == bounds.end() ? Rect{} : found->second;
}

std::unique_ptr<CursorImage> currentSystemCursor() {
    std::optional<sim::CursorScript> script;
    {
        std::scoped_lock lock(sim::detail::state().mutex);
        ++sim::detail::state().cursorQueries;
        sim::detail::notifyChanged();
        script = sim::detail::state().cursor;
    }
    if (!script) return nullptr;
    return std::make_unique<sim::detail::ScriptedCursor>(std::move(*script));
}

}  // namespace platform
