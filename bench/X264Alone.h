#pragma once
// What the benchmarks compare the system against: x264 alone, with the system's own settings, encoding
// pictures that were converted and scaled beforehand, in a loop of its own.

#include <benchmark/benchmark.h>
#include <time.h>

#include <vector>

#include "media/SWSoftwareEncoder.h"
#include "platform/display/PixelBuffer.h"

namespace quill::bench {

inline double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Encodes the I420 pictures round and round, one a benchmark iteration, with the parameters the
// system's encoder sets up for them at its first picture. Returns the calling thread's CPU seconds per
// picture.
inline double encodeWithX264Alone(benchmark::State& state,
                                  const std::vector<platform::display::PixelBuffer>& pictures) {
    SWSoftwareEncoder settings;
    std::vector<std::span<const uint8_t>> nals;
    settings.encodeFrame(pictures.front(), 0, false, nals);
    x264_param_t param = settings.x264Param();
    x264_t* x264 = x264_encoder_open(&param);
    x264_picture_t in, out;
    x264_nal_t* nal = nullptr;
    int count = 0;
    int64_t pts = 0;
    const double cpuStart = threadCpuSeconds();
    for (auto _ : state) {
        const platform::display::PixelBuffer& pic = pictures[size_t(pts) % pictures.size()];
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_I420;
        in.img.i_plane = 3;
        for (int i = 0; i < 3; ++i) {
            in.img.plane[i] = const_cast<uint8_t*>(pic.plane(i));
            in.img.i_stride[i] = pic.stride(i);
        }
        in.i_pts = pts++;
        benchmark::DoNotOptimize(x264_encoder_encode(x264, &nal, &count, &in, &out));
    }
    const double perPicture = (threadCpuSeconds() - cpuStart) / double(state.iterations());
    x264_encoder_close(x264);
    return perPicture;
}

}  // namespace quill::bench
