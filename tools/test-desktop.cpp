// A stand-in Wayland desktop for people to try the screen sharing of the sender without one: a private
// PipeWire with a moving test picture as its screen, and Debian's portal frontend on a private session bus
// with a dialog that answers as told. It prints the session bus to start the sender with, and runs until
// Ctrl-C.
// Usage: test-desktop [grant|cancel|fail] [WIDTHxHEIGHT]
//        then: DBUS_SESSION_BUS_ADDRESS=<printed> QUILLARAN_DISPLAY=portal build/quillaran
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/PortalDesktop.h"
#include "support/PrivateVideoPipeWire.h"
#include "support/TestVideoSource.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    using namespace quill::testing;
    PortalDesktop::Answer answer = PortalDesktop::Answer::Grant;
    TestVideoSource::Options picture;
    picture.width = 1280;
    picture.height = 720;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int w = 0, h = 0;
        if (arg == "grant") {
            answer = PortalDesktop::Answer::Grant;
        } else if (arg == "cancel") {
            answer = PortalDesktop::Answer::Cancel;
        } else if (arg == "fail") {
            answer = PortalDesktop::Answer::Fail;
        } else if (std::sscanf(arg.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0 && w <= 8192 &&
                   h <= 8192) {
            picture.width = w;
            picture.height = h;
        } else {
            std::fprintf(stderr, "usage: %s [grant|cancel|fail] [WIDTHxHEIGHT]\n", argv[0]);
            return 2;
        }
    }
    PrivateVideoPipeWire pipewire;
    if (!pipewire.available()) {
        std::fprintf(stderr, "test-desktop: no private PipeWire: %s\n", pipewire.failure().c_str());
        return 1;
    }
    TestVideoSource screen(pipewire.runtimeDir(), picture);
    const uint32_t node = screen.nodeId();
    if (!screen.running() || node == 0xffffffffu) {
        std::fprintf(stderr, "test-desktop: no test picture: %s\n", screen.failure().c_str());
        return 1;
    }
    PortalDesktop desktop(pipewire.runtimeDir());
    if (!desktop.available()) {
        std::fprintf(stderr, "test-desktop: no portal: %s\n", desktop.failure().c_str());
        return 1;
    }
    desktop.setAnswer(answer, node, picture.width, picture.height);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("DBUS_SESSION_BUS_ADDRESS=%s\n", desktop.busAddress().c_str());
    std::fflush(stdout);
    size_t reported = 0;
    while (!g_stop) {
        const auto starts = desktop.starts();
        for (; reported < starts.size(); ++reported) {
            const auto& s = starts[reported];
            std::printf("share asked: cursor mode %u, persist mode %u, %s, parent window \"%s\"\n",
                        s.cursorMode, s.persistMode,
                        s.restored ? "restored without the dialog" : "dialog answered",
                        s.parentWindow.c_str());
            std::fflush(stdout);
        }
        usleep(100'000);
    }
    return 0;
}
