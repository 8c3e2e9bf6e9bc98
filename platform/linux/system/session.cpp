#include "platform/linux/system/session.h"

#include <cstdlib>
#include <string_view>

namespace platform::system {

bool waylandSession() {
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    if (waylandDisplay != nullptr && *waylandDisplay != '\0') return true;
    const char* sessionType = std::getenv("XDG_SESSION_TYPE");
    return sessionType != nullptr && std::string_view(sessionType) == "wayland";
}

}  // namespace platform::system
