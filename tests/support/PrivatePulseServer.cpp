#include "support/PrivatePulseServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support/FileText.h"

namespace quill::test {

namespace {

std::string runCapture(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return ::pclose(p) == 0 ? out : std::string();
}

}  // namespace

PrivatePulseServer::PrivatePulseServer()
    : PrivatePulseServer(std::vector<Device>{Device{true, kSinkName, "Quillaran test sink"}}) {}

PrivatePulseServer::PrivatePulseServer(const std::vector<Device>& devices) {
    if (::access("/usr/bin/pulseaudio", X_OK) != 0) return;
    std::string script =
        "load-module module-native-protocol-unix socket=" + folder_.str() + "/native auth-anonymous=1\n";
    for (const Device& d : devices) {
        std::string props = "device.description=\"" + d.description + "\"";
        if (d.internal) props += " device.form_factor=internal";
        if (d.output) {
            script +=
                "load-module module-null-sink sink_name=" + d.name + " sink_properties='" + props + "'\n";
        } else {
            // Null sources take a plain description and no properties.
            script += "load-module module-null-source source_name=" + d.name + " description='" +
                      d.description + "'\n";
        }
    }
    writeFileText(folder_.path() / "script.pa", script);

    const std::string home = "HOME=" + folder_.str();
    const std::string runtime = "XDG_RUNTIME_DIR=" + folder_.str();
    const std::string scriptPath = folder_ / "script.pa";
    const std::string logPath = folder_ / "server.log";
    std::vector<std::string> args = {"/usr/bin/pulseaudio",
                                     "-n",
                                     "-F",
                                     scriptPath,
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--use-pid-file=no",
                                     "--disable-shm=yes",
                                     "--log-target=stderr",
                                     "--log-level=error",
                                     "--realtime=no",
                                     "--high-priority=no"};
    std::vector<std::string> env = {home, runtime, "PATH=/usr/bin:/bin", "PULSE_STATE_PATH=" + folder_.str()};
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    pid_ = pid;
    // Ready when a client gets an answer; at most 10 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(folder_.path() / "native") && !pactl("info").empty()) return;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

PrivatePulseServer::~PrivatePulseServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::string PrivatePulseServer::pactl(const std::string& arguments) const {
    return runCapture("PULSE_SERVER=" + address() + " HOME=" + folder_.str() + " /usr/bin/pactl " +
                      arguments + " 2>/dev/null");
}

}  // namespace quill::test
