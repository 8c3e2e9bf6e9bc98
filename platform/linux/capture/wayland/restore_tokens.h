#pragma once
// The portal's restore tokens, one per display ID, kept between runs so that the
// desktop asks the user once rather than at every capture. One small file of the
// suite under $XDG_STATE_HOME (default ~/.local/state): readable by its owner only,
// replaced whole (written aside, then renamed over), and ignored when damaged.

#include <cstdint>
#include <optional>
#include <string>

namespace platform::wayland {

// The file's path: $XDG_STATE_HOME/zentori/portal-tokens, with ~/.local/state in place
// of an unset or relative XDG_STATE_HOME. Empty when neither it nor HOME is set.
std::string restoreTokenPath();

// The token stored for `displayID`, if any. A missing, unreadable or damaged file
// reads as empty.
std::optional<std::string> loadRestoreToken(uint32_t displayID);

// Stores `token` for `displayID`, keeping the other displays' tokens (a damaged file
// is started afresh). False when the file could not be written; the capture goes on,
// the desktop will simply ask again next time.
bool storeRestoreToken(uint32_t displayID, const std::string& token);

}  // namespace platform::wayland
