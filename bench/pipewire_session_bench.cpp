// The screen of a Wayland session as the sender reads it, a PipeWire video node, beside a GStreamer
// pipeline that does the same job. The benchmark starts its own PipeWire and WirePlumber and a test
// video source node of 1920 x 1080 BGRx at 30 pictures a second whose picture changes (a square of 480
// pixels sliding across a flat background, the damage reported as the desktops report theirs, or, in a
// second run, no damage at all, so that every picture is converted whole), then:
//   - reads the node with the sender's path: PipeWireCapture, the capture stream (the recorder's
//     settings: 5 pictures, at most 23 a second) to NV12, and the encoder core the application uses
//     (SWSoftwareEncoder: rows stretched to the encoding size, x264 at the system's settings), for
//     kWindowSeconds after a second of warming up;
//   - runs `gst-launch-1.0 pipewiresrc path=<node> ! videoconvert ! videoscale` to I420 at the same
//     encoding size `! x264enc` with the system's x264 settings (GstX264.h) for the same time;
//   - then, with the source still (the same picture, empty damage, 30 a second), both again for
//     kStillSeconds: what a screen where nothing happens costs.
// Counters, per delivered picture (one the encoder returned slices for, or one x264enc wrote):
//   sender_cpu_ms        CPU of the sender's threads: every thread of this process but the source's and
//                        the benchmark's own
//   gst_cpu_ms           CPU of the gst-launch process
//   ratio                sender_cpu_ms / gst_cpu_ms
//   sender_pictures_per_s, gst_pictures_per_s
//   pipewire_cpu_ms, gst_pipewire_cpu_ms   the PipeWire daemon's CPU per picture during each run
//   cpu_ms_<thread>      the sender's CPU per picture by thread: pw-capture (PipeWire's loop: buffers,
//                        damage), pw-data-loop (the context's data thread), display-capture (the
//                        conversion to NV12), picture-bands (banded conversion work), bench-encoder
//                        (scaling to the encoding size and x264)
//   encoder_scale_ms, encoder_x264_ms   the encoder's own time a picture in scaling and in x264, wall
//                        clock, over the last second of the window
//   still_sender_cpu_ms_per_s, still_gst_cpu_ms_per_s, still_sender_pictures   the still screen's cost

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GstX264.h"
#include "ThreadTimes.h"
#include "media/SWSoftwareEncoder.h"
#include "platform/display/CaptureStream.h"
#include "platform/display/PipeWireCapture.h"
#include "support/ChildProcess.h"
#include "support/PrivateVideoPipeWire.h"
#include "support/TempFolder.h"
#include "support/TestVideoSource.h"
#include "support/ThreadQueue.h"

using namespace quill;
using namespace quill::platform::display;
using quill::bench::processCpuSeconds;
using quill::bench::threadTimes;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFps = 30;
constexpr double kWindowSeconds = 15;
constexpr double kStillSeconds = 5;
constexpr double kWarmUpSeconds = 1;

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

std::set<int> threadIds() {
    std::set<int> ids;
    for (const auto& [tid, t] : threadTimes())
        ids.insert(tid);
    return ids;
}

// Names the threads that appeared since `before` and still carry the process's name (PipeWire's data
// loop threads), so that the split by thread can tell them apart.
void nameNewThreads(const std::set<int>& before, const std::string& name) {
    std::string self;
    std::ifstream("/proc/self/comm") >> self;
    for (const auto& [tid, t] : threadTimes()) {
        if (before.count(tid) || t.name != self) continue;
        std::ofstream("/proc/self/task/" + std::to_string(tid) + "/comm") << name;
    }
}

struct Run {
    double pictures = 0;
    double cpu = 0;       // the mirroring party
    double pipewire = 0;  // the PipeWire daemon
    std::map<std::string, double> byThread;
    double scaleMs = 0, x264Ms = 0;
    std::string failure;
};

// The sender's path over `window` seconds (after warming up), the source moving or still. skip: the
// source's and the benchmark's threads.
Run mirrorWithSender(testing::PrivateVideoPipeWire& pw, uint32_t node, testing::TestVideoSource& source,
                     bool still, double window, const std::set<int>& skip) {
    Run run;
    std::mutex m;
    bool counting = false;
    auto queue = std::make_shared<testing::ThreadQueue>("bench-encoder");
    SWSoftwareEncoder encoder;
    std::vector<std::span<const uint8_t>> nals;
    uint32_t stamp = 0;
    const auto before = threadIds();
    auto capture = PipeWireCapture::open(pw.connect(), node, [](const std::string&) {});
    if (!capture || !capture->waitForFormat(5)) {
        run.failure = "the capture did not start";
        return run;
    }
    nameNewThreads(before, "pw-data-loop");
    DisplayStreamProperties props;
    props.queueDepth = 5;
    props.minimumFrameTime = 1.0 / 23;  // the recorder's default frame rate
    auto stream = std::make_shared<CaptureStream>(
        capture->makeSource(), kWidth, kHeight, props, queue,
        [&](FrameStatus status, uint64_t, PixelBufferRef frame) {
            if (status != FrameStatus::Complete) return;
            if (stamp == 0) pthread_setname_np(pthread_self(), "bench-encoder");
            stamp += 33;
            const bool encoded = encoder.encodeFrame(*frame, stamp, false, nals) && !nals.empty();
            std::lock_guard lock(m);
            if (counting && encoded) ++run.pictures;
        });
    if (!stream->start()) {
        run.failure = "the capture stream did not start";
        return run;
    }
    sleepSeconds(kWarmUpSeconds);
    source.setStill(still);
    sleepSeconds(0.2);
    const int self = int(gettid());
    const auto t0 = threadTimes();
    const double pwBefore = processCpuSeconds(pw.daemonPid());
    {
        std::lock_guard lock(m);
        counting = true;
    }
    sleepSeconds(window);
    {
        std::lock_guard lock(m);
        counting = false;
    }
    const auto t1 = threadTimes();
    run.pipewire = processCpuSeconds(pw.daemonPid()) - pwBefore;
    const auto stats = encoder.statArray();
    for (const auto& s : stats) {
        run.scaleMs += s.covertTime * 1000 / double(stats.size());
        run.x264Ms += s.encodeTime * 1000 / double(stats.size());
    }
    stream->stop();
    queue->drain();
    source.setStill(false);
    run.byThread = quill::bench::usedByName(
        t0, t1, [&](int tid, const std::string&) { return tid == self || skip.count(tid); });
    for (const auto& [name, seconds] : run.byThread)
        run.cpu += seconds;
    return run;
}

Run mirrorWithGstreamer(testing::PrivateVideoPipeWire& pw, uint32_t node, testing::TestVideoSource& source,
                        bool still, double window, uint32_t width, uint32_t height) {
    Run run;
    std::vector<std::string> args = {"gst-launch-1.0", "-q", "pipewiresrc", "path=" + std::to_string(node)};
    for (auto& a : quill::bench::gstX264Tail(width, height))
        args.push_back(std::move(a));
    testing::TempFolder tmp;
    // pipewiresrc finds the daemon by its runtime folder.
    std::vector<std::string> env = testing::privateEnvironment(tmp.str());
    env.push_back("PIPEWIRE_RUNTIME_DIR=" + pw.runtimeDir());
    std::replace(env.begin(), env.end(), "XDG_RUNTIME_DIR=" + tmp.str() + "/run",
                 "XDG_RUNTIME_DIR=" + pw.runtimeDir());
    quill::bench::GstPipeline gst(args, env, tmp / "gst.log");
    run.failure = gst.failure();
    if (!run.failure.empty()) return run;
    sleepSeconds(kWarmUpSeconds);
    source.setStill(still);
    sleepSeconds(0.2);
    const double cpuBefore = processCpuSeconds(gst.pid());
    const double pwBefore = processCpuSeconds(pw.daemonPid());
    const size_t first = gst.pictures();
    sleepSeconds(window);
    run.pictures = double(gst.pictures() - first);
    run.cpu = processCpuSeconds(gst.pid()) - cpuBefore;
    run.pipewire = processCpuSeconds(pw.daemonPid()) - pwBefore;
    source.setStill(false);
    return run;
}

void BM_PipeWireSession(benchmark::State& state) {
    const bool damage = state.range(0) != 0;
    const auto [ew, eh] = SWSoftwareEncoder::encodingSize(kWidth, kHeight);
    for (auto _ : state) {
        testing::PrivateVideoPipeWire pw;
        if (!pw.available()) {
            state.SkipWithError(("no private PipeWire: " + pw.failure()).c_str());
            return;
        }
        testing::TestVideoSource::Options options;
        options.width = kWidth;
        options.height = kHeight;
        options.fps = kFps;
        options.squareSize = 480;
        options.squareStep = 8;
        options.damage = damage;
        std::set<int> skip = threadIds();
        testing::TestVideoSource source(pw.runtimeDir(), options);
        const uint32_t node = source.nodeId();
        if (!source.running() || node == 0xffffffff) {
            state.SkipWithError("the test video source did not start");
            return;
        }
        for (int tid : threadIds())
            skip.insert(tid);  // the source's threads, and those there before
        const Run sender = mirrorWithSender(pw, node, source, false, kWindowSeconds, skip);
        const Run gst = mirrorWithGstreamer(pw, node, source, false, kWindowSeconds, ew, eh);
        const Run stillSender = mirrorWithSender(pw, node, source, true, kStillSeconds, skip);
        const Run stillGst = mirrorWithGstreamer(pw, node, source, true, kStillSeconds, ew, eh);
        for (const Run* r : {&sender, &gst, &stillSender, &stillGst}) {
            if (!r->failure.empty()) {
                state.SkipWithError(r->failure.c_str());
                return;
            }
        }
        const double n = std::max(sender.pictures, 1.0), g = std::max(gst.pictures, 1.0);
        const double senderMs = sender.cpu * 1000 / n, gstMs = gst.cpu * 1000 / g;
        state.counters["sender_pictures_per_s"] = sender.pictures / kWindowSeconds;
        state.counters["sender_cpu_ms"] = senderMs;
        state.counters["pipewire_cpu_ms"] = sender.pipewire * 1000 / n;
        state.counters["gst_pictures_per_s"] = gst.pictures / kWindowSeconds;
        state.counters["gst_cpu_ms"] = gstMs;
        state.counters["gst_pipewire_cpu_ms"] = gst.pipewire * 1000 / g;
        state.counters["ratio"] = senderMs / std::max(gstMs, 1e-9);
        state.counters["encoder_scale_ms"] = sender.scaleMs;
        state.counters["encoder_x264_ms"] = sender.x264Ms;
        for (const auto& [name, seconds] : sender.byThread)
            if (seconds * 1000 / n >= 0.01) state.counters["cpu_ms_" + name] = seconds * 1000 / n;
        state.counters["still_sender_cpu_ms_per_s"] = stillSender.cpu * 1000 / kStillSeconds;
        state.counters["still_sender_pictures"] = stillSender.pictures;
        state.counters["still_gst_cpu_ms_per_s"] = stillGst.cpu * 1000 / kStillSeconds;
        state.counters["still_pipewire_cpu_ms_per_s"] = stillSender.pipewire * 1000 / kStillSeconds;
        state.SetLabel(std::to_string(kWidth) + "x" + std::to_string(kHeight) + " -> " + std::to_string(ew) +
                       "x" + std::to_string(eh) + ", a 480 px square moving at 30 fps" +
                       (damage ? ", damage reported" : ", no damage: every picture whole"));
    }
}

}  // namespace

BENCHMARK(BM_PipeWireSession)
    ->ArgNames({"damage"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK_MAIN();
