#include "support/PrivatePulseServer.h"

#include <pulse/simple.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ShellCommand.h"

extern char** environ;

namespace quill::testing {

namespace {

bool serverAnswers(const std::string& server) {
    pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 2};
    int err = 0;
    pa_simple* s = pa_simple_new(server.c_str(), "probe", PA_STREAM_RECORD, nullptr, "probe", &spec, nullptr,
                                 nullptr, &err);
    if (!s) return false;
    pa_simple_free(s);
    return true;
}

}  // namespace

PrivatePulseServer::PrivatePulseServer(double startTimeoutSeconds)
    : PrivatePulseServer(std::vector<Device>{}, startTimeoutSeconds) {}

PrivatePulseServer::PrivatePulseServer(const std::vector<Device>& devices, double startTimeoutSeconds) {
    char tmpl[] = "/tmp/quill-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) {
        failure_ = "cannot make a runtime folder";
        return;
    }
    dir_ = tmpl;
    for (const char* sub : {"/run", "/home", "/state"})
        mkdir((dir_ + sub).c_str(), 0700);
    const std::string socket = dir_ + "/native";
    server_ = "unix:" + socket;

    std::vector<std::string> args = {"pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--use-pid-file=no",
                                     "--system=no",
                                     "--disable-shm=yes",
                                     "--log-target=stderr",
                                     "--log-level=0",
                                     "-L",
                                     "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
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
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.starts_with("HOME=") || kv.starts_with("XDG_RUNTIME_DIR=") || kv.starts_with("PULSE_") ||
            kv.starts_with("DBUS_SESSION_BUS_ADDRESS="))
            continue;
        env.push_back(kv);
    }
    env.push_back("HOME=" + dir_ + "/home");
    env.push_back("XDG_RUNTIME_DIR=" + dir_ + "/run");
    env.push_back("PULSE_RUNTIME_PATH=" + dir_ + "/run");
    env.push_back("PULSE_STATE_PATH=" + dir_ + "/state");
    env.push_back("DBUS_SESSION_BUS_ADDRESS=disabled:");

    pid_ = spawnQuietly(std::move(args), &env, dir_ + "/server.log");
    if (pid_ < 0) {
        failure_ = "pulseaudio cannot be started";
        return;
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(startTimeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            failure_ = "pulseaudio exited at start";
            return;
        }
        if (std::filesystem::exists(socket) && serverAnswers(server_)) {
            available_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = "pulseaudio did not answer in time";
}

std::string PrivatePulseServer::pactl(const std::string& arguments) const {
    auto [out, status] = commandOutput("PULSE_SERVER=" + server_ + " HOME=" + dir_ + "/home /usr/bin/pactl " +
                                       arguments + " 2>/dev/null");
    return status == 0 ? out : std::string();
}

PrivatePulseServer::~PrivatePulseServer() {
    endChildProcess(pid_);
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void PrivatePulseServer::pause() const {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void PrivatePulseServer::resume() const {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

}  // namespace quill::testing
