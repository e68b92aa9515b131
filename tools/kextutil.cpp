// Stand-in for the driver loading tool: "kextutil <path>/Soundflower.kext" loads the loopback device
// (a null sink named "Soundflower", described "Soundflower (2ch)") into the sound server of the user
// who started the application. Run with administrator rights through pkexec or sudo, it first drops
// to that user, whose server it is.

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/coreaudio/PulseAudioBackend.h"

namespace {

int load() {
    // An administrator's tool, run once: a busy sound server gets more time than the application gives it.
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

// The user who asked for the rights, when running as root on someone's behalf.
uid_t invokingUser() {
    for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
        if (const char* v = std::getenv(name)) {
            char* end = nullptr;
            unsigned long uid = std::strtoul(v, &end, 10);
            if (end && *end == '\0' && uid != 0) return static_cast<uid_t>(uid);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kextutil <driver bundle>\n");
        return 64;
    }
    if (std::filesystem::path(argv[argc - 1]).filename() != "Soundflower.kext") {
        std::fprintf(stderr, "kextutil: %s: no such driver here\n", argv[argc - 1]);
        return 1;
    }
    const uid_t user = ::geteuid() == 0 ? invokingUser() : 0;
    if (user == 0) return load();

    const passwd* pw = ::getpwuid(user);
    if (!pw) return 1;
    const gid_t gid = pw->pw_gid;
    const std::string name = pw->pw_name, home = pw->pw_dir;
    pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        if (::setgid(gid) != 0 || ::initgroups(name.c_str(), gid) != 0 || ::setuid(user) != 0) _exit(1);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", ("/run/user/" + std::to_string(user)).c_str(), 1);
        ::unsetenv("PULSE_SERVER");
        _exit(load());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
