#include "support/ToneAnalysis.h"

#include <cmath>

namespace quill::testing {

double toneFrequency(const float* samples, size_t count, int sampleRate) {
    double first = -1, last = -1;
    size_t crossings = 0;
    for (size_t i = 1; i < count; ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + (-samples[i - 1]) / (samples[i] - samples[i - 1]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return static_cast<double>(crossings - 1) * sampleRate / (last - first);
}

double rms(const float* samples, size_t count) {
    if (count == 0) return 0.0;
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

}  // namespace quill::testing
