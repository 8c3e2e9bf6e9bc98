#pragma once
// One attempt to install the event tap, made on a thread of its own: installing may wait
// on the input service for as long as it likes (an X server that accepts the connection
// and never answers), and the main queue must go on serving commands meanwhile. An
// attempt that is given up on is simply left behind; its thread ends when the service
// answers, or never.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/event_tap.h"

namespace zentlock {

class Instalacion {
public:
    using Crear = std::function<std::unique_ptr<platform::input::EventTap>()>;

    // Starts `crear` on a detached thread. `crear` must not touch anything that may be
    // gone when it returns: it gets no reference to the attempt's owner.
    static std::shared_ptr<Instalacion> empezar(Crear crear);

    // Waits until the attempt has ended or `hasta` has passed; true when it has ended.
    bool esperar(std::chrono::steady_clock::time_point hasta);
    // The tap the attempt made, null when it failed. Once, after esperar() said true.
    std::unique_ptr<platform::input::EventTap> tomar();

private:
    Instalacion() = default;

    std::mutex mutex_;
    std::condition_variable terminada_;
    bool hecha_ = false;  // under mutex_
    std::unique_ptr<platform::input::EventTap> tap_;  // under mutex_
};

}  // namespace zentlock
