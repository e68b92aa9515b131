#include "platform/display/PixelTransfer.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>
#include <libyuv/scale_uv.h>

#include <optional>

namespace quill::platform::display {

namespace {
constexpr libyuv::FilterMode kFilter = libyuv::kFilterBilinear;

bool sameSize(const PixelBuffer& a, const PixelBuffer& b) {
    return a.width() == b.width() && a.height() == b.height();
}

int chroma(int v) {
    return (v + 1) / 2;
}
}  // namespace

bool PixelTransfer::transfer(const PixelBuffer& src, PixelBuffer& dst) {
    if (dst.format() == PixelFormat::BGRA) return false;
    if (src.format() == PixelFormat::BGRA) {
        return transferFromBGRA(src.plane(0), src.stride(0), src.width(), src.height(), dst);
    }
    const int sw = src.width(), sh = src.height(), dw = dst.width(), dh = dst.height();
    const int scw = chroma(sw), sch = chroma(sh), dcw = chroma(dw), dch = chroma(dh);

    if (src.format() == PixelFormat::NV12 && dst.format() == PixelFormat::I420) {
        if (sameSize(src, dst)) {
            return libyuv::NV12ToI420(src.plane(0), src.stride(0), src.plane(1), src.stride(1), dst.plane(0),
                                      dst.stride(0), dst.plane(1), dst.stride(1), dst.plane(2), dst.stride(2),
                                      dw, dh) == 0;
        }
        libyuv::ScalePlane(src.plane(0), src.stride(0), sw, sh, dst.plane(0), dst.stride(0), dw, dh, kFilter);
        const int uvStride = dcw * 2;
        scratch_.resize(static_cast<size_t>(uvStride) * dch);
        if (libyuv::UVScale(src.plane(1), src.stride(1), scw, sch, scratch_.data(), uvStride, dcw, dch,
                            kFilter) != 0)
            return false;
        libyuv::SplitUVPlane(scratch_.data(), uvStride, dst.plane(1), dst.stride(1), dst.plane(2),
                             dst.stride(2), dcw, dch);
        return true;
    }
    if (src.format() == PixelFormat::NV12 && dst.format() == PixelFormat::NV12) {
        return libyuv::NV12Scale(src.plane(0), src.stride(0), src.plane(1), src.stride(1), sw, sh,
                                 dst.plane(0), dst.stride(0), dst.plane(1), dst.stride(1), dw, dh,
                                 kFilter) == 0;
    }
    if (src.format() == PixelFormat::I420 && dst.format() == PixelFormat::I420) {
        return libyuv::I420Scale(src.plane(0), src.stride(0), src.plane(1), src.stride(1), src.plane(2),
                                 src.stride(2), sw, sh, dst.plane(0), dst.stride(0), dst.plane(1),
                                 dst.stride(1), dst.plane(2), dst.stride(2), dw, dh, kFilter) == 0;
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
    const uint8_t* from = bgra;
    int fromStride = rowBytes;
    if (width != dw || height != dh) {
        // Scale in BGRA first: the converters then see one picture of the destination size.
        fromStride = dw * 4;
        scratch2_.resize(static_cast<size_t>(fromStride) * dh);
        if (libyuv::ARGBScale(bgra, rowBytes, width, height, scratch2_.data(), fromStride, dw, dh, kFilter) !=
            0)
            return false;
        from = scratch2_.data();
    }
    switch (dst.format()) {
        case PixelFormat::NV12:
            return libyuv::ARGBToNV12(from, fromStride, dst.plane(0), dst.stride(0), dst.plane(1),
                                      dst.stride(1), dw, dh) == 0;
        case PixelFormat::I420:
            return libyuv::ARGBToI420(from, fromStride, dst.plane(0), dst.stride(0), dst.plane(1),
                                      dst.stride(1), dst.plane(2), dst.stride(2), dw, dh) == 0;
        case PixelFormat::BGRA:
            return libyuv::ARGBCopy(from, fromStride, dst.plane(0), dst.stride(0), dw, dh) == 0;
    }
    return false;
}

}  // namespace quill::platform::display
