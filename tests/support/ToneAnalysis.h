#pragma once
// Measures the frequency of a steady tone in mono samples, for checking captured and decoded sound.

#include <cstddef>

namespace quill::testing {

// The frequency in Hz of the strongest steady tone, from the rising zero crossings of the samples
// (interpolated between samples). 0 when there are fewer than two crossings.
double toneFrequency(const float* samples, size_t count, int sampleRate);
// Root mean square of the samples.
double rms(const float* samples, size_t count);

}  // namespace quill::testing
