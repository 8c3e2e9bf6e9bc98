#pragma once
// Measures the tests apply to sound at 48 kHz.

#include <cstddef>
#include <vector>

namespace testsupport {

// Amplitude of the `frequency` component of `samples` at 48 kHz (Goertzel): a sine of
// amplitude A gives about A.
double amplitudeAt(const std::vector<float>& samples, double frequency);
double rms(const std::vector<float>& samples);
// The median of amplitudeAt over consecutive windows of `window` samples: what the
// sound mostly holds, unmoved by a few gaps (a player starved on a busy machine).
// Pick a window that holds whole periods of `frequency`.
double typicalAmplitudeAt(const std::vector<float>& samples, double frequency, std::size_t window);

}  // namespace testsupport
