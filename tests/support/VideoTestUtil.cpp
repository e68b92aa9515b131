#include "support/VideoTestUtil.h"

namespace quill::testing {

::testing::AssertionResult samePicture(const platform::display::PixelBuffer& a,
                                       const platform::display::PixelBuffer& b) {
    if (a.format() != b.format() || a.width() != b.width() || a.height() != b.height())
        return ::testing::AssertionFailure() << "different kinds of picture";
    for (int i = 0; i < a.planeCount(); ++i)
        for (int y = 0; y < a.planeHeight(i); ++y)
            for (int x = 0; x < a.planeRowBytes(i); ++x)
                if (a.plane(i)[y * a.stride(i) + x] != b.plane(i)[y * b.stride(i) + x])
                    return ::testing::AssertionFailure() << "plane " << i << " differs at (" << x << ", " << y
                                                         << ") of " << a.width() << "x" << a.height();
    return ::testing::AssertionSuccess();
}

platform::display::PixelBuffer testPicture(int width, int height, int n) {
    platform::display::PixelBuffer p(platform::display::PixelFormat::NV12, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = p.plane(0) + y * p.stride(0);
        for (int x = 0; x < width; ++x)
            row[x] = static_cast<uint8_t>(16 + ((x + y) * 200) / (width + height));
    }
    for (int y = 0; y < p.planeHeight(1); ++y) {
        uint8_t* row = p.plane(1) + y * p.stride(1);
        for (int x = 0; x < p.planeRowBytes(1); ++x)
            row[x] = static_cast<uint8_t>(96 + (x * 64) / p.planeRowBytes(1));
    }
    const int side = std::max(16, std::min(width, height) / 6);
    const int bx = (n * 13) % std::max(1, width - side);
    const int by = (n * 7) % std::max(1, height - side);
    for (int y = by; y < by + side; ++y)
        for (int x = bx; x < bx + side; ++x)
            p.plane(0)[y * p.stride(0) + x] = 235;
    return p;
}

size_t startCodeLength(std::span<const uint8_t> u) {
    if (u.size() >= 4 && u[0] == 0 && u[1] == 0 && u[2] == 0 && u[3] == 1) return 4;
    if (u.size() >= 3 && u[0] == 0 && u[1] == 0 && u[2] == 1) return 3;
    return 0;
}

int nalType(std::span<const uint8_t> u) {
    const size_t sc = startCodeLength(u);
    if (!sc || u.size() <= sc) return -1;
    return u[sc] & 0x1f;
}

}  // namespace quill::testing
