// Pictures worked in bands on several threads must come out byte for byte as one call over the whole
// picture does.

#include <gtest/gtest.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/display/BandPool.h"
#include "platform/display/PixelBuffer.h"
#include "platform/display/PixelTransfer.h"
#include "support/VideoTestUtil.h"

using namespace quill::platform::display;
using quill::testing::samePicture;

namespace {

constexpr auto kFilter = libyuv::kFilterBilinear;

void randomFill(PixelBuffer& p, uint32_t seed) {
    for (int i = 0; i < p.planeCount(); ++i)
        for (int y = 0; y < p.planeHeight(i); ++y) {
            uint8_t* row = p.plane(i) + y * p.stride(i);
            for (int x = 0; x < p.planeRowBytes(i); ++x) {
                seed = seed * 1664525u + 1013904223u;
                row[x] = static_cast<uint8_t>(seed >> 24);
            }
        }
}

// The single calls over the whole picture.
void wholeFromBGRA(const PixelBuffer& bgra, PixelBuffer& dst) {
    const int dw = dst.width(), dh = dst.height();
    const uint8_t* from = bgra.plane(0);
    int stride = bgra.stride(0);
    std::vector<uint8_t> scaled;
    if (bgra.width() != dw || bgra.height() != dh) {
        stride = dw * 4;
        scaled.resize(static_cast<size_t>(stride) * dh);
        ASSERT_EQ(libyuv::ARGBScale(bgra.plane(0), bgra.stride(0), bgra.width(), bgra.height(), scaled.data(),
                                    stride, dw, dh, kFilter),
                  0);
        from = scaled.data();
    }
    if (dst.format() == PixelFormat::NV12) {
        ASSERT_EQ(libyuv::ARGBToNV12(from, stride, dst.plane(0), dst.stride(0), dst.plane(1), dst.stride(1),
                                     dw, dh),
                  0);
    } else {
        ASSERT_EQ(libyuv::ARGBToI420(from, stride, dst.plane(0), dst.stride(0), dst.plane(1), dst.stride(1),
                                     dst.plane(2), dst.stride(2), dw, dh),
                  0);
    }
}

void wholeNv12ToI420(const PixelBuffer& src, PixelBuffer& dst) {
    const int sw = src.width(), sh = src.height(), dw = dst.width(), dh = dst.height();
    if (sw == dw && sh == dh) {
        ASSERT_EQ(libyuv::NV12ToI420(src.plane(0), src.stride(0), src.plane(1), src.stride(1), dst.plane(0),
                                     dst.stride(0), dst.plane(1), dst.stride(1), dst.plane(2), dst.stride(2),
                                     dw, dh),
                  0);
        return;
    }
    // Cb and Cr apart at the source size, then each plane scaled on its own: by area averaging where it
    // shrinks to no less than half on each side, else bilinearly.
    const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, dcw = (dw + 1) / 2, dch = (dh + 1) / 2;
    const auto filter = [](int w, int h, int tw, int th) {
        return tw <= w && w <= 2 * tw && th <= h && h <= 2 * th ? libyuv::kFilterBox
                                                                : libyuv::kFilterBilinear;
    };
    libyuv::ScalePlane(src.plane(0), src.stride(0), sw, sh, dst.plane(0), dst.stride(0), dw, dh,
                       filter(sw, sh, dw, dh));
    std::vector<uint8_t> cb(static_cast<size_t>(scw) * sch), cr(cb.size());
    libyuv::SplitUVPlane(src.plane(1), src.stride(1), cb.data(), scw, cr.data(), scw, scw, sch);
    libyuv::ScalePlane(cb.data(), scw, scw, sch, dst.plane(1), dst.stride(1), dcw, dch,
                       filter(scw, sch, dcw, dch));
    libyuv::ScalePlane(cr.data(), scw, scw, sch, dst.plane(2), dst.stride(2), dcw, dch,
                       filter(scw, sch, dcw, dch));
}

struct Geometry {
    int sw, sh, dw, dh;
};

const Geometry kSizes[] = {
    {1, 1, 1, 1},           {2, 2, 2, 2},     {3, 5, 3, 5},       {33, 17, 33, 17}, {257, 131, 257, 131},
    {33, 17, 20, 9},        {7, 5, 3, 3},     {64, 48, 101, 71},  {2, 2, 16, 16},   {720, 450, 480, 272},
    {1440, 900, 1440, 912}, {96, 40, 48, 64}, {300, 200, 100, 90}};

}  // namespace

TEST(BandPoolTest, RunsEveryBandOnceAndReturnsAfterTheLast) {
    for (unsigned workers : {0u, 1u, 3u}) {
        BandPool pool(workers);
        EXPECT_EQ(pool.workers(), workers);
        for (int count : {0, 1, 2, 5, 64}) {
            std::vector<std::atomic<int>> runs(static_cast<size_t>(count));
            pool.run(count, [&](int i) { runs[static_cast<size_t>(i)].fetch_add(1); });
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(runs[static_cast<size_t>(i)].load(), 1) << workers << "/" << i;
        }
    }
}

TEST(BandPoolTest, BandsRunOnWorkersBesideTheCaller) {
    BandPool pool(3);
    std::mutex mutex;
    std::vector<std::thread::id> seen;
    // Bands wait a little for each other so that one thread cannot take them all.
    std::atomic<int> started{0};
    pool.run(4, [&](int) {
        started.fetch_add(1);
        for (int spins = 0; started.load() < 4 && spins < 200; ++spins)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(mutex);
        if (std::find(seen.begin(), seen.end(), std::this_thread::get_id()) == seen.end())
            seen.push_back(std::this_thread::get_id());
    });
    EXPECT_GE(seen.size(), 2u);
}

TEST(BandPoolTest, SeveralCallersShareThePool) {
    BandPool pool(2);
    std::atomic<int> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                std::atomic<int> mine{0};
                pool.run(7, [&](int) { mine.fetch_add(1); });
                EXPECT_EQ(mine.load(), 7);
                total.fetch_add(mine.load());
            }
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(total.load(), 4 * 200 * 7);
}

TEST(BandPoolTest, SharedPoolSizeFromTheSettingOrTheCores) {
    EXPECT_EQ(BandPool::sharedThreads(nullptr, 8), 4u);
    EXPECT_EQ(BandPool::sharedThreads(nullptr, 2), 1u);
    EXPECT_EQ(BandPool::sharedThreads(nullptr, 0), 1u);  // unknown core count
    EXPECT_EQ(BandPool::sharedThreads(nullptr, 64), BandPool::kMaxSharedThreads);
    EXPECT_EQ(BandPool::sharedThreads("1", 8), 1u);
    EXPECT_EQ(BandPool::sharedThreads("3", 2), 3u);
    EXPECT_EQ(BandPool::sharedThreads("99", 8), BandPool::kMaxSharedThreads);
    for (const char* bad : {"", "0", "-2", "two", "3x"})
        EXPECT_EQ(BandPool::sharedThreads(bad, 8), 4u) << bad;
}

TEST(BandedTransferTest, BgraConversionAndScalingMatchTheWholePictureCall) {
    auto pool = std::make_shared<BandPool>(3);
    uint32_t seed = 1;
    for (const auto& g : kSizes) {
        PixelBuffer bgra(PixelFormat::BGRA, g.sw, g.sh);
        randomFill(bgra, seed++);
        for (PixelFormat format : {PixelFormat::NV12, PixelFormat::I420}) {
            PixelBuffer expected(format, g.dw, g.dh);
            wholeFromBGRA(bgra, expected);
            for (int bands : {1, 2, 3, 7, 64}) {
                for (auto& p : {pool, std::shared_ptr<BandPool>()}) {
                    PixelTransfer transfer(p, bands);
                    PixelBuffer got(format, g.dw, g.dh);
                    ASSERT_TRUE(transfer.transfer(bgra, got));
                    EXPECT_TRUE(samePicture(got, expected)) << g.sw << "x" << g.sh << " -> " << g.dw << "x"
                                                            << g.dh << " in " << bands << " bands";
                }
            }
        }
    }
}

TEST(BandedTransferTest, Nv12ToI420ScalingMatchesTheWholePictureCall) {
    auto pool = std::make_shared<BandPool>(3);
    uint32_t seed = 100;
    for (const auto& g : kSizes) {
        PixelBuffer nv12(PixelFormat::NV12, g.sw, g.sh);
        randomFill(nv12, seed++);
        PixelBuffer expected(PixelFormat::I420, g.dw, g.dh);
        wholeNv12ToI420(nv12, expected);
        for (int bands : {1, 2, 3, 7, 64}) {
            PixelTransfer transfer(pool, bands);
            PixelBuffer got(PixelFormat::I420, g.dw, g.dh);
            // Twice: the second call reuses the layout and the scratch of the first.
            for (int pass = 0; pass < 2; ++pass) {
                ASSERT_TRUE(transfer.transfer(nv12, got));
                EXPECT_TRUE(samePicture(got, expected)) << g.sw << "x" << g.sh << " -> " << g.dw << "x"
                                                        << g.dh << " in " << bands << " bands, pass " << pass;
            }
        }
    }
}

TEST(BandedTransferTest, OneTransferGoesThroughManyGeometries) {
    // More geometries than it remembers layouts for, twice over.
    PixelTransfer transfer(std::make_shared<BandPool>(2), 3);
    for (int round = 0; round < 2; ++round) {
        for (const auto& g : kSizes) {
            PixelBuffer nv12(PixelFormat::NV12, g.sw, g.sh);
            randomFill(nv12, static_cast<uint32_t>(round * 1000 + g.sw));
            PixelBuffer expected(PixelFormat::I420, g.dw, g.dh);
            wholeNv12ToI420(nv12, expected);
            PixelBuffer got(PixelFormat::I420, g.dw, g.dh);
            ASSERT_TRUE(transfer.transfer(nv12, got));
            EXPECT_TRUE(samePicture(got, expected)) << g.sw << "x" << g.sh << " round " << round;
        }
    }
}

TEST(BandedTransferTest, ScreenSizesScaleInBandsWithTheWholePicturesBytes) {
    // The usual screens against their encoding sizes: the first splits, the second cannot, the last
    // three change one side only or halve both.
    const Geometry screens[] = {{2880, 1800, 1920, 1088},
                                {2560, 1600, 1920, 1080},
                                {1920, 1080, 1920, 1088},
                                {1920, 1200, 1920, 1088},
                                {3840, 2160, 1920, 1088}};
    auto pool = std::make_shared<BandPool>(3);
    PixelTransfer automatic(pool);
    uint32_t seed = 7;
    for (const auto& g : screens) {
        PixelBuffer nv12(PixelFormat::NV12, g.sw, g.sh);
        randomFill(nv12, seed++);
        PixelBuffer expected(PixelFormat::I420, g.dw, g.dh);
        wholeNv12ToI420(nv12, expected);
        PixelBuffer got(PixelFormat::I420, g.dw, g.dh);
        ASSERT_TRUE(automatic.transfer(nv12, got));
        EXPECT_TRUE(samePicture(got, expected)) << g.sw << "x" << g.sh;
    }
    const auto& luma = automatic.scaleBands(1, 2880, 1800, 1920, 1088, 8);
    ASSERT_EQ(luma.size(), 8u);
    int x = 0;
    for (const auto& band : luma) {
        // Columns side by side, each the full height, with source edges at 3/2 of the destination's.
        EXPECT_EQ(band.dst.x, x);
        EXPECT_EQ(band.dst.height, 1088);
        EXPECT_EQ(band.src.height, 1800);
        EXPECT_EQ(band.src.x * 2, band.dst.x * 3);
        EXPECT_EQ(band.src.width * 2, band.dst.width * 3);
        x += band.dst.width;
    }
    EXPECT_EQ(x, 1920);
    EXPECT_GT(automatic.scaleBands(2, 1440, 900, 960, 544, 4).size(), 1u);
    // 4/3 is not a whole number of pixels at any split: one band.
    EXPECT_EQ(automatic.scaleBands(1, 2560, 1600, 1920, 1080, 8).size(), 1u);
    EXPECT_EQ(automatic.scaleBands(1, 2880, 1800, 1920, 1088, 1).size(), 1u);
}

TEST(BandedTransferTest, SameSizeNv12ToI420MatchesTheWholePictureCall) {
    auto pool = std::make_shared<BandPool>(2);
    for (const auto& g : kSizes) {
        PixelBuffer nv12(PixelFormat::NV12, g.sw, g.sh);
        randomFill(nv12, static_cast<uint32_t>(g.sw * 31 + g.sh));
        PixelBuffer expected(PixelFormat::I420, g.sw, g.sh);
        wholeNv12ToI420(nv12, expected);
        for (int bands : {1, 4, 64}) {
            PixelTransfer transfer(pool, bands);
            PixelBuffer got(PixelFormat::I420, g.sw, g.sh);
            ASSERT_TRUE(transfer.transfer(nv12, got));
            EXPECT_TRUE(samePicture(got, expected)) << g.sw << "x" << g.sh << " in " << bands << " bands";
        }
    }
}

TEST(PartialConversionTest, APartGivesTheBytesOfTheWholePictureWithItAndOddPartsAreRefused) {
    const int w = 333, h = 201;  // odd right and bottom edges
    PixelBuffer before(PixelFormat::BGRA, w, h), after(PixelFormat::BGRA, w, h);
    randomFill(before, 1);
    randomFill(after, 2);
    // {x, y, width, height}: inside, at both odd edges, and refused (odd corner, odd size inside, too big).
    const int parts[][4] = {{34, 10, 96, 78}, {330, 198, 3, 3}, {1, 0, 8, 8}, {0, 0, 7, 8}, {0, 0, 8, 202}};
    for (const auto& [x, y, pw, ph] : parts) {
        const bool fits = x % 2 == 0 && (pw % 2 == 0 || x + pw == w) && y + ph <= h;
        PixelBuffer screen = before;  // the earlier picture with the part changed
        for (int row = y; fits && row < y + ph; ++row)
            std::memcpy(screen.plane(0) + row * screen.stride(0) + x * 4,
                        after.plane(0) + row * after.stride(0) + x * 4, size_t(pw) * 4);
        PixelBuffer expected(PixelFormat::NV12, w, h), got(PixelFormat::NV12, w, h);
        wholeFromBGRA(screen, expected);
        wholeFromBGRA(before, got);
        EXPECT_EQ(PixelTransfer::convertBGRAInto(after.plane(0) + y * after.stride(0) + x * 4,
                                                 after.stride(0), pw, ph, got, x, y),
                  fits);
        EXPECT_TRUE(samePicture(got, expected)) << x << "," << y << " " << pw << "x" << ph;
    }
}
