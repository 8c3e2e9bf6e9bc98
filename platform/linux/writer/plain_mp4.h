#pragma once
// The last step of a clean close: the fragmented file, good for surviving a crash,
// is rewritten as an ordinary MP4 (one index for the whole file), which every player
// opens at once with its true length and seeks in directly.

#include <optional>
#include <string>

namespace platform::writer {

// Rewrites `path` in place through a temporary file beside it, renamed over it only
// once complete. The error text when it could not be done; the fragmented file is
// then left as it was (still complete and playable).
std::optional<std::string> rewriteAsPlainMp4(const std::string& path);

}  // namespace platform::writer
