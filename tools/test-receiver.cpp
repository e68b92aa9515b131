// A stand-in receiver for people to watch a sender: it listens on 127.0.0.1 and prints one line per
// packet it receives. Usage: test-receiver [control video audio touch]   (default 11102 11104 11103 11101)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "support/TestReceiver.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    using namespace quill::testing;
    TestReceiver::Options opts;
    opts.ports = {11102, 11104, 11103, 11101};
    if (argc == 5) {
        for (int i = 0; i < 4; ++i)
            opts.ports[i] = static_cast<uint16_t>(std::atoi(argv[i + 1]));
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [control video audio touch]\n", argv[0]);
        return 2;
    }
    opts.onControl = [](const ControlRecord& r) {
        std::printf("control kind=%u code=%u bytes=", r.kind(), r.code());
        for (uint8_t b : r.bytes)
            std::printf("%02x", b);
        std::printf("\n");
        std::fflush(stdout);
    };
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    TestReceiver rx(opts);
    std::printf("listening on 127.0.0.1: control %u, video %u, audio %u, touch %u\n", rx.controlPort(),
                rx.videoPort(), rx.audioPort(), rx.touchPort());
    std::fflush(stdout);
    size_t videoSeen = 0, audioSeen = 0, problemsSeen = 0;
    while (!g_stop) {
        rx.waitFor([] { return g_stop != 0; }, 0.2);
        auto v = rx.video();
        for (; videoSeen < v.size(); ++videoSeen) {
            std::printf("video stamp=%u nal_type=%d bytes=%zu\n", v[videoSeen].stamp, v[videoSeen].nalType(),
                        v[videoSeen].nal.size());
        }
        auto a = rx.audio();
        for (; audioSeen < a.size(); ++audioSeen) {
            std::printf("audio stamp=%u bytes=%zu\n", a[audioSeen].stamp, a[audioSeen].frame.size());
        }
        auto p = rx.problems();
        for (; problemsSeen < p.size(); ++problemsSeen)
            std::printf("problem: %s\n", p[problemsSeen].c_str());
        std::fflush(stdout);
    }
    return 0;
}
