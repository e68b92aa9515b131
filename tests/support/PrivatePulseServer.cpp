#include "support/PrivatePulseServer.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/ChildProcess.h"
#include "support/ShellCommand.h"

namespace quill::testing {

namespace {

// The server string after "<label>: " in pactl info, "" when absent.
std::string infoField(const std::string& info, const std::string& label) {
    const size_t at = info.find(label + ": ");
    if (at == std::string::npos) return {};
    const size_t start = at + label.size() + 2;
    return info.substr(start, info.find('\n', start) - start);
}

}  // namespace

PrivatePulseServer::PrivatePulseServer(double startTimeoutSeconds)
    : PrivatePulseServer(std::vector<Device>{}, startTimeoutSeconds) {}

PrivatePulseServer::PrivatePulseServer(const std::vector<Device>& devices, double startTimeoutSeconds) {
    const char* forced = std::getenv("QUILLARAN_TEST_SOUND_SERVER");
    kind_ = forced ? forced : "";
    if (kind_.empty()) {
        if (onPath("pulseaudio")) {
            kind_ = "pulseaudio";
        } else if (onPath("pipewire") && onPath("pipewire-pulse") && onPath("wireplumber")) {
            kind_ = "pipewire";
        } else {
            failure_ = "neither pulseaudio nor pipewire-pulse with wireplumber is installed";
            return;
        }
    } else if (kind_ != "pulseaudio" && kind_ != "pipewire") {
        failure_ = "QUILLARAN_TEST_SOUND_SERVER is \"" + kind_ + "\", not pulseaudio or pipewire";
        return;
    }
    if (!onPath("pactl")) {
        failure_ = "pactl (Debian package pulseaudio-utils) is not installed";
        return;
    }

    char tmpl[] = "/tmp/quill-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) {
        failure_ = "cannot make a runtime folder";
        return;
    }
    dir_ = tmpl;
    for (const char* sub : {"/run", "/home", "/state", "/config"})
        mkdir((dir_ + sub).c_str(), 0700);
    server_ = "unix:" + dir_ + "/native";

    const std::vector<std::string> env = privateEnvironment(dir_);
    const bool started = kind_ == "pipewire" ? startPipeWire(devices, env, startTimeoutSeconds)
                                             : startPulseAudio(devices, env);
    if (!started || !waitUntilReady(devices, startTimeoutSeconds)) return;
    available_ = true;
}

bool PrivatePulseServer::startPulseAudio(const std::vector<Device>& devices,
                                         const std::vector<std::string>& env) {
    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--system=no",
        "--disable-shm=yes",
        "--log-target=stderr",
        "--log-level=0",
        "-L",
        "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1",
        "-L",
        std::string("module-null-sink sink_name=") + kSinkName};
    for (const Device& d : devices) {
        args.push_back("-L");
        if (d.output) {
            std::string props = "device.description=\"" + d.description + "\"";
            if (d.internal) props += " device.form_factor=internal";
            args.push_back("module-null-sink sink_name=" + d.name + " sink_properties='" + props + "'");
        } else {
            // Null sources take a plain description and no properties.
            args.push_back("module-null-source source_name=" + d.name + " description='" + d.description +
                           "'");
        }
    }
    return spawn("pulseaudio", std::move(args), env);
}

bool PrivatePulseServer::spawn(const std::string& name, std::vector<std::string> args,
                               const std::vector<std::string>& env) {
    return processes_.spawn(dir_, name, std::move(args), env, failure_);
}

bool PrivatePulseServer::anyExited() {
    return processes_.anyExited(failure_);
}

bool PrivatePulseServer::waitUntilReady(const std::vector<Device>& devices, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    bool ownSource = false;
    for (const Device& d : devices)
        ownSource = ownSource || !d.output;
    auto ready = [&] {
        const std::string sinks = pactl("list short sinks");
        const std::string sources = pactl("list short sources");
        if (sinks.find(std::string("\t") + kSinkName + "\t") == std::string::npos) return false;
        for (const Device& d : devices) {
            if ((d.output ? sinks : sources).find("\t" + d.name + "\t") == std::string::npos) return false;
        }
        // PipeWire's session manager has chosen the defaults. It has no monitor as its fallback source,
        // as PulseAudio has, so the test sink's is made the default where no source is asked for.
        const std::string info = pactl("info");
        const std::string sink = infoField(info, "Default Sink");
        if (sink.empty() || sink.starts_with("@")) return false;
        if (kind_ != "pipewire" || ownSource) return true;
        const std::string monitor = std::string(kSinkName) + ".monitor";
        if (infoField(info, "Default Source") == monitor) return true;
        pactl("set-default-source " + monitor);
        return false;
    };
    while (std::chrono::steady_clock::now() < deadline) {
        if (anyExited()) return false;
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = kind_ + " did not answer in time";
    return false;
}

std::string PrivatePulseServer::pactl(const std::string& arguments) const {
    auto [out, status] = commandOutput("PULSE_SERVER=" + server_ + " HOME=" + dir_ +
                                       "/home timeout -k 1 5 pactl " + arguments + " 2>/dev/null");
    return status == 0 ? out : std::string();
}

PrivatePulseServer::~PrivatePulseServer() {
    resume();  // a stopped process would not see the request to end
    processes_.endAll();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void PrivatePulseServer::pause() const {
    processes_.signalAll(SIGSTOP);
}

void PrivatePulseServer::resume() const {
    processes_.signalAll(SIGCONT);
}

}  // namespace quill::testing
