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

constexpr const char* kWirePlumberConfig =
    "context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }\n"
    "context.spa-libs = {\n"
    "    support.* = support/libspa-support\n"
    "    video.convert.* = videoconvert/libspa-videoconvert\n"
    "    audio.convert.* = audioconvert/libspa-audioconvert\n"
    "}\n"
    "context.modules = [\n"
    "    { name = libpipewire-module-protocol-native }\n"
    "    { name = libpipewire-module-client-node }\n"
    "    { name = libpipewire-module-adapter }\n"
    "    { name = libpipewire-module-metadata }\n"
    "    { name = libpipewire-module-session-manager }\n"
    "]\n"
    "wireplumber.components = [\n"
    "    { name = libwireplumber-module-lua-scripting, type = module }\n"
    "    { name = main.lua, type = config/lua }\n"
    "    { name = policy.lua, type = config/lua }\n"
    "]\n";

// Read after WirePlumber's own main.lua.d files of lower numbers, before the one that enables them: no
// device monitors, no portal permission store (which would need the session bus).
constexpr const char* kWirePlumberOverrides =
    "alsa_monitor.enabled = false\n"
    "v4l2_monitor.enabled = false\n"
    "libcamera_monitor.enabled = false\n"
    "default_access.properties[\"enable-flatpak-portal\"] = false\n";

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
    writeFileText(dir_ + "/wireplumber.conf", kWirePlumberConfig);
    writeFileText(dir_ + "/config/wireplumber/main.lua.d/51-quillaran-test.lua", kWirePlumberOverrides);

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
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        if (it->second > 0) endChildProcess(it->second);
        it->second = -1;
    }
    available_ = false;
}

pid_t PrivateVideoPipeWire::daemonPid() const {
    for (const auto& [name, pid] : processes_)
        if (name == "pipewire") return pid;
    return -1;
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
    const pid_t pid = spawnQuietly(std::move(args), &env, dir_ + "/" + name + ".log");
    if (pid < 0) {
        failure_ = name + " cannot be started";
        return false;
    }
    processes_.emplace_back(name, pid);
    return true;
}

bool PrivateVideoPipeWire::anyExited() {
    for (auto& [name, pid] : processes_) {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            failure_ = name + " exited at start (see its log)";
            return true;
        }
    }
    return false;
}

}  // namespace quill::testing
