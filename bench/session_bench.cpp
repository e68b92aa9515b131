// A whole mirroring session: a 1920 x 1080 synthetic screen (moving at 60 changes a second) and the
// synthetic tone, mirrored by the session controller to the test receiver on loopback for 20 s, beside
// x264 alone on the same pictures in the same process.
//
// BM_Session reports, over the 20 s window:
//   pictures_per_s     pictures (IDR and non-IDR slices) that reached the receiver, per second
//   sender_cpu_ms      CPU time of the sender's threads per delivered picture: every thread of the
//                      process but the receiver's, the benchmark's own and the test pattern's drawing
//   latency_p50_ms,    from a picture's time stamp (taken when the captured and converted picture is
//   latency_p95_ms     handed to the pipeline) to the last byte of the picture at the receiver
//   capture_ms         grab and conversion of one picture before it is stamped (measured apart, on a
//                      display stream of the same screen): add it for capture-to-last-byte
//   audio_per_s        audio packets that reached the receiver, per second
// and the sender's CPU per picture split by thread (cpu_ms_<thread name>).
// BM_X264Only reports x264_cpu_ms: the CPU time of x264 alone per picture, with the system's settings,
// on pictures of the same screen already scaled to the encoding size.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ThreadTimes.h"
#include "X264Alone.h"
#include "media/SWSoftwareEncoder.h"
#include "platform/display/PixelTransfer.h"
#include "support/FrameCollector.h"
#include "support/SessionRig.h"
#include "support/ThreadQueue.h"

using namespace quill;
using namespace quill::platform::display;
using quill::bench::threadTimes;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr double kChangesPerSecond = 60;
constexpr double kWindowSeconds = 20;

// Milliseconds since 1 January 2001 UTC, low 32 bits: the packets' clock.
uint32_t mediaMillisNow() {
    const double unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<int64_t>((unix - 978307200.0) * 1000.0));
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5))];
}

// Runs a display stream of the session's screen until `enough` says so (at most ten seconds).
void runStream(const DisplayStreamProperties& properties, const FrameHandler& handler,
               const std::function<bool()>& enough) {
    auto display = SyntheticDisplayService::create(
        {.width = kWidth, .height = kHeight, .changesPerSecond = kChangesPerSecond});
    auto stream =
        display->createDisplayStream(SyntheticDisplayService::kDisplayID, kWidth, kHeight, PixelFormat::NV12,
                                     properties, std::make_shared<testing::ThreadQueue>(), handler);
    stream->start();
    for (int i = 0; i < 1000 && !enough(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stream->stop();
}

// Grab and conversion of one picture: from the start of the grab to the frame handler, median of 50.
double captureMillis() {
    std::mutex m;
    std::vector<double> ms;
    runStream(
        {.minimumFrameTime = 0.04},
        [&](FrameStatus status, uint64_t when, PixelBufferRef) {
            if (status != FrameStatus::Complete) return;
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            std::lock_guard lock(m);
            ms.push_back(
                double(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() - int64_t(when)) /
                1e6);
        },
        [&] {
            std::lock_guard lock(m);
            return ms.size() >= 50;
        });
    std::lock_guard lock(m);
    return percentile(ms, 0.5);
}

void BM_Session(benchmark::State& state) {
    std::mutex m;
    std::vector<double> latencies;
    size_t pictures = 0, audio = 0;
    bool counting = false;
    testing::SessionRigOptions options;
    options.width = kWidth;
    options.height = kHeight;
    options.changesPerSecond = kChangesPerSecond;
    options.receiver = [&](testing::TestReceiver::Options& ro) {
        ro.keepMedia = false;
        ro.onVideo = [&](const testing::VideoRecord& v) {
            const int type = v.nalType();
            if (type != 1 && type != 5) return;  // the picture's last unit
            const double latency = double(int32_t(mediaMillisNow() - v.stamp));
            std::lock_guard lock(m);
            if (!counting) return;
            ++pictures;
            latencies.push_back(latency);
        };
        ro.onAudio = [&](const testing::AudioRecord&) {
            std::lock_guard lock(m);
            if (counting) ++audio;
        };
    };
    const double captureMs = captureMillis();

    for (auto _ : state) {
        testing::SessionRig rig(options);
        if (!rig.connect()) {
            state.SkipWithError("no connection to the test receiver");
            return;
        }
        rig.channel->requestMirrorOn();
        // A second of warming up, then the window.
        if (!rig.receiver->waitFor([&] { return rig.power->heldAssertions() == 1; }, 10)) {
            state.SkipWithError("mirroring did not start");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto before = threadTimes();
        const double patternBefore = rig.display->patternCpuSeconds();
        const int self = int(gettid());
        {
            std::lock_guard lock(m);
            counting = true;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        {
            std::lock_guard lock(m);
            counting = false;
        }
        const auto after = threadTimes();
        const double pattern = rig.display->patternCpuSeconds() - patternBefore;
        rig.channel->disconnect();

        auto byName = quill::bench::usedByName(before, after, [&](int tid, const std::string& name) {
            return tid == self || name == "test-receiver";
        });
        double sender = -pattern;
        for (const auto& [name, seconds] : byName)
            sender += seconds;
        byName["display-capture"] -= pattern;
        std::lock_guard lock(m);
        const double n = double(std::max<size_t>(pictures, 1));
        state.counters["pictures_per_s"] = double(pictures) / kWindowSeconds;
        state.counters["sender_cpu_ms"] = sender * 1000 / n;
        state.counters["latency_p50_ms"] = percentile(latencies, 0.5);
        state.counters["latency_p95_ms"] = percentile(latencies, 0.95);
        state.counters["capture_ms"] = captureMs;
        state.counters["audio_per_s"] = double(audio) / kWindowSeconds;
        state.counters["pattern_cpu_ms"] = pattern * 1000 / n;
        for (const auto& [name, seconds] : byName)
            if (seconds * 1000 / n >= 0.05) state.counters["cpu_ms_" + name] = seconds * 1000 / n;
    }
}

void BM_X264Only(benchmark::State& state) {
    // Pictures of the same screen as the session sends, scaled as its encoder scales them.
    std::mutex m;
    std::vector<PixelBufferRef> frames;
    runStream(
        {.queueDepth = 64},
        [&](FrameStatus status, uint64_t, PixelBufferRef frame) {
            std::lock_guard lock(m);
            if (status == FrameStatus::Complete && frames.size() < 50) frames.push_back(std::move(frame));
        },
        [&] {
            std::lock_guard lock(m);
            return frames.size() >= 50;
        });
    const auto [w, h] = SWSoftwareEncoder::encodingSize(kWidth, kHeight);
    PixelTransfer scale;
    std::vector<PixelBuffer> pictures;
    {
        std::lock_guard lock(m);
        for (const auto& f : frames) {
            pictures.emplace_back(PixelFormat::I420, int(w), int(h));
            scale.transfer(*f, pictures.back());
        }
    }
    if (pictures.empty()) {
        state.SkipWithError("no pictures");
        return;
    }
    state.counters["x264_cpu_ms"] = quill::bench::encodeWithX264Alone(state, pictures) * 1000;
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h));
}

}  // namespace

BENCHMARK(BM_Session)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_X264Only)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK_MAIN();
