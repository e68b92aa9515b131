#include "platform/display/PixelTransfer.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <optional>

namespace quill::platform::display {

namespace {
constexpr libyuv::FilterMode kFilter = libyuv::kFilterBilinear;
// Below this many destination pixels a band costs more to hand out than it saves.
constexpr int kMinBandPixels = 128 * 1024;
// Row bands cost next to nothing each: twice as many as threads, so that a thread held up elsewhere
// leaves less undone. A column band of a scaling costs a little per row, so those are one a thread.
constexpr int kRowBandsPerThread = 2;
// Layouts remembered; a stream sees one or two geometries.
constexpr size_t kMaxPlans = 8;

bool sameSize(const PixelBuffer& a, const PixelBuffer& b) {
    return a.width() == b.width() && a.height() == b.height();
}

int chroma(int v) {
    return (v + 1) / 2;
}

// Rows [first, end) of band i when rows are split into count bands that start on even rows.
void rowBand(int rows, int count, int i, int& first, int& end) {
    const int pairs = (rows + 1) / 2;
    first = std::min(rows, 2 * (pairs * i / count));
    end = std::min(rows, 2 * (pairs * (i + 1) / count));
}

int rowBandCount(int rows, int wanted) {
    return std::clamp(wanted, 1, (rows + 1) / 2);
}

// The filter of a plane scaling from sw x sh to dw x dh (of the whole picture, also for its bands).
libyuv::FilterMode planeFilter(int sw, int sh, int dw, int dh) {
    return PixelTransfer::averagesAreas(sw, sh, dw, dh) ? libyuv::kFilterBox : kFilter;
}

bool scalePlaneArea(int bytesPerPixel, libyuv::FilterMode filter, const uint8_t* src, int srcStride,
                    const PixelTransfer::Area& s, uint8_t* dst, int dstStride, const PixelTransfer::Area& d) {
    const uint8_t* from = src + static_cast<ptrdiff_t>(s.y) * srcStride + s.x * bytesPerPixel;
    uint8_t* to = dst + static_cast<ptrdiff_t>(d.y) * dstStride + d.x * bytesPerPixel;
    if (bytesPerPixel == 1) {
        libyuv::ScalePlane(from, srcStride, s.width, s.height, to, dstStride, d.width, d.height, filter);
        return true;
    }
    return libyuv::UVScale(from, srcStride, s.width, s.height, to, dstStride, d.width, d.height, filter) == 0;
}

// Splits one side into up to `wanted` bands whose edges are whole pixels on both sides: destination
// edges at multiples of dst / gcd(src, dst), so that src * edge / dst is exact.
std::vector<std::pair<int, int>> exactCuts(int src, int dst, int wanted) {
    const int unit = dst / std::gcd(src, dst);
    const int units = dst / unit;
    const int count = std::min(wanted, units);
    std::vector<std::pair<int, int>> cuts;  // (destination edge, source edge), count + 1 of them
    for (int k = 0; k <= count; ++k) {
        const int d = static_cast<int>(static_cast<int64_t>(units) * k / count) * unit;
        cuts.emplace_back(d, static_cast<int>(static_cast<int64_t>(d) * src / dst));
    }
    return cuts;
}

std::vector<PixelTransfer::ScaleBand> layout(bool columns, int sw, int sh, int dw, int dh, int wanted) {
    std::vector<PixelTransfer::ScaleBand> bands;
    const auto cuts = columns ? exactCuts(sw, dw, wanted) : exactCuts(sh, dh, wanted);
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        const auto [d0, s0] = cuts[k];
        const auto [d1, s1] = cuts[k + 1];
        if (columns) {
            bands.push_back({{s0, 0, s1 - s0, sh}, {d0, 0, d1 - d0, dh}});
        } else {
            bands.push_back({{0, s0, sw, s1 - s0}, {0, d0, dw, d1 - d0}});
        }
    }
    return bands;
}

// True when scaling band by band gives the bytes of the whole scaling, tried on a random picture.
bool sameAsWhole(int bpp, int sw, int sh, int dw, int dh,
                 const std::vector<PixelTransfer::ScaleBand>& bands) {
    const int srcStride = sw * bpp, dstStride = dw * bpp;
    std::vector<uint8_t> src(static_cast<size_t>(srcStride) * sh);
    uint32_t seed = 0x9e3779b9u;
    for (auto& b : src) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    std::vector<uint8_t> whole(static_cast<size_t>(dstStride) * dh, 0);
    std::vector<uint8_t> banded(whole.size(), 0x5a);
    const auto filter = planeFilter(sw, sh, dw, dh);
    if (!scalePlaneArea(bpp, filter, src.data(), srcStride, {0, 0, sw, sh}, whole.data(), dstStride,
                        {0, 0, dw, dh}))
        return false;
    for (const auto& band : bands)
        if (!scalePlaneArea(bpp, filter, src.data(), srcStride, band.src, banded.data(), dstStride, band.dst))
            return false;
    return whole == banded;
}
}  // namespace

bool PixelTransfer::averagesAreas(int sw, int sh, int dw, int dh) {
    return dw <= sw && sw <= 2 * dw && dh <= sh && sh <= 2 * dh;
}

PixelTransfer::PixelTransfer(std::shared_ptr<BandPool> pool, int bands)
    : pool_(std::move(pool)), bands_(std::max(0, bands)) {}

int PixelTransfer::bandsFor(int width, int height, int perThread, int64_t pictureMax) const {
    if (bands_ > 0) return bands_;
    if (!pool_ || pool_->workers() == 0) return 1;
    const int threads = static_cast<int>(pool_->workers()) + 1;
    const int64_t pixels = static_cast<int64_t>(width) * height;
    if (std::max(pixels, pictureMax) < kMinBandedPixels) return 1;
    return static_cast<int>(std::clamp<int64_t>(pixels / kMinBandPixels, 1, perThread * threads));
}

template <class F>
void PixelTransfer::runBands(int count, F&& band, bool spread) {
    if (pool_ && spread) {
        pool_->run(count, band);
    } else {
        for (int i = 0; i < count; ++i)
            band(i);
    }
}

const std::vector<PixelTransfer::ScaleBand>& PixelTransfer::scaleBands(int bpp, int sw, int sh, int dw,
                                                                       int dh, int wanted) {
    for (const auto& plan : plans_)
        if (plan.bytesPerPixel == bpp && plan.sw == sw && plan.sh == sh && plan.dw == dw && plan.dh == dh &&
            plan.wanted == wanted)
            return plan.bands;
    std::vector<ScaleBand> bands;
    if (wanted > 1 && sw > 0 && sh > 0 && dw > 0 && dh > 0) {
        for (bool columns : {true, false}) {
            auto candidate = layout(columns, sw, sh, dw, dh, wanted);
            if (candidate.size() > 1 && sameAsWhole(bpp, sw, sh, dw, dh, candidate)) {
                bands = std::move(candidate);
                break;
            }
        }
    }
    if (bands.empty()) bands.push_back({{0, 0, sw, sh}, {0, 0, dw, dh}});
    plans_.push_back({bpp, sw, sh, dw, dh, wanted, std::move(bands)});
    return plans_.back().bands;
}

bool PixelTransfer::transfer(const PixelBuffer& src, PixelBuffer& dst) {
    if (dst.format() == PixelFormat::BGRA) return false;
    if (src.format() == PixelFormat::BGRA) {
        return transferFromBGRA(src.plane(0), src.stride(0), src.width(), src.height(), dst);
    }
    const int sw = src.width(), sh = src.height(), dw = dst.width(), dh = dst.height();
    const int scw = chroma(sw), sch = chroma(sh), dcw = chroma(dw), dch = chroma(dh);
    const int64_t picture = std::max(static_cast<int64_t>(sw) * sh, static_cast<int64_t>(dw) * dh);
    while (plans_.size() > kMaxPlans)
        plans_.pop_front();

    if (src.format() == PixelFormat::NV12 && dst.format() == PixelFormat::I420) {
        if (sameSize(src, dst)) {
            const int count = rowBandCount(dh, bandsFor(dw, dh, kRowBandsPerThread, picture));
            std::atomic<bool> ok{true};
            runBands(count, [&](int i) {
                int y0, y1;
                rowBand(dh, count, i, y0, y1);
                if (y1 <= y0) return;
                if (libyuv::NV12ToI420(src.plane(0) + y0 * src.stride(0), src.stride(0),
                                       src.plane(1) + y0 / 2 * src.stride(1), src.stride(1),
                                       dst.plane(0) + y0 * dst.stride(0), dst.stride(0),
                                       dst.plane(1) + y0 / 2 * dst.stride(1), dst.stride(1),
                                       dst.plane(2) + y0 / 2 * dst.stride(2), dst.stride(2), dw,
                                       y1 - y0) != 0)
                    ok = false;
            });
            return ok;
        }
        // Cb and Cr are split apart at the source size first (in row bands), so that all three planes
        // then scale straight into the destination, in bands side by side. (libyuv's scaling of the
        // interleaved plane shifts even a flat chroma by a step or two.)
        const int cbcrBytes = scw * sch;
        scratch_.resize(static_cast<size_t>(cbcrBytes) * 2);
        uint8_t* const cb = scratch_.data();
        uint8_t* const cr = cb + cbcrBytes;
        const int splits = rowBandCount(sch, bandsFor(scw, sch, kRowBandsPerThread, picture));
        runBands(splits, [&](int i) {
            int y0, y1;
            rowBand(sch, splits, i, y0, y1);
            if (y1 <= y0) return;
            const ptrdiff_t offset = static_cast<ptrdiff_t>(y0) * scw;
            libyuv::SplitUVPlane(src.plane(1) + static_cast<ptrdiff_t>(y0) * src.stride(1), src.stride(1),
                                 cb + offset, scw, cr + offset, scw, scw, y1 - y0);
        });
        const auto lumaFilter = planeFilter(sw, sh, dw, dh);
        const auto chromaFilter = planeFilter(scw, sch, dcw, dch);
        const auto& luma = scaleBands(1, sw, sh, dw, dh, bandsFor(dw, dh, 1, picture));
        const auto& chromaBands = scaleBands(1, scw, sch, dcw, dch, bandsFor(dcw, dch, 1, picture));
        const int lumaCount = static_cast<int>(luma.size());
        const int chromaCount = static_cast<int>(chromaBands.size());
        // The three planes go side by side only where the picture is banded at all.
        const bool spread = bands_ > 0 || picture >= kMinBandedPixels;
        runBands(
            lumaCount + 2 * chromaCount,
            [&](int i) {
                if (i < lumaCount) {
                    const ScaleBand& b = luma[i];
                    scalePlaneArea(1, lumaFilter, src.plane(0), src.stride(0), b.src, dst.plane(0),
                                   dst.stride(0), b.dst);
                    return;
                }
                i -= lumaCount;
                const int p = 1 + i / chromaCount;
                const ScaleBand& b = chromaBands[i % chromaCount];
                scalePlaneArea(1, chromaFilter, p == 1 ? cb : cr, scw, b.src, dst.plane(p), dst.stride(p),
                               b.dst);
            },
            spread);
        return true;
    }
    if (src.format() == PixelFormat::NV12 && dst.format() == PixelFormat::NV12) {
        if (sw == dw) {
            // Rows only: every byte is interpolated between two source rows of its own column, so the
            // interleaved chroma plane scales as one plane, giving the bytes of its split planes scaled
            // one by one. One pass, on the caller (the planes are small next to a frame's time).
            libyuv::ScalePlane(src.plane(0), src.stride(0), sw, sh, dst.plane(0), dst.stride(0), dw, dh,
                               planeFilter(sw, sh, dw, dh));
            libyuv::ScalePlane(src.plane(1), src.stride(1), 2 * scw, sch, dst.plane(1), dst.stride(1),
                               2 * dcw, dch, planeFilter(scw, sch, dcw, dch));
            return true;
        }
        return libyuv::NV12Scale(src.plane(0), src.stride(0), src.plane(1), src.stride(1), sw, sh,
                                 dst.plane(0), dst.stride(0), dst.plane(1), dst.stride(1), dw, dh,
                                 planeFilter(sw, sh, dw, dh)) == 0;
    }
    if (src.format() == PixelFormat::I420 && dst.format() == PixelFormat::I420) {
        return libyuv::I420Scale(src.plane(0), src.stride(0), src.plane(1), src.stride(1), src.plane(2),
                                 src.stride(2), sw, sh, dst.plane(0), dst.stride(0), dst.plane(1),
                                 dst.stride(1), dst.plane(2), dst.stride(2), dw, dh,
                                 planeFilter(sw, sh, dw, dh)) == 0;
    }
    if (src.format() == PixelFormat::I420 && dst.format() == PixelFormat::NV12) {
        const PixelBuffer* from = &src;
        std::optional<PixelBuffer> scaled;
        if (!sameSize(src, dst)) {
            scaled.emplace(PixelFormat::I420, dw, dh);
            if (!transfer(src, *scaled)) return false;
            from = &*scaled;
        }
        return libyuv::I420ToNV12(from->plane(0), from->stride(0), from->plane(1), from->stride(1),
                                  from->plane(2), from->stride(2), dst.plane(0), dst.stride(0), dst.plane(1),
                                  dst.stride(1), dw, dh) == 0;
    }
    return false;
}

bool PixelTransfer::transferFromBGRA(const uint8_t* bgra, int rowBytes, int width, int height,
                                     PixelBuffer& dst) {
    if (!bgra || width <= 0 || height <= 0 || rowBytes < width * 4) return false;
    const int dw = dst.width(), dh = dst.height();
    const bool scale = width != dw || height != dh;
    const uint8_t* from = bgra;
    int fromStride = rowBytes;
    if (scale) {
        // Scale in BGRA first: the converters then see one picture of the destination size.
        fromStride = dw * 4;
        scratch2_.resize(static_cast<size_t>(fromStride) * dh);
        from = scratch2_.data();
    }
    const int count =
        rowBandCount(dh, bandsFor(dw, dh, kRowBandsPerThread, static_cast<int64_t>(width) * height));
    std::atomic<bool> ok{true};
    runBands(count, [&](int i) {
        int y0, y1;
        rowBand(dh, count, i, y0, y1);
        const int rows = y1 - y0;
        if (rows <= 0) return;
        if (scale) {
            // Each band takes its rows of the whole scaling.
            const int failed = count == 1
                                   ? libyuv::ARGBScale(bgra, rowBytes, width, height, scratch2_.data(),
                                                       fromStride, dw, dh, kFilter)
                                   : libyuv::ARGBScaleClip(bgra, rowBytes, width, height, scratch2_.data(),
                                                           fromStride, dw, dh, 0, y0, dw, rows, kFilter);
            if (failed != 0) {
                ok = false;
                return;
            }
        }
        const uint8_t* in = from + static_cast<ptrdiff_t>(y0) * fromStride;
        uint8_t* y = dst.plane(0) + static_cast<ptrdiff_t>(y0) * dst.stride(0);
        int result = -1;
        switch (dst.format()) {
            case PixelFormat::NV12:
                result = libyuv::ARGBToNV12(in, fromStride, y, dst.stride(0),
                                            dst.plane(1) + static_cast<ptrdiff_t>(y0 / 2) * dst.stride(1),
                                            dst.stride(1), dw, rows);
                break;
            case PixelFormat::I420:
                result = libyuv::ARGBToI420(
                    in, fromStride, y, dst.stride(0),
                    dst.plane(1) + static_cast<ptrdiff_t>(y0 / 2) * dst.stride(1), dst.stride(1),
                    dst.plane(2) + static_cast<ptrdiff_t>(y0 / 2) * dst.stride(2), dst.stride(2), dw, rows);
                break;
            case PixelFormat::BGRA:
                result = libyuv::ARGBCopy(in, fromStride, y, dst.stride(0), dw, rows);
                break;
        }
        if (result != 0) ok = false;
    });
    return ok;
}

bool PixelTransfer::convertBGRAInto(const uint8_t* bgra, int rowBytes, int width, int height,
                                    PixelBuffer& dst, int x, int y) {
    // Every 2 x 2 block of the chroma lies wholly inside the part or wholly outside it.
    if (!bgra || width <= 0 || height <= 0 || rowBytes < width * 4 || x < 0 || y < 0 || (x % 2) || (y % 2) ||
        x + width > dst.width() || y + height > dst.height() || ((width % 2) && x + width != dst.width()) ||
        ((height % 2) && y + height != dst.height()))
        return false;
    uint8_t* luma = dst.plane(0) + static_cast<ptrdiff_t>(y) * dst.stride(0) + x;
    const ptrdiff_t chromaRow = static_cast<ptrdiff_t>(y / 2);
    switch (dst.format()) {
        case PixelFormat::NV12:
            return libyuv::ARGBToNV12(bgra, rowBytes, luma, dst.stride(0),
                                      dst.plane(1) + chromaRow * dst.stride(1) + x, dst.stride(1), width,
                                      height) == 0;
        case PixelFormat::I420:
            return libyuv::ARGBToI420(bgra, rowBytes, luma, dst.stride(0),
                                      dst.plane(1) + chromaRow * dst.stride(1) + x / 2, dst.stride(1),
                                      dst.plane(2) + chromaRow * dst.stride(2) + x / 2, dst.stride(2), width,
                                      height) == 0;
        case PixelFormat::BGRA:
            break;
    }
    return false;
}

}  // namespace quill::platform::display
