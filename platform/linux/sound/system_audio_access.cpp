// Whether the system sound can be had: on Linux, whether a sound server answers this
// process, asked before a recording sets up its capture.

#include "platform/linux/sound/system_sound.h"
#include "platform/screen_capture.h"

namespace platform {

std::optional<Error> preflightSystemAudioCapture() {
    return pulse::SystemSound::probe();
}

}  // namespace platform
