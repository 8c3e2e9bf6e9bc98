#pragma once
// System sound: what the default output plays, recorded from its sink's monitor at
// 48 kHz float. When the user picks another output the recording moves to the new
// default sink's monitor; it never falls back to a microphone (its streams are never
// moved by the server, they are replaced here).

#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/screen_capture.h"

namespace platform::pulse {

class SystemSound {
public:
    // Why system sound cannot be had now (no server, or it refuses this client); none
    // when it can.
    static std::optional<Error> probe();

    // Starts recording `channels` (1 or 2) and delivers each block to `handler` on
    // `queue`. `lost` runs once, on a thread of the backend, if the sound server goes
    // away. Both must stay callable until the object is destroyed.
    static Result<std::unique_ptr<SystemSound>> start(uint8_t channels, dispatch::Queue queue,
                                                      AudioSampleHandler handler,
                                                      std::function<void(const Error&)> lost);
    // Stops recording; no handler runs once it has returned.
    ~SystemSound();
    SystemSound(const SystemSound&) = delete;
    SystemSound& operator=(const SystemSound&) = delete;

    struct Follower;

private:
    explicit SystemSound(std::unique_ptr<Follower> follower);
    std::unique_ptr<Follower> follower_;
};

}  // namespace platform::pulse
