// Scripted sound-only system sound: a session that delivers what the test hands it on
// the program's queue, and stops by itself when the test says so.

#include "platform/sim/sound/callback_gate.h"
#include "platform/sim/sound/sound_state.h"

namespace platform::sim {

namespace detail {

struct SystemSoundCore {
    SystemSoundCore(uint64_t generation, dispatch::Queue queue, SystemSoundHandler handler,
                    SystemSoundStopHandler didStop)
        : generation(generation), queue(std::move(queue)), handler(std::move(handler)), didStop(std::move(didStop)) {}

    const uint64_t generation;
    const dispatch::Queue queue;
    const SystemSoundHandler handler;
    const SystemSoundStopHandler didStop;
    bool running = true;  // under the lock
    CallbackGate gate;    // closed by the session's destructor
};

// The running session, with the lock held.
std::shared_ptr<SystemSoundCore> runningSystemSound() {
    auto& core = sound().systemSound;
    return core && current(core->generation) && core->running ? core : nullptr;
}

}  // namespace detail

using detail::sound;
using detail::state;

namespace {

class ScriptedSystemSound final : public SystemSoundSession {
public:
    explicit ScriptedSystemSound(std::shared_ptr<detail::SystemSoundCore> core) : core_(std::move(core)) {}
    ~ScriptedSystemSound() override {
        {
            std::scoped_lock lock(state().mutex);
            core_->running = false;
            detail::notifyChanged();
        }
        core_->gate.close();
    }

private:
    std::shared_ptr<detail::SystemSoundCore> core_;
};

}  // namespace

void setSystemSoundError(std::optional<Error> error) {
    std::scoped_lock lock(state().mutex);
    sound().systemSoundError = std::move(error);
}

SystemSoundRecord systemSoundRecord() {
    std::scoped_lock lock(state().mutex);
    SystemSoundRecord record;
    record.starts = sound().systemSoundStarts;
    record.settings = sound().systemSoundSettings;
    record.queueLabel = sound().systemSoundQueueLabel;
    record.running = detail::runningSystemSound() != nullptr;
    return record;
}

bool stopSystemSoundByItself(Error error) {
    std::shared_ptr<detail::SystemSoundCore> core;
    {
        std::scoped_lock lock(state().mutex);
        core = detail::runningSystemSound();
        if (!core) return false;
        core->running = false;
        detail::notifyChanged();
    }
    detail::onPlatformQueue([core, error = std::move(error)] {
        core->gate.run([&] {
            if (core->didStop) core->didStop(error);
        });
    });
    return true;
}

namespace detail {

bool deliverToSoundOnlySession(const AudioSampleBuffer& buffer) {
    std::shared_ptr<detail::SystemSoundCore> core;
    {
        std::scoped_lock lock(state().mutex);
        core = detail::runningSystemSound();
    }
    if (!core) return false;
    auto shared = std::make_shared<const AudioSampleBuffer>(buffer);
    core->queue.async([core, shared] {
        core->gate.run([&] {
            if (core->handler) core->handler(shared);
        });
    });
    return true;
}

std::optional<dispatch::Queue> soundOnlyQueue() {
    std::scoped_lock lock(state().mutex);
    auto core = runningSystemSound();
    if (!core) return std::nullopt;
    return core->queue;
}

}  // namespace detail

}  // namespace platform::sim

namespace platform {

Result<std::unique_ptr<SystemSoundSession>> startSystemSound(const SystemSoundSettings& settings,
                                                             dispatch::Queue queue, SystemSoundHandler handler,
                                                             SystemSoundStopHandler didStop) {
    using namespace platform::sim;
    std::scoped_lock lock(detail::state().mutex);
    auto& world = detail::sound();
    ++world.systemSoundStarts;
    world.systemSoundSettings = settings;
    world.systemSoundQueueLabel = queue.label();
    if (world.systemSoundError) return *world.systemSoundError;
    world.systemSound = std::make_shared<detail::SystemSoundCore>(detail::state().generation, std::move(queue),
                                                                  std::move(handler), std::move(didStop));
    detail::notifyChanged();
    return std::unique_ptr<SystemSoundSession>(std::make_unique<ScriptedSystemSound>(world.systemSound));
}

}  // namespace platform
