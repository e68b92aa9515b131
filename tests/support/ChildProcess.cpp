#include "support/ChildProcess.h"

#include "support/FileText.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace quill::testing {

pid_t spawnQuietly(std::vector<std::string> args, const std::vector<std::string>* env,
                   const std::string& errorLog, int outputFd) {
    if (args.empty()) return -1;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envCopy;
    std::vector<char*> envp;
    if (env) {
        envCopy = *env;
        for (auto& e : envCopy)
            envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (errorLog.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::vector<std::string> privateEnvironment(const std::string& dir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.starts_with("HOME=") || kv.starts_with("XDG_") || kv.starts_with("PULSE_") ||
            kv.starts_with("PIPEWIRE_") || kv.starts_with("WIREPLUMBER_") ||
            kv.starts_with("DBUS_SESSION_BUS_ADDRESS=") || kv.starts_with("DISPLAY=") ||
            kv.starts_with("WAYLAND_DISPLAY="))
            continue;
        env.push_back(kv);
    }
    for (const char* entry :
         {"HOME=/home", "XDG_RUNTIME_DIR=/run", "XDG_CONFIG_HOME=/config", "XDG_STATE_HOME=/state",
          "XDG_DATA_HOME=/state", "PULSE_RUNTIME_PATH=/run", "PULSE_STATE_PATH=/state"}) {
        const std::string kv = entry;
        const size_t eq = kv.find('=');
        env.push_back(kv.substr(0, eq + 1) + dir + kv.substr(eq + 1));
    }
    env.push_back("DBUS_SESSION_BUS_ADDRESS=disabled:");
    return env;
}

void endChildProcess(pid_t pid, double graceSeconds) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ServerProcesses::spawn(const std::string& logFolder, const std::string& name,
                            std::vector<std::string> args, const std::vector<std::string>& env,
                            std::string& failure) {
    const pid_t pid = spawnQuietly(std::move(args), &env, logFolder + "/" + name + ".log");
    if (pid < 0) {
        failure = name + " cannot be started";
        return false;
    }
    list_.emplace_back(name, pid);
    return true;
}

bool ServerProcesses::anyExited(std::string& failure) {
    for (auto& [name, pid] : list_) {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            failure = name + " exited at start (see its log)";
            return true;
        }
    }
    return false;
}

void ServerProcesses::signalAll(int sig) const {
    for (const auto& [name, pid] : list_) {
        if (pid > 0) ::kill(pid, sig);
    }
}

void ServerProcesses::endAll() {
    for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
        if (it->second > 0) endChildProcess(it->second);
        it->second = -1;
    }
}

pid_t ServerProcesses::pid(const std::string& name) const {
    for (const auto& [n, pid] : list_)
        if (n == name && pid > 0) return pid;
    return -1;
}

void writeWirePlumberConfig(const std::string& dir) {
    writeFileText(dir + "/wireplumber.conf",
                  "context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }\n"
                  "context.spa-libs = {\n"
                  "    support.* = support/libspa-support\n"
                  "    video.convert.* = videoconvert/libspa-videoconvert\n"
                  "    audio.convert.* = audioconvert/libspa-audioconvert\n"
                  "}\n"
                  "context.modules = [\n"
                  "    { name = libpipewire-module-protocol-native }\n"
                  "    { name = libpipewire-module-client-node }\n"
                  "    { name = libpipewire-module-client-device }\n"
                  "    { name = libpipewire-module-adapter }\n"
                  "    { name = libpipewire-module-metadata }\n"
                  "    { name = libpipewire-module-session-manager }\n"
                  "]\n"
                  "wireplumber.components = [\n"
                  "    { name = libwireplumber-module-lua-scripting, type = module }\n"
                  "    { name = main.lua, type = config/lua }\n"
                  "    { name = policy.lua, type = config/lua }\n"
                  "]\n");
    // Read after WirePlumber's own main.lua.d files of lower numbers, before the one that enables them.
    writeFileText(dir + "/config/wireplumber/main.lua.d/51-quillaran-test.lua",
                  "alsa_monitor.enabled = false\n"
                  "v4l2_monitor.enabled = false\n"
                  "libcamera_monitor.enabled = false\n"
                  "default_access.properties[\"enable-flatpak-portal\"] = false\n");
}

}  // namespace quill::testing
