#pragma once
// What the session benchmarks share for their GStreamer peer: the tail of the pipeline (conversion and
// scaling to I420 at the encoding size, x264enc with the system's x264 settings, the byte stream on
// standard output), and a counter of the pictures in that byte stream.
//
// The pipeline's x264enc gets every setting of the system's encoder but one: its constant-bit-rate mode
// caps the rate at the average (4400 kbit/s) where the system allows 5280.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quill::bench {

// "! videoconvert ! videoscale ! ... ! x264enc ... ! fdsink fd=1", to follow a source element.
inline std::vector<std::string> gstX264Tail(uint32_t width, uint32_t height) {
    const std::string x264 =
        "ref=1:bframes=0:no-cabac:no-deblock:no-8x8dct:me=dia:subme=0:trellis=0:aq-mode=0:no-mbtree:"
        "rc-lookahead=0:sync-lookahead=0:partitions=none:weightp=0:no-mixed-refs:scenecut=0:keyint=2000:"
        "vbv-maxrate=5280:vbv-bufsize=5280";
    return {
        "!", "videoconvert", "!", "videoscale", "!",
        "video/x-raw,format=I420,width=" + std::to_string(width) + ",height=" + std::to_string(height), "!",
        // The properties override the option string: every one of them is set to the system's value.
        "x264enc", "speed-preset=ultrafast", "threads=1", "pass=cbr", "bitrate=4400", "vbv-buf-capacity=1200",
        "ref=1", "bframes=0", "cabac=false", "dct8x8=false", "me=dia", "trellis=false", "mb-tree=false",
        "rc-lookahead=0", "sync-lookahead=0", "key-int-max=2000", "analyse=0", "option-string=" + x264, "!",
        "video/x-h264,stream-format=byte-stream", "!", "fdsink", "fd=1"};
}

// Counts the pictures of an H.264 byte stream as it flows by: slices of nal_unit_type 1 and 5 (the
// encoders here write one slice a picture).
class SliceCounter {
  public:
    void feed(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            if (zeros_ >= 2 && b == 1) {
                afterStartCode_ = true;
            } else if (afterStartCode_) {
                const int type = b & 0x1f;
                if (type == 1 || type == 5) ++slices_;
                afterStartCode_ = false;
            }
            zeros_ = b == 0 ? zeros_ + 1 : 0;
        }
    }
    size_t slices() const { return slices_; }

  private:
    int zeros_ = 0;
    bool afterStartCode_ = false;
    std::atomic<size_t> slices_{0};
};

}  // namespace quill::bench
