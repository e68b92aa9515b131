// A stand-in receiver for people to watch a sender: it listens on 127.0.0.1, answers like a receiver
// and prints one line per packet it receives.
// Usage: test-receiver [--h264 FILE] [--mp3 FILE] [control video audio touch]
//        (ports default to 11102 11104 11103 11101)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestReceiver.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}
std::mutex g_out;
}  // namespace

int main(int argc, char** argv) {
    using namespace quill::testing;
    TestReceiver::Options opts;
    opts.ports = {11102, 11104, 11103, 11101};
    opts.keepMedia = false;
    std::string h264Path, mp3Path;
    std::vector<std::string> ports;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--h264") == 0 && i + 1 < argc) {
            h264Path = argv[++i];
        } else if (std::strcmp(argv[i], "--mp3") == 0 && i + 1 < argc) {
            mp3Path = argv[++i];
        } else {
            ports.emplace_back(argv[i]);
        }
    }
    if (!ports.empty() && ports.size() != 4) {
        std::fprintf(stderr, "usage: %s [--h264 FILE] [--mp3 FILE] [control video audio touch]\n", argv[0]);
        return 2;
    }
    for (size_t i = 0; i < ports.size(); ++i)
        opts.ports[i] = static_cast<uint16_t>(std::atoi(ports[i].c_str()));
    std::ofstream h264, mp3;
    if (!h264Path.empty()) h264.open(h264Path, std::ios::binary);
    if (!mp3Path.empty()) mp3.open(mp3Path, std::ios::binary);

    opts.onControl = [](const ControlRecord& r) {
        std::lock_guard lock(g_out);
        std::printf("control kind=%u code=%u bytes=", r.kind(), r.code());
        for (uint8_t b : r.bytes)
            std::printf("%02x", b);
        std::printf("\n");
        std::fflush(stdout);
    };
    opts.onVideo = [&h264](const VideoRecord& v) {
        std::lock_guard lock(g_out);
        std::printf("video stamp=%u nal_type=%d bytes=%zu\n", v.stamp, v.nalType(), v.nal.size());
        std::fflush(stdout);
        if (h264.is_open())
            h264.write(reinterpret_cast<const char*>(v.nal.data()), std::streamsize(v.nal.size()));
    };
    opts.onAudio = [&mp3](const AudioRecord& a) {
        std::lock_guard lock(g_out);
        std::printf("audio stamp=%u bytes=%zu\n", a.stamp, a.frame.size());
        std::fflush(stdout);
        if (mp3.is_open())
            mp3.write(reinterpret_cast<const char*>(a.frame.data()), std::streamsize(a.frame.size()));
    };
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    TestReceiver rx(opts);
    std::printf("listening on 127.0.0.1: control %u, video %u, audio %u, touch %u\n", rx.controlPort(),
                rx.videoPort(), rx.audioPort(), rx.touchPort());
    std::fflush(stdout);
    size_t problemsSeen = 0, touchSeen = 0;
    int connectionsSeen[4] = {0, 0, 0, 0};
    bool closedSeen[4] = {false, false, false, false};
    const char* names[4] = {"control", "video", "audio", "touch"};
    while (!g_stop) {
        rx.waitFor([] { return g_stop != 0; }, 0.2);
        std::lock_guard lock(g_out);
        for (int i = 0; i < 4; ++i) {
            const int n = rx.connections(ReceiverPort(i));
            if (n != connectionsSeen[i]) {
                connectionsSeen[i] = n;
                closedSeen[i] = false;
                std::printf("%s connection %d accepted\n", names[i], n);
            }
            if (rx.peerClosed(ReceiverPort(i)) && !closedSeen[i]) {
                closedSeen[i] = true;
                std::printf("%s connection %d closed\n", names[i], n);
            }
        }
        if (size_t t = rx.touchBytes(); t != touchSeen) {
            touchSeen = t;
            std::printf("problem: the touch connection carried %zu bytes\n", t);
        }
        auto p = rx.problems();
        for (; problemsSeen < p.size(); ++problemsSeen)
            std::printf("problem: %s\n", p[problemsSeen].c_str());
        std::fflush(stdout);
    }
    return 0;
}
