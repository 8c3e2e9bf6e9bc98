#pragma once
// Sound sample buffers as 32-bit floats.

#include <optional>
#include <vector>

#include "platform/media.h"

namespace zentrec {

// The frames of a 32-bit float PCM buffer, `canales` interleaved values per frame:
// with 1 the average of the source's channels, with more the source's channels in
// order (the last one repeated when the source has fewer). Samples the buffer lacks
// count as 0. Nothing when the buffer is not 32-bit float PCM, holds no frame, its
// buffer list cannot be had, or it claims more frames than any capture delivers at
// once.
std::optional<std::vector<float>> muestras(const platform::AudioSampleBuffer& buffer, int canales);

}  // namespace zentrec
