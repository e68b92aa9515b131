// Stand-in for the driver loading tool: "kextutil <path>/Soundflower.kext" loads the loopback device
// (a null sink named "Soundflower", described "Soundflower (2ch)") into the sound server of the user who
// runs it. The application runs it as that user; it is never run as root.

#include <cstdio>
#include <filesystem>

#include "platform/coreaudio/PulseAudioBackend.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kextutil <driver bundle>\n");
        return 64;
    }
    if (std::filesystem::path(argv[argc - 1]).filename() != "Soundflower.kext") {
        std::fprintf(stderr, "kextutil: %s: no such driver here\n", argv[argc - 1]);
        return 1;
    }
    // Run once per login: a busy sound server gets more time than the application gives it.
    auto pulse = quill::platform::coreaudio::PulseAudioBackend::connect(10.0);
    if (!pulse) {
        std::fprintf(stderr, "kextutil: no sound server answers\n");
        return 1;
    }
    if (!pulse->loadLoopbackDevice()) {
        std::fprintf(stderr, "kextutil: the sound server refused the Soundflower device\n");
        return 1;
    }
    return 0;
}
