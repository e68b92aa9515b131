#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "platform/display/PixelBuffer.h"
#include "platform/display/PixelTransfer.h"

using namespace quill::platform::display;

namespace {

// BT.601 limited range of an 8-bit RGB colour, rounded.
void bt601(int r, int g, int b, int& y, int& u, int& v) {
    y = static_cast<int>(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0 + 0.5);
    u = static_cast<int>(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0 + 0.5);
    v = static_cast<int>(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0 + 0.5);
}

}  // namespace

TEST(PixelBufferPoolTest, HandsOutAtMostCapacityAndReusesOnlyReleasedPictures) {
    auto pool = PixelBufferPool::create(PixelFormat::NV12, 64, 32, 2);
    PixelBufferRef a = pool->get();
    PixelBufferRef b = pool->get();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(pool->get(), nullptr);
    EXPECT_EQ(pool->inUse(), 2u);

    // A second holder keeps the picture out of the pool.
    PixelBuffer* first = a.get();
    PixelBufferRef stillReading = a;
    a.reset();
    EXPECT_EQ(pool->get(), nullptr);
    stillReading.reset();
    PixelBufferRef c = pool->get();
    EXPECT_EQ(c.get(), first);
    EXPECT_EQ(pool->inUse(), 2u);
}

TEST(PixelBufferPoolTest, PicturesOutliveTheirPool) {
    auto pool = PixelBufferPool::create(PixelFormat::I420, 16, 16, 1);
    PixelBufferRef held = pool->get();
    pool.reset();
    held->fill(1, 2, 3);
    EXPECT_EQ(held->plane(2)[0], 3);
    held.reset();  // freed, not returned anywhere
}

TEST(PixelBufferTest, PlaneGeometryOfOddSizes) {
    PixelBuffer nv12(PixelFormat::NV12, 33, 17);
    EXPECT_EQ(nv12.planeCount(), 2);
    EXPECT_EQ(nv12.planeRowBytes(1), 34);
    EXPECT_EQ(nv12.planeHeight(1), 9);
    EXPECT_EQ(nv12.stride(0) % 64, 0);
    PixelBuffer i420(PixelFormat::I420, 33, 17);
    EXPECT_EQ(i420.planeRowBytes(2), 17);
    EXPECT_THROW(PixelBuffer(PixelFormat::I420, 0, 10), std::invalid_argument);
}

TEST(PixelTransferTest, BgraToNv12UsesLimitedRangeBt601) {
    struct Case {
        int r, g, b;
    } cases[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0}, {40, 120, 200}};
    PixelTransfer transfer;
    for (const auto& c : cases) {
        PixelBuffer src(PixelFormat::BGRA, 32, 16);
        src.fill(static_cast<uint8_t>(c.b), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.r));
        PixelBuffer dst(PixelFormat::NV12, 32, 16);
        ASSERT_TRUE(transfer.transfer(src, dst));
        int y, u, v;
        bt601(c.r, c.g, c.b, y, u, v);
        EXPECT_NEAR(dst.plane(0)[5 * dst.stride(0) + 7], y, 2) << c.r << "," << c.g << "," << c.b;
        EXPECT_NEAR(dst.plane(1)[2 * dst.stride(1) + 6], u, 2);
        EXPECT_NEAR(dst.plane(1)[2 * dst.stride(1) + 7], v, 2);
    }
}

TEST(PixelTransferTest, Nv12ToI420ScalesTheWholePicture) {
    // Left half dark, right half bright: after scaling to another size the halves stay halves.
    PixelBuffer src(PixelFormat::NV12, 2880, 1800);
    src.fill(128, 100, 150);
    for (int y = 0; y < src.height(); ++y)
        std::fill(src.plane(0) + y * src.stride(0), src.plane(0) + y * src.stride(0) + 1440, uint8_t{30});
    PixelTransfer transfer;
    for (auto [w, h] : std::vector<std::pair<int, int>>{{1920, 1088}, {2880, 1800}, {1376, 768}}) {
        PixelBuffer dst(PixelFormat::I420, w, h);
        ASSERT_TRUE(transfer.transfer(src, dst));
        EXPECT_EQ(dst.plane(0)[10 * dst.stride(0) + 5], 30);
        EXPECT_EQ(dst.plane(0)[(h - 1) * dst.stride(0) + w / 2 - 4], 30);
        EXPECT_EQ(dst.plane(0)[(h / 2) * dst.stride(0) + w / 2 + 4], 128);
        EXPECT_EQ(dst.plane(0)[(h - 1) * dst.stride(0) + w - 1], 128);
        // Chroma is scaled with a coarser filter.
        EXPECT_NEAR(dst.plane(1)[(h / 4) * dst.stride(1) + w / 4], 100, 3);
        EXPECT_NEAR(dst.plane(2)[(h / 4) * dst.stride(2) + w / 4], 150, 3);
    }
}

TEST(PixelTransferTest, RefusesUnsupportedPairs) {
    PixelTransfer transfer;
    PixelBuffer nv12(PixelFormat::NV12, 16, 16);
    PixelBuffer bgra(PixelFormat::BGRA, 16, 16);
    EXPECT_FALSE(transfer.transfer(nv12, bgra));
    EXPECT_FALSE(transfer.transferFromBGRA(nullptr, 64, 16, 16, nv12));
    std::vector<uint8_t> small(16 * 16 * 4);
    EXPECT_FALSE(transfer.transferFromBGRA(small.data(), 10, 16, 16, nv12));
}

TEST(PixelTransferTest, FlatColoursStayFlatAtEveryScaling) {
    // Shrinking by area averaging, by more than half, in one direction only, and growing: no pixel of a
    // flat picture may come out a step lighter or darker.
    const std::pair<int, int> sizes[][2] = {{{2880, 1800}, {1920, 1088}}, {{2880, 1800}, {1376, 768}},
                                            {{2560, 1600}, {1920, 1080}}, {{3840, 2160}, {1920, 1088}},
                                            {{1920, 1200}, {1920, 1088}}, {{1440, 900}, {1440, 912}},
                                            {{5120, 2880}, {1920, 1088}}};
    PixelTransfer transfer;
    for (const auto& [from, to] : sizes) {
        for (const uint8_t level : {uint8_t{16}, uint8_t{127}, uint8_t{235}}) {
            PixelBuffer src(PixelFormat::NV12, from.first, from.second);
            src.fill(level, 90, 200);
            PixelBuffer dst(PixelFormat::I420, to.first, to.second);
            ASSERT_TRUE(transfer.transfer(src, dst));
            const uint8_t want[3] = {level, 90, 200};
            for (int p = 0; p < 3; ++p) {
                int off = 0;
                for (int y = 0; y < dst.planeHeight(p); ++y)
                    for (int x = 0; x < dst.planeRowBytes(p); ++x)
                        off += dst.plane(p)[y * dst.stride(p) + x] != want[p];
                EXPECT_EQ(off, 0) << "plane " << p << " of " << from.first << "x" << from.second << " -> "
                                  << to.first << "x" << to.second << " at " << int(level);
            }
        }
    }
}
