// Mirroring a real X11 screen beside a GStreamer pipeline that does the same job. For each screen size
// (1920 x 1080 and 2880 x 1800) the benchmark starts its own Xvfb and a small X client that moves the
// pointer and redraws a window region (a ninth of the screen) 30 times a second, then:
//   - mirrors the screen with the session controller and the real X11 display service (cursor drawn)
//     to the test receiver on loopback for 20 s after a second of warming up;
//   - runs `gst-launch-1.0 ximagesrc ! videoconvert ! videoscale` to I420 at the same encoding size
//     `! x264enc` with the system's x264 settings on the same screen for the same time.
// Counters, per delivered picture (a slice that reached the receiver, or one x264enc wrote):
//   sender_cpu_ms        CPU of the sender's threads: every thread of this process but the receiver's,
//                        the benchmark's own and the scene's
//   video_cpu_ms         the same without the sound threads (sound capture and the MP3 encoder), which
//                        the pipeline has no counterpart for
//   gst_cpu_ms           CPU of the gst-launch process
//   ratio                video_cpu_ms / gst_cpu_ms (ratio_all: sender_cpu_ms / gst_cpu_ms)
//   sender_pictures_per_s, gst_pictures_per_s
//   xserver_cpu_ms, gst_xserver_cpu_ms   the X server's CPU per picture during each run (its copies into
//                        the shared-memory images, and the scene's drawing, which both runs share)
//   cpu_ms_<thread>      the sender's CPU per picture by thread name
//   encoder_scale_ms, encoder_x264_ms   the encoder thread's time a picture in scaling (to the encoding
//                        size) and in x264, wall clock, over the last second of the window
//   decoded_pictures     pictures ffprobe decodes from the sender's video stream of the run (0: failed)
// A third run at 1920 x 1080 moves only the pointer (redraw:0): there the cost of a picture beside x264's
// stands out.
// The pipeline's x264enc gets the system's x264 settings (GstX264.h).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GstX264.h"
#include "ThreadTimes.h"
#include "media/SWSoftwareEncoder.h"
#include "platform/display/Display.h"
#include "support/ChildProcess.h"
#include "support/SessionRig.h"
#include "support/TempFolder.h"
#include "support/XvfbServer.h"

// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace quill;
using quill::bench::processCpuSeconds;
using quill::bench::threadTimes;

namespace {

constexpr double kWindowSeconds = 20;
constexpr double kWarmUpSeconds = 1;
constexpr double kSceneRate = 30;  // redraws and pointer steps a second
constexpr const char* kSceneThread = "x11-scene";

// The X client that keeps the screen busy: a window of a ninth of the screen whose bars move and whose
// colours change at every redraw, and a pointer that circles over the screen.
class MovingScene {
  public:
    // redraw: whether the window region is redrawn; otherwise only the pointer moves.
    MovingScene(const std::string& display, int width, int height, bool redraw) : redraw_(redraw) {
        thread_ = std::thread([this, display, width, height] { run(display, width, height); });
    }
    ~MovingScene() {
        stop_ = true;
        thread_.join();
    }

  private:
    // A window redrawn: a backdrop whose tone drifts, bars that slide, and a grid of small cells like
    // text, shifted a little at each redraw.
    static void draw(Display* dpy, Window window, GC gc, int ww, int wh, unsigned tick) {
        const unsigned shade = 0x20 + (tick % 64);
        XSetForeground(dpy, gc, (shade << 16) | (0x30 << 8) | (0x60 - shade / 2));
        XFillRectangle(dpy, window, gc, 0, 0, unsigned(ww), unsigned(wh) / 2);
        for (int bar = 0; bar < 8; ++bar) {
            XSetForeground(dpy, gc, 0x1f3f7fu * unsigned(bar + 1) + tick * 0x010203u);
            const int x = int((tick * unsigned(4 + bar) + unsigned(bar) * 97) % unsigned(ww));
            XFillRectangle(dpy, window, gc, x, bar * wh / 16, unsigned(ww) / 10, unsigned(wh) / 20);
        }
        for (int row = 0; row < 12; ++row) {
            for (int col = 0; col < 40; ++col) {
                const unsigned v = (unsigned(row * 40 + col) * 2654435761u + tick) >> 3;
                XSetForeground(dpy, gc, (v & 1) ? 0xe0e0e0 : 0x303030);
                XFillRectangle(dpy, window, gc, 8 + col * (ww - 16) / 40 + int(tick % 3),
                               wh / 2 + 8 + row * (wh / 2 - 16) / 12, unsigned(ww) / 60, unsigned(wh) / 40);
            }
        }
    }

    void run(const std::string& name, int width, int height) {
        pthread_setname_np(pthread_self(), kSceneThread);
        Display* dpy = XOpenDisplay(name.c_str());
        if (!dpy) return;
        const int screen = DefaultScreen(dpy);
        const Window root = RootWindow(dpy, screen);
        const int ww = width / 3, wh = height / 3;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = 0x202830;
        const Window window =
            XCreateWindow(dpy, root, width / 8, height / 6, unsigned(ww), unsigned(wh), 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(dpy, window);
        GC gc = XCreateGC(dpy, window, 0, nullptr);
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(1.0 / kSceneRate));
        auto next = std::chrono::steady_clock::now();
        for (unsigned tick = 0; !stop_; ++tick) {
            if (redraw_ || tick == 0) draw(dpy, window, gc, ww, wh, tick);
            const double angle = double(tick) / kSceneRate * 1.3;
            XWarpPointer(dpy, None, root, 0, 0, 0, 0, int(width / 2 + std::cos(angle) * width / 3),
                         int(height / 2 + std::sin(angle * 1.7) * height / 3));
            XFlush(dpy);
            next += period;
            std::this_thread::sleep_until(next);
        }
        XFreeGC(dpy, gc);
        XDestroyWindow(dpy, window);
        XCloseDisplay(dpy);
    }

    const bool redraw_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs on the CPU figures of a window: pictures, and CPU seconds of the parties.
struct Run {
    double pictures = 0;
    double cpu = 0;      // the mirroring party
    double xserver = 0;  // the X server
    std::map<std::string, double> byThread;
    double sound = 0;
    double scaleMs = 0, x264Ms = 0;  // the encoder's own figures, wall time a picture over its last second
    int decoded = -1;
    std::string failure;
};

int decodedPictures(const std::string& file) {
    const std::string command =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        file + "' 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return 0;
    int frames = 0;
    if (fscanf(p, "%d", &frames) != 1) frames = 0;
    pclose(p);
    return frames;
}

void sleepSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

Run mirrorWithSender(const testing::XvfbServer& server) {
    Run run;
    std::mutex m;
    bool counting = false;
    std::vector<uint8_t> stream;
    testing::SessionRigOptions options;
    options.width = 64;  // the synthetic screen the rig makes and does not use
    options.height = 64;
    options.screen = platform::display::DisplayService::x11(server.name());
    options.showCursor = true;
    if (!options.screen) {
        run.failure = "no X11 display service";
        return run;
    }
    options.receiver = [&](testing::TestReceiver::Options& ro) {
        ro.keepMedia = false;
        ro.onVideo = [&](const testing::VideoRecord& v) {
            std::lock_guard lock(m);
            stream.insert(stream.end(), v.nal.begin(), v.nal.end());
            const int type = v.nalType();
            if (counting && (type == 1 || type == 5)) ++run.pictures;
        };
    };
    testing::SessionRig rig(options);
    if (!rig.connect()) {
        run.failure = "no connection to the test receiver";
        return run;
    }
    rig.channel->requestMirrorOn();
    if (!rig.receiver->waitFor([&] { return rig.power->heldAssertions() == 1; }, 10)) {
        run.failure = "mirroring did not start";
        return run;
    }
    sleepSeconds(kWarmUpSeconds);
    const int self = int(gettid());
    const auto before = threadTimes();
    const double xBefore = processCpuSeconds(server.pid());
    {
        std::lock_guard lock(m);
        counting = true;
    }
    sleepSeconds(kWindowSeconds);
    {
        std::lock_guard lock(m);
        counting = false;
    }
    const auto after = threadTimes();
    run.xserver = processCpuSeconds(server.pid()) - xBefore;
    if (auto handler = rig.lastHandler()) {
        const auto stats = handler->videoRecorder().encoder().statArray();
        for (const auto& s : stats) {
            run.scaleMs += s.covertTime * 1000 / double(stats.size());
            run.x264Ms += s.encodeTime * 1000 / double(stats.size());
        }
    }
    rig.channel->disconnect();
    run.byThread = quill::bench::usedByName(before, after, [&](int tid, const std::string& name) {
        return tid == self || name == "test-receiver" || name == kSceneThread;
    });
    for (const auto& [name, seconds] : run.byThread) {
        run.cpu += seconds;
        if (name == "sound-capture" || name == "mp3-encoder") run.sound += seconds;
    }
    testing::TempFolder tmp;
    const std::string file = tmp / "sender.h264";
    {
        std::lock_guard lock(m);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    }
    run.decoded = decodedPictures(file);
    return run;
}

Run mirrorWithGstreamer(const testing::XvfbServer& server, uint32_t width, uint32_t height) {
    Run run;
    std::vector<std::string> args = {"gst-launch-1.0", "-q", "ximagesrc", "!", "video/x-raw,framerate=25/1"};
    for (auto& a : quill::bench::gstX264Tail(width, height))
        args.push_back(std::move(a));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("DISPLAY=", 0) != 0) env.emplace_back(*e);
    env.push_back("DISPLAY=" + server.name());
    testing::TempFolder tmp;
    quill::bench::GstPipeline gst(args, env, tmp / "gst.log");
    run.failure = gst.failure();
    if (!run.failure.empty()) return run;
    sleepSeconds(kWarmUpSeconds);
    const double cpuBefore = processCpuSeconds(gst.pid());
    const double xBefore = processCpuSeconds(server.pid());
    const size_t first = gst.pictures();
    sleepSeconds(kWindowSeconds);
    run.pictures = double(gst.pictures() - first);
    run.cpu = processCpuSeconds(gst.pid()) - cpuBefore;
    run.xserver = processCpuSeconds(server.pid()) - xBefore;
    return run;
}

void BM_X11Session(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const bool redraw = state.range(2) != 0;
    const auto [ew, eh] = SWSoftwareEncoder::encodingSize(uint32_t(width), uint32_t(height));
    for (auto _ : state) {
        testing::XvfbServer server(width, height);
        if (!server.running()) {
            state.SkipWithError(("no X server: " + server.failure()).c_str());
            return;
        }
        MovingScene scene(server.name(), width, height, redraw);
        sleepSeconds(0.5);
        const Run sender = mirrorWithSender(server);
        if (!sender.failure.empty()) {
            state.SkipWithError(sender.failure.c_str());
            return;
        }
        const Run gst = mirrorWithGstreamer(server, ew, eh);
        if (!gst.failure.empty()) {
            state.SkipWithError(gst.failure.c_str());
            return;
        }
        const double n = std::max(sender.pictures, 1.0), g = std::max(gst.pictures, 1.0);
        const double video = (sender.cpu - sender.sound) * 1000 / n;
        const double gstMs = gst.cpu * 1000 / g;
        state.counters["sender_pictures_per_s"] = sender.pictures / kWindowSeconds;
        state.counters["sender_cpu_ms"] = sender.cpu * 1000 / n;
        state.counters["video_cpu_ms"] = video;
        state.counters["xserver_cpu_ms"] = sender.xserver * 1000 / n;
        state.counters["gst_pictures_per_s"] = gst.pictures / kWindowSeconds;
        state.counters["gst_cpu_ms"] = gstMs;
        state.counters["gst_xserver_cpu_ms"] = gst.xserver * 1000 / g;
        state.counters["ratio"] = video / std::max(gstMs, 1e-9);
        state.counters["ratio_all"] = sender.cpu * 1000 / n / std::max(gstMs, 1e-9);
        state.counters["decoded_pictures"] = sender.decoded;
        state.counters["encoder_scale_ms"] = sender.scaleMs;
        state.counters["encoder_x264_ms"] = sender.x264Ms;
        for (const auto& [name, seconds] : sender.byThread)
            if (seconds * 1000 / n >= 0.05) state.counters["cpu_ms_" + name] = seconds * 1000 / n;
        state.SetLabel(std::to_string(width) + "x" + std::to_string(height) + " -> " + std::to_string(ew) +
                       "x" + std::to_string(eh) + (redraw ? ", window redrawn" : ", pointer only"));
    }
}

}  // namespace

BENCHMARK(BM_X11Session)
    ->ArgNames({"w", "h", "redraw"})
    ->Args({1920, 1080, 1})
    ->Args({2880, 1800, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK_MAIN();
