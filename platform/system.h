#pragma once
// Facts about the running system.

namespace platform {

struct SystemVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

// Whether the running system is this version or later, that is, whether the services
// that came with that version can be used.
bool runningSystemAtLeast(SystemVersion version);

}  // namespace platform
