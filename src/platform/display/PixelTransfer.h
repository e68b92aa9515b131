#pragma once
// Scaling and colour conversion between pictures. The whole source is scaled to the whole destination
// (the aspect ratio is not kept). Colour is BT.601 limited range throughout.

#include <cstdint>
#include <vector>

#include "platform/display/PixelBuffer.h"

namespace quill::platform::display {

class PixelTransfer {
  public:
    // Copies src into dst, scaling and converting. Supported: NV12 or I420 to NV12 or I420, and BGRA to
    // NV12 or I420. False for other pairs.
    bool transfer(const PixelBuffer& src, PixelBuffer& dst);

    // Converts a BGRA/BGRX picture in caller memory (width x height, rowBytes per row) into dst.
    bool transferFromBGRA(const uint8_t* bgra, int rowBytes, int width, int height, PixelBuffer& dst);

  private:
    // Scratch for the intermediate steps, kept between calls to avoid reallocations.
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> scratch2_;
};

}  // namespace quill::platform::display
