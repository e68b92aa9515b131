#include "support/PrivatePulseServer.h"

#include <pulse/simple.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

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

    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_ + "/server.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
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
    std::string out;
    const std::string command =
        "PULSE_SERVER=" + server_ + " HOME=" + dir_ + "/home /usr/bin/pactl " + arguments + " 2>/dev/null";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return ::pclose(p) == 0 ? out : std::string();
}

PrivatePulseServer::~PrivatePulseServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

}  // namespace quill::testing
