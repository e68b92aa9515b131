// Frames per second of the screen path for a 2880 x 1800 source: capture conversion (BGRX to NV12),
// scaling to the encoding size, x264 with the system's settings and packing, beside x264 alone on
// frames converted beforehand. The ratio of the two is the cost of conversion and packing.
// The whole path runs twice: serially on one thread (every stage's cost in a row), and pipelined as the
// system runs it, the capture conversion on a thread of its own handing pool pictures over a raw video
// queue to the encoder thread, which scales, encodes and packs the previous frame meanwhile; its frame
// rate is the system's throughput. With pass_sleep_ms:10 the encoder thread also pauses 10 ms before
// each take, as the system's encoder thread does.
// The two conversion steps also run on their own at screen sizes from 1920 x 1080 to 2880 x 1800, in
// bands as the system runs them (banded:1) and as one call over the whole picture on the calling thread
// (banded:0).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "X264Alone.h"
#include "media/MediaPacket.h"
#include "media/SWBaseEncoder.h"
#include "media/SWMediaHandler.h"
#include "media/SWSoftwareEncoder.h"
#include "platform/display/PixelTransfer.h"

using namespace quill;
using namespace quill::platform::display;

namespace {

constexpr int kSrcW = 2880, kSrcH = 1800;
constexpr int kFrames = 16;

// Screens in BGRX: a gradient with a block that moves from picture to picture.
const std::vector<std::vector<uint8_t>>& screens() {
    static const auto all = [] {
        std::vector<std::vector<uint8_t>> out(kFrames, std::vector<uint8_t>(size_t(kSrcW) * kSrcH * 4));
        for (int f = 0; f < kFrames; ++f) {
            auto& s = out[f];
            for (int y = 0; y < kSrcH; ++y)
                for (int x = 0; x < kSrcW; ++x) {
                    uint8_t* p = &s[(size_t(y) * kSrcW + x) * 4];
                    p[0] = uint8_t(x * 255 / kSrcW);
                    p[1] = uint8_t(y * 255 / kSrcH);
                    p[2] = uint8_t((x + y + f * 8) & 0xff);
                    p[3] = 255;
                }
            for (int y = 200 + f * 20; y < 500 + f * 20; ++y)
                for (int x = 300 + f * 40; x < 700 + f * 40; ++x)
                    std::memset(&s[(size_t(y) * kSrcW + x) * 4], 255, 4);
        }
        return out;
    }();
    return all;
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

using quill::bench::threadCpuSeconds;

void BM_WholePath(benchmark::State& state) {
    const auto& src = screens();
    PixelTransfer capture;
    SWSoftwareEncoder encoder;
    PixelBuffer nv12(PixelFormat::NV12, kSrcW, kSrcH);
    std::vector<std::span<const uint8_t>> nals;
    uint32_t ts = 0;
    size_t bytes = 0;
    // Where the time goes: capture conversion, then scaling with x264, then packing (wall clock), and
    // the CPU time of the thread that runs the path.
    double captureSeconds = 0, encodeSeconds = 0, packSeconds = 0, scaleSeconds = 0, x264Seconds = 0;
    const double threadCpuStart = threadCpuSeconds();
    for (auto _ : state) {
        const auto& screen = src[ts / 40 % kFrames];
        const auto t0 = Clock::now();
        capture.transferFromBGRA(screen.data(), kSrcW * 4, kSrcW, kSrcH, nv12);
        const auto t1 = Clock::now();
        encoder.encodeFrame(nv12, ts, false, nals);
        const auto t2 = Clock::now();
        for (auto nal : nals) {
            MediaPacket p = MediaPacket::video(ts, nal);
            bytes += p.wireLength();
            benchmark::DoNotOptimize(p);
        }
        const auto t3 = Clock::now();
        captureSeconds += seconds(t1 - t0);
        encodeSeconds += seconds(t2 - t1);
        packSeconds += seconds(t3 - t2);
        const SWSoftwareEncoder::FrameStat stat = encoder.statArray().back();
        scaleSeconds += stat.covertTime;
        x264Seconds += stat.encodeTime;
        ts += 40;
    }
    const double frames = double(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["kbit_per_frame"] = double(bytes) * 8 / 1000 / frames;
    state.counters["capture_ms"] = captureSeconds * 1000 / frames;
    state.counters["scale_x264_ms"] = encodeSeconds * 1000 / frames;
    state.counters["scale_ms"] = scaleSeconds * 1000 / frames;
    state.counters["x264_ms"] = x264Seconds * 1000 / frames;
    state.counters["pack_ms"] = packSeconds * 1000 / frames;
    state.counters["caller_cpu_ms"] = (threadCpuSeconds() - threadCpuStart) * 1000 / frames;
    state.counters["scale_pack_share"] =
        (scaleSeconds + packSeconds) / (scaleSeconds + x264Seconds + packSeconds);
    state.SetLabel(std::to_string(encoder.dstWidth()) + "x" + std::to_string(encoder.dstHeight()));
}

void BM_WholePathPipelined(benchmark::State& state) {
    const auto& src = screens();
    const auto passSleep = std::chrono::milliseconds(state.range(0));
    // The display stream's pool (its queue depth) and the raw video queue between the two stages.
    constexpr size_t kStreamDepth = 5;
    auto pictures = PixelBufferPool::create(PixelFormat::NV12, kSrcW, kSrcH, kStreamDepth);
    auto queue = RawVideoQueue::create(SWMediaHandler::kQueueCapacity);
    std::atomic<bool> stopping{false};
    // Written by the capture thread, read after it has been joined.
    double captureSeconds = 0, captureCpuSeconds = 0;
    int64_t captured = 0;
    std::thread capture([&] {
        PixelTransfer transfer;
        const double cpuStart = threadCpuSeconds();
        uint32_t ts = 0;
        while (!stopping.load()) {
            PixelBufferRef picture = pictures->get();
            if (!picture) {
                // Every picture is queued or being encoded; the display stream would skip this frame.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            const auto t0 = Clock::now();
            transfer.transferFromBGRA(src[ts / 40 % kFrames].data(), kSrcW * 4, kSrcW, kSrcH, *picture);
            captureSeconds += seconds(Clock::now() - t0);
            ++captured;
            RawVideoFrame frame{std::move(picture), ts, false};
            ts += 40;
            // Waits for room rather than dropping, so that the encoder never starves.
            while (!stopping.load() && !queue->put(std::move(frame), 0.02)) {
            }
        }
        captureCpuSeconds = threadCpuSeconds() - cpuStart;
    });

    SWSoftwareEncoder encoder;
    std::vector<std::span<const uint8_t>> nals;
    size_t bytes = 0;
    double scaleSeconds = 0, x264Seconds = 0, packSeconds = 0;
    const double threadCpuStart = threadCpuSeconds();
    for (auto _ : state) {
        if (passSleep.count() > 0) std::this_thread::sleep_for(passSleep);
        std::optional<RawVideoFrame> frame = queue->take();
        if (!frame) break;
        encoder.encodeFrame(*frame->buffer, frame->timestamp, frame->keyframe, nals);
        const auto t0 = Clock::now();
        for (auto nal : nals) {
            MediaPacket p = MediaPacket::video(frame->timestamp, nal);
            bytes += p.wireLength();
            benchmark::DoNotOptimize(p);
        }
        packSeconds += seconds(Clock::now() - t0);
        const SWSoftwareEncoder::FrameStat stat = encoder.statArray().back();
        scaleSeconds += stat.covertTime;
        x264Seconds += stat.encodeTime;
    }
    const double encoderCpuSeconds = threadCpuSeconds() - threadCpuStart;
    stopping.store(true);
    queue->stopBlocking();
    capture.join();

    const double frames = double(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["kbit_per_frame"] = double(bytes) * 8 / 1000 / frames;
    state.counters["capture_ms"] = captureSeconds * 1000 / double(std::max<int64_t>(captured, 1));
    state.counters["capture_thread_cpu_ms"] =
        captureCpuSeconds * 1000 / double(std::max<int64_t>(captured, 1));
    state.counters["scale_ms"] = scaleSeconds * 1000 / frames;
    state.counters["x264_ms"] = x264Seconds * 1000 / frames;
    state.counters["pack_ms"] = packSeconds * 1000 / frames;
    state.counters["encoder_thread_cpu_ms"] = encoderCpuSeconds * 1000 / frames;
    // The share of the encoder thread's working time (pauses aside) that is not x264.
    state.counters["scale_pack_share"] =
        (scaleSeconds + packSeconds) / (scaleSeconds + x264Seconds + packSeconds);
    state.SetLabel(std::to_string(encoder.dstWidth()) + "x" + std::to_string(encoder.dstHeight()));
}

void BM_X264Only(benchmark::State& state) {
    const auto& src = screens();
    // Same pictures, converted and scaled beforehand.
    const auto [w, h] = SWSoftwareEncoder::encodingSize(kSrcW, kSrcH);
    PixelTransfer transfer;
    std::vector<PixelBuffer> pictures;
    for (const auto& screen : src) {
        pictures.emplace_back(PixelFormat::I420, int(w), int(h));
        transfer.transferFromBGRA(screen.data(), kSrcW * 4, kSrcW, kSrcH, pictures.back());
    }
    state.counters["caller_cpu_ms"] = quill::bench::encodeWithX264Alone(state, pictures) * 1000;
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h));
}

// The two conversion steps of the whole path on their own.
std::shared_ptr<BandPool> poolFor(const benchmark::State& state) {
    return state.range(0) ? BandPool::shared() : nullptr;
}

// Args: banded, then the screen's width and height (a part of the test screens).
void BM_CaptureConversion(benchmark::State& state) {
    const auto& src = screens();
    const int w = int(state.range(1)), h = int(state.range(2));
    PixelTransfer capture(poolFor(state));
    PixelBuffer nv12(PixelFormat::NV12, w, h);
    size_t i = 0;
    for (auto _ : state)
        capture.transferFromBGRA(src[i++ % kFrames].data(), kSrcW * 4, w, h, nv12);
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_EncoderScaling(benchmark::State& state) {
    const int w = int(state.range(1)), h = int(state.range(2));
    PixelTransfer capture, scale(poolFor(state));
    PixelBuffer nv12(PixelFormat::NV12, w, h);
    capture.transferFromBGRA(screens()[0].data(), kSrcW * 4, w, h, nv12);
    const auto [ew, eh] = SWSoftwareEncoder::encodingSize(uint32_t(w), uint32_t(h));
    PixelBuffer i420(PixelFormat::I420, int(ew), int(eh));
    for (auto _ : state)
        scale.transfer(nv12, i420);
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

// The time column is wall-clock time per frame; the CPU column is the whole process's CPU time per
// frame, all threads together (conversion and scaling run in bands on several threads).
#define QUILL_VIDEO_BENCH(name, seconds) \
    BENCHMARK(name)->Unit(benchmark::kMillisecond)->MinTime(seconds)->UseRealTime()->MeasureProcessCPUTime()
QUILL_VIDEO_BENCH(BM_CaptureConversion, 1.0)
    ->ArgNames({"banded", "w", "h"})
    ->ArgsProduct({{0, 1}, {1920, 2880}, {1080, 1800}});
QUILL_VIDEO_BENCH(BM_EncoderScaling, 1.0)
    ->ArgNames({"banded", "w", "h"})
    ->ArgsProduct({{0, 1}, {1920, 2880}, {1080, 1800}});
QUILL_VIDEO_BENCH(BM_WholePath, 3.0);
QUILL_VIDEO_BENCH(BM_WholePathPipelined, 3.0)->ArgName("pass_sleep_ms")->Arg(0)->Arg(10);
QUILL_VIDEO_BENCH(BM_X264Only, 3.0);
BENCHMARK_MAIN();
