#pragma once
// The last step of a clean close: the fragmented file, good for surviving a crash,
// is rewritten as an ordinary MP4 (one index for the whole file), which every player
// opens at once with its true length and seeks in directly.

#include <optional>
#include <string>

#include "platform/linux/writer/path_claim.h"

namespace platform::writer {

// Rewrites the file `own` at `path` in place through a temporary file beside it,
// renamed over it only once complete. Only that file is read, and only while it is
// still at `path` is it replaced. The error text when it could not be done; the
// fragmented file is then left as it was (still complete and playable).
std::optional<std::string> rewriteAsPlainMp4(const std::string& path, const FileIdentity& own);

}  // namespace platform::writer
