#include "platform/foundation/Task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace quill::platform::foundation {
namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Owns the spawn attributes and file actions for the length of one launch.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

Task::Task(std::string launchPath, std::vector<std::string> arguments, TaskOptions options)
    : launchPath_(std::move(launchPath)), arguments_(std::move(arguments)), options_(std::move(options)) {}

Task::~Task() {
    closePipes();
    if (pid_ > 0 && !status_) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            // Still running: a small reaper waits for it so that it never lingers as a zombie.
            std::thread([pid = pid_] {
                int s = 0;
                while (::waitpid(pid, &s, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        }
    }
}

std::map<std::string, std::string> Task::currentEnvironment() {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

bool Task::launch(Error* error) {
    auto fail = [&](int err, const char* reason) {
        if (error) *error = posixError(err, reason);
        return false;
    };
    if (pid_ > 0) return fail(EALREADY, "Task already launched");

    SpawnSetup setup;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]})
            closeFd(*fd);
    };
    if (options_.standardOutput == TaskStream::Pipe && ::pipe2(outPipe, O_CLOEXEC) != 0) {
        return fail(errno, "Error in pipe() function");
    }
    if (options_.standardError == TaskStream::Pipe && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        int err = errno;
        closeAll();
        return fail(err, "Error in pipe() function");
    }

    auto route = [&](TaskStream how, int target, int pipeWrite) {
        switch (how) {
            case TaskStream::Inherit:
                break;
            case TaskStream::Null:
                posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                                 target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
                break;
            case TaskStream::Pipe:
                if (target != STDIN_FILENO)
                    posix_spawn_file_actions_adddup2(&setup.actions, pipeWrite, target);
                break;
            case TaskStream::MergeWithOutput:
                if (target == STDERR_FILENO)
                    posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, target);
                break;
        }
    };
    route(options_.standardInput, STDIN_FILENO, -1);
    route(options_.standardOutput, STDOUT_FILENO, outPipe[1]);
    route(options_.standardError, STDERR_FILENO, errPipe[1]);
    // Whatever the rest of the process opened without close-on-exec stays out of the child too.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    if (!options_.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, options_.workingDirectory.c_str());
    }

    // The child starts with default signal handling and nothing blocked, whatever this process set.
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.push_back(launchPath_.data());
    for (auto& a : arguments_)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    if (options_.environment) {
        for (const auto& [k, v] : *options_.environment)
            envStrings.push_back(k + "=" + v);
        for (auto& s : envStrings)
            envp.push_back(s.data());
        envp.push_back(nullptr);
    }

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, launchPath_.c_str(), &setup.actions, &setup.attr, argv.data(),
                           options_.environment ? envp.data() : environ);
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    if (rc != 0) {
        closeAll();
        return fail(rc, "Error in posix_spawn() function");
    }
    pid_ = pid;
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    return true;
}

void Task::closePipes() {
    closeFd(outFd_);
    closeFd(errFd_);
}

TaskOutput Task::readToEnd() {
    TaskOutput out;
    struct Stream {
        int* fd;
        Bytes* sink;
    };
    Stream streams[2] = {{&outFd_, &out.standardOutput}, {&errFd_, &out.standardError}};
    for (;;) {
        pollfd fds[2];
        Stream* owners[2];
        nfds_t n = 0;
        for (auto& s : streams) {
            if (*s.fd < 0) continue;
            fds[n] = {*s.fd, POLLIN, 0};
            owners[n++] = &s;
        }
        if (n == 0) break;
        int r = ::poll(fds, n, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            uint8_t buf[16384];
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) {
                closeFd(*owners[i]->fd);
            } else {
                owners[i]->sink->insert(owners[i]->sink->end(), buf, buf + got);
            }
        }
    }
    closePipes();
    return out;
}

bool Task::isRunning() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return true;
    // Reaped now, or lost (for example reaped elsewhere): either way it no longer runs.
    status_ = r == pid_ ? status : -1;
    return false;
}

int Task::waitUntilExit() {
    if (pid_ <= 0) return -1;
    if (!status_) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, 0);
        } while (r < 0 && errno == EINTR);
        status_ = r == pid_ ? status : -1;
    }
    return *status_;
}

bool Task::sendSignal(int signal) {
    if (pid_ <= 0 || status_) return false;
    return ::kill(pid_, signal) == 0;
}

int Task::exitCode() const {
    if (!status_ || *status_ < 0) return -1;
    if (WIFEXITED(*status_)) return WEXITSTATUS(*status_);
    if (WIFSIGNALED(*status_)) return 128 + WTERMSIG(*status_);
    return -1;
}

std::optional<TaskResult> runTask(const std::string& launchPath, const std::vector<std::string>& arguments,
                                  const TaskOptions& options, Error* error) {
    Task task(launchPath, arguments, options);
    if (!task.launch(error)) return std::nullopt;
    TaskOutput output = task.readToEnd();
    TaskResult result;
    result.waitStatus = task.waitUntilExit();
    result.exitCode = task.exitCode();
    result.standardOutput = std::move(output.standardOutput);
    result.standardError = std::move(output.standardError);
    return result;
}

}  // namespace quill::platform::foundation
