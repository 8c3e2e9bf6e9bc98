#pragma once
// Measures the tests apply to sound at 48 kHz.

#include <vector>

namespace testsupport {

// Amplitude of the `frequency` component of `samples` at 48 kHz (Goertzel): a sine of
// amplitude A gives about A.
double amplitudeAt(const std::vector<float>& samples, double frequency);
double rms(const std::vector<float>& samples);

}  // namespace testsupport
