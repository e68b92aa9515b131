#pragma once
// What the session benchmarks share for their GStreamer peer: the tail of the pipeline (conversion and
// scaling to I420 at the encoding size, x264enc with the system's x264 settings, the byte stream on
// standard output), a counter of the pictures in that byte stream, and the running pipeline.
//
// The pipeline's x264enc gets every setting of the system's encoder but one: its constant-bit-rate mode
// caps the rate at the average (4400 kbit/s) where the system allows 5280.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

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

// gst-launch-1.0 running args (a source, then gstX264Tail()) in env, its pictures counted as they come.
// Ends the pipeline when it goes.
class GstPipeline {
  public:
    GstPipeline(const std::vector<std::string>& args, const std::vector<std::string>& env,
                const std::string& errorLog) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            failure_ = "pipe failed";
            return;
        }
        pid_ = testing::spawnQuietly(args, &env, errorLog, fds[1]);
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            failure_ = "gst-launch-1.0 cannot be started (make bench installs it)";
            return;
        }
        out_ = fds[0];
        reader_ = std::thread([this] {
            uint8_t buf[1 << 16];
            for (;;) {
                const ssize_t n = read(out_, buf, sizeof buf);
                if (n <= 0) break;
                counter_.feed(buf, size_t(n));
            }
        });
        // Warming up: from its first picture on, 10 s at most.
        for (int i = 0; i < 1000 && counter_.slices() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (counter_.slices() == 0) failure_ = "the GStreamer pipeline gave no picture";
    }
    ~GstPipeline() {
        if (pid_ > 0) testing::endChildProcess(pid_);
        if (reader_.joinable()) reader_.join();
        if (out_ >= 0) close(out_);
    }
    GstPipeline(const GstPipeline&) = delete;
    GstPipeline& operator=(const GstPipeline&) = delete;

    // Empty once it gives pictures.
    const std::string& failure() const { return failure_; }
    pid_t pid() const { return pid_; }
    size_t pictures() const { return counter_.slices(); }

  private:
    std::string failure_;
    pid_t pid_ = -1;
    int out_ = -1;
    SliceCounter counter_;
    std::thread reader_;
};

}  // namespace quill::bench
