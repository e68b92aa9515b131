#include "support/PrivateVideoPipeWire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/ChildProcess.h"
#include "support/FileText.h"
#include "support/ShellCommand.h"

namespace quill::testing {

namespace {

// The daemon: the native protocol, the factories that client streams (client-node, adapter) and
// WirePlumber (metadata, links, session manager) need, and the access module that gives each client its
// permissions. No device, no driver of its own: a video producer drives its consumers.
constexpr const char* kDaemonConfig =
    "context.properties = { core.daemon = true core.name = pipewire-0 }\n"
    "context.spa-libs = {\n"
    "    support.* = support/libspa-support\n"
    "    video.convert.* = videoconvert/libspa-videoconvert\n"
    "    audio.convert.* = audioconvert/libspa-audioconvert\n"
    "}\n"
    "context.modules = [\n"
    "    { name = libpipewire-module-protocol-native }\n"
    "    { name = libpipewire-module-metadata }\n"
    "    { name = libpipewire-module-spa-node-factory }\n"
    "    { name = libpipewire-module-client-node }\n"
    "    { name = libpipewire-module-access }\n"
    "    { name = libpipewire-module-adapter }\n"
    "    { name = libpipewire-module-link-factory }\n"
    "    { name = libpipewire-module-session-manager }\n"
    "]\n";

}  // namespace

PrivateVideoPipeWire::PrivateVideoPipeWire(double startTimeoutSeconds) {
    for (const char* program : {"pipewire", "wireplumber", "pw-cli"}) {
        if (!onPath(program)) {
            failure_ = std::string(program) + " is not installed (Debian packages pipewire, wireplumber)";
            return;
        }
    }
    char tmpl[] = "/tmp/quill-pwvideo-XXXXXX";
    if (!mkdtemp(tmpl)) {
        failure_ = "cannot make a runtime folder";
        return;
    }
    dir_ = tmpl;
    for (const char* sub : {"/run", "/home", "/state", "/config"})
        mkdir((dir_ + sub).c_str(), 0700);
    runtimeDir_ = dir_ + "/run";
    writeFileText(dir_ + "/pipewire.conf", kDaemonConfig);
    writeWirePlumberConfig(dir_);

    const std::vector<std::string> env = privateEnvironment(dir_);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(startTimeoutSeconds);
    auto waitFor = [&](auto&& ready, const char* what) {
        while (!ready()) {
            if (anyExited()) return false;
            if (std::chrono::steady_clock::now() > deadline) {
                failure_ = what;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    };
    if (!spawn("pipewire", {"pipewire", "-c", dir_ + "/pipewire.conf"}, env) ||
        !waitFor([&] { return std::filesystem::exists(runtimeDir_ + "/pipewire-0"); },
                 "pipewire did not start in time") ||
        !spawn("wireplumber", {"wireplumber", "-c", dir_ + "/wireplumber.conf"}, env))
        return;
    // WirePlumber is ready once it has published the "default" metadata, which its main configuration
    // makes before the policy's.
    const std::string list = "XDG_RUNTIME_DIR=" + runtimeDir_ + " HOME=" + dir_ +
                             "/home timeout -k 1 3 pw-cli ls Metadata 2>/dev/null";
    if (!waitFor([&] { return commandOutput(list).first.find("\"default\"") != std::string::npos; },
                 "wireplumber did not start in time"))
        return;
    available_ = true;
}

PrivateVideoPipeWire::~PrivateVideoPipeWire() {
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void PrivateVideoPipeWire::stop() {
    processes_.endAll();
    available_ = false;
}

pid_t PrivateVideoPipeWire::daemonPid() const {
    return processes_.pid("pipewire");
}

int PrivateVideoPipeWire::connectTo(const std::string& runtimeDir) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = runtimeDir + "/pipewire-0";
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool PrivateVideoPipeWire::spawn(const std::string& name, std::vector<std::string> args,
                                 const std::vector<std::string>& env) {
    return processes_.spawn(dir_, name, std::move(args), env, failure_);
}

bool PrivateVideoPipeWire::anyExited() {
    return processes_.anyExited(failure_);
}

}  // namespace quill::testing
