#pragma once
// Planar pictures in memory and a bounded pool of them. A picture taken from a pool goes back to it only
// when its last holder lets go, so a frame that an encoder or a later repeat still reads is never
// overwritten by a newer capture.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quill::platform::display {

enum class PixelFormat {
    NV12,  // 8-bit 4:2:0, Y plane then interleaved CbCr plane, video range
    I420,  // 8-bit 4:2:0, Y, Cb and Cr planes
    BGRA,  // 8-bit per channel, B G R A in memory (one plane)
};

class PixelBuffer {
  public:
    PixelBuffer(PixelFormat format, int width, int height);

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int planeCount() const { return planeCount_; }
    uint8_t* plane(int i) { return storage_.data() + offset_[i]; }
    const uint8_t* plane(int i) const { return storage_.data() + offset_[i]; }
    int stride(int i) const { return stride_[i]; }
    int planeHeight(int i) const { return planeHeight_[i]; }
    // Bytes of picture data in one row of a plane (without padding).
    int planeRowBytes(int i) const { return rowBytes_[i]; }

    // Fills the picture with one colour given as Y, Cb, Cr (for BGRA: B, G, R with alpha 255).
    void fill(uint8_t a, uint8_t b, uint8_t c);

  private:
    PixelFormat format_;
    int width_;
    int height_;
    int planeCount_ = 0;
    size_t offset_[3] = {};
    int stride_[3] = {};
    int planeHeight_[3] = {};
    int rowBytes_[3] = {};
    std::vector<uint8_t> storage_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// At most `capacity` pictures of one format and size exist at a time. get() hands out a free one (made
// on first use) or null when every picture is held by someone.
class PixelBufferPool {
  public:
    static std::shared_ptr<PixelBufferPool> create(PixelFormat format, int width, int height,
                                                   size_t capacity);
    ~PixelBufferPool();

    PixelBufferRef get();

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    size_t capacity() const { return capacity_; }
    // Pictures currently held outside the pool.
    size_t inUse() const;

  private:
    struct State;
    PixelBufferPool(PixelFormat format, int width, int height, size_t capacity);

    PixelFormat format_;
    int width_;
    int height_;
    size_t capacity_;
    std::shared_ptr<State> state_;
};

}  // namespace quill::platform::display
