#include "tests/support/sound_measures.h"

#include <algorithm>
#include <cmath>

namespace testsupport {

double amplitudeAt(const std::vector<float>& samples, double frequency) {
    if (samples.empty()) return 0;
    const double w = 2 * M_PI * frequency / 48000;
    double re = 0, im = 0;
    for (size_t n = 0; n < samples.size(); ++n) {
        re += samples[n] * std::cos(w * static_cast<double>(n));
        im -= samples[n] * std::sin(w * static_cast<double>(n));
    }
    return 2 * std::hypot(re, im) / static_cast<double>(samples.size());
}

double rms(const std::vector<float>& samples) {
    if (samples.empty()) return 0;
    double sum = 0;
    for (float x : samples) sum += double(x) * x;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

double typicalAmplitudeAt(const std::vector<float>& samples, double frequency, size_t window) {
    std::vector<double> amplitudes;
    for (size_t at = 0; window > 0 && at + window <= samples.size(); at += window)
        amplitudes.push_back(amplitudeAt({samples.begin() + static_cast<std::ptrdiff_t>(at),
                                          samples.begin() + static_cast<std::ptrdiff_t>(at + window)},
                                         frequency));
    if (amplitudes.empty()) return 0;
    std::nth_element(amplitudes.begin(), amplitudes.begin() + amplitudes.size() / 2, amplitudes.end());
    return amplitudes[amplitudes.size() / 2];
}

}  // namespace testsupport
