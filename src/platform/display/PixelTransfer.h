#pragma once
// Scaling and colour conversion between pictures. The whole source is scaled to the whole destination
// (the aspect ratio is not kept). Colour is BT.601 limited range throughout. Planes that shrink to no
// less than half on each side (a 2880 x 1800 screen to 1920 x 1088, say) are scaled by area averaging,
// where every source pixel counts with its share, so thin lines and text stay even; all others, and BGRA
// pictures, bilinearly (libyuv's area filter darkens flat colours by a step at larger reductions).
//
// Large pictures (from kMinBandedPixels on) are worked in bands side by side on a band pool; below that
// a band's hand-over and wake-up cost more CPU than the time it saves is worth. Every band gives exactly the
// bytes that one call over the whole picture gives: colour conversions are split at even rows (a chroma row
// belongs to one pair of luma rows), scaling into BGRA is clipped to the band's rows of the whole
// scaling, and plane scaling is split only where a band's source edge falls on a whole pixel of the
// whole scaling, with each such layout checked once against the whole call on a random picture (the
// scaler does not promise it; a layout that differs is never used).

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/display/BandPool.h"
#include "platform/display/PixelBuffer.h"

namespace quill::platform::display {

class PixelTransfer {
  public:
    // Bands run on pool; with none, on the caller. bands = 0 picks the number of bands from the picture
    // size and the pool's threads; a positive number asks for that many per step (fewer where the
    // picture cannot be split that finely).
    explicit PixelTransfer(std::shared_ptr<BandPool> pool = BandPool::shared(), int bands = 0);

    // Copies src into dst, scaling and converting. Supported: NV12 or I420 to NV12 or I420, and BGRA to
    // NV12 or I420. False for other pairs. NV12 to NV12 of the same width (rows stretched only) gives
    // the bytes that NV12 to I420 gives, with the chroma interleaved.
    bool transfer(const PixelBuffer& src, PixelBuffer& dst);

    // Converts a BGRA/BGRX picture in caller memory (width x height, rowBytes per row) into dst.
    bool transferFromBGRA(const uint8_t* bgra, int rowBytes, int width, int height, PixelBuffer& dst);

    // Converts a BGRA/BGRX picture (width x height, rowBytes per row) without scaling into the part of
    // an NV12 or I420 dst whose top left corner is (x, y), on the calling thread. The corner is even,
    // and so are the sizes unless the part reaches dst's right or bottom edge. The bytes are those that
    // converting a whole picture with this part in place gives. False for other formats, odd corners
    // or sizes, or a part that does not fit.
    static bool convertBGRAInto(const uint8_t* bgra, int rowBytes, int width, int height, PixelBuffer& dst,
                                int x, int y);

    // True when a plane scaling from sw x sh to dw x dh averages areas: each side keeps at least half
    // and grows on neither.
    static bool averagesAreas(int sw, int sh, int dw, int dh);

    // A rectangle of a plane, in pixels.
    struct Area {
        int x = 0, y = 0, width = 0, height = 0;
    };
    // One band of a plane scaling: this part of the source scales to this part of the destination.
    struct ScaleBand {
        Area src, dst;
    };
    // The bands a plane scaling of bytesPerPixel (1: a luma plane, 2: an interleaved chroma plane) from
    // sw x sh to dw x dh is split into when up to `wanted` are asked for; one band covering everything
    // when no split gives the whole scaling's bytes. The reference stays valid until the next transfer.
    const std::vector<ScaleBand>& scaleBands(int bytesPerPixel, int sw, int sh, int dw, int dh, int wanted);

    // Pictures of fewer pixels than this (the larger of source and destination) are worked in one band
    // when the number of bands is left to the transfer. Measured on this kind of machine: at 1920 x 1080
    // and 2880 x 1800 a whole BGRA conversion takes 1 to 2 ms of one thread, and banding it costs 5 to
    // 10 % more CPU; scaling 1920 x 1080 to 1920 x 1088 in bands costs four times the CPU of one call,
    // and 2880 x 1800 to 1920 x 1088 (3.6 ms in one call) 30 % more. From about 4K on a single call
    // would take a noticeable share of a frame's time.
    static constexpr int64_t kMinBandedPixels = 6'000'000;

  private:
    struct ScalePlan {
        int bytesPerPixel, sw, sh, dw, dh, wanted;
        std::vector<ScaleBand> bands;
    };
    int bandsFor(int width, int height, int perThread, int64_t pictureMax = 0) const;
    template <class F>
    // On the pool when there is one and spread is true; else one after the other on the caller.
    void runBands(int count, F&& band, bool spread = true);

    std::shared_ptr<BandPool> pool_;
    int bands_;
    // Layouts of the geometries seen lately. Added at the back, which keeps references to the others
    // valid, and trimmed only at the start of a transfer.
    std::deque<ScalePlan> plans_;
    // Scratch for the intermediate steps, kept between calls to avoid reallocations: the source's Cb
    // and Cr planes apart, and a scaled BGRA picture.
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> scratch2_;
};

}  // namespace quill::platform::display
