#pragma once
// Helpers for video tests: test pictures and a look at H.264 NAL units.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/display/PixelBuffer.h"

namespace quill::testing {

// An NV12 picture with a gradient and a bright block whose place depends on n, so that consecutive
// pictures differ.
platform::display::PixelBuffer testPicture(int width, int height, int n);

// Whether two pictures hold the same bytes (row padding aside); the first difference when not.
::testing::AssertionResult samePicture(const platform::display::PixelBuffer& a,
                                       const platform::display::PixelBuffer& b);

// Length of the start code the unit begins with (3 or 4), 0 when none.
size_t startCodeLength(std::span<const uint8_t> unit);
// The NAL unit type (low 5 bits of the header after the start code), -1 without a start code.
int nalType(std::span<const uint8_t> unit);

}  // namespace quill::testing
