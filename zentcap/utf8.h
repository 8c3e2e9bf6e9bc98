#pragma once
// Text that must reach the host as UTF-8 whatever bytes it was built from.

#include <string>
#include <string_view>

namespace zentcap {

// `text` with every byte that does not belong to a well-formed UTF-8 sequence (stray
// continuation bytes, truncated or overlong sequences, surrogates, values above
// U+10FFFF) replaced by U+FFFD; well-formed text comes back unchanged.
std::string validUtf8(std::string_view text);

}  // namespace zentcap
