// Stand-in for the driver listing tool: prints the header and, when the user's sound server has the
// loopback device loaded, a line naming the loopback driver. Only "-b <bundle id>" is understood.

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/coreaudio/PulseAudioBackend.h"

namespace {
constexpr const char* kBundleId = "com.Cycling74.driver.Soundflower";
}

int main(int argc, char** argv) {
    std::string wanted;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-b") == 0 && i + 1 < argc) wanted = argv[++i];
    }
    std::printf("Index Refs Address            Size       Wired      Name (Version) UUID <Linked Against>\n");
    if (!wanted.empty() && wanted != kBundleId) return 0;
    auto pulse = quill::platform::coreaudio::PulseAudioBackend::connect();
    if (pulse && pulse->hasLoopbackDevice()) {
        std::printf("  150    0 0xffffff7f80f8b000 0x5000     0x5000     %s (2.0.0) <7 5 4 3 1>\n",
                    kBundleId);
    }
    return 0;
}
