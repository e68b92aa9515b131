#include "platform/security/Authorization.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace quill::platform::security {

namespace {

// Puts fd at target for the exec. dup2() leaves its copy open across exec, but does nothing when fd is
// already target (an application started with standard input closed may have made its first descriptor
// there), and the flag is then cleared by hand. Async-signal-safe.
bool placeForExec(int fd, int target) {
    return fd == target ? ::fcntl(target, F_SETFD, 0) == 0 : ::dup2(fd, target) >= 0;
}

}  // namespace

int spawnWithOutputPipe(const std::vector<std::string>& argv, const std::string& workingDirectory,
                        PrivilegedChild* child, int standardInput) {
    if (argv.empty()) return EINVAL;
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(s.data());
    argp.push_back(nullptr);
    const char* folder = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    // The output pipe, and a pipe on which the child reports why it could not execute the program
    // (its write end closes at a successful exec).
    int out[2], report[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return errno;
    if (::pipe2(report, O_CLOEXEC) != 0) {
        const int err = errno;
        ::close(out[0]);
        ::close(out[1]);
        return err;
    }
    // fork rather than posix_spawn, which cannot set the child's file-mode mask. Between fork and exec
    // the child makes only async-signal-safe calls.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::umask(kPrivilegedFileModeMask);
        const int input = standardInput >= 0 ? standardInput : ::open("/dev/null", O_RDONLY);
        if (input >= 0 && placeForExec(input, STDIN_FILENO) && placeForExec(out[1], STDOUT_FILENO) &&
            (!folder || ::chdir(folder) == 0)) {
            // Every other descriptor closes at the exec (a kernel without this leaves them to their
            // own close-on-exec flags).
            ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            ::execve(argp[0], argp.data(), environ);
        }
        const int err = errno;
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &err, sizeof err);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(out[1]);
    ::close(report[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(report[0]);
        return forkError;
    }
    int err = 0;
    ssize_t n = 0;
    while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        ::close(out[0]);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return err ? err : ECHILD;
    }
    child->pid = pid;
    child->outputFd = out[0];
    return 0;
}

std::shared_ptr<AuthorizationService> AuthorizationService::system() {
    static auto service = std::make_shared<SystemAuthorizationService>();
    return service;
}

SystemAuthorizationService::SystemAuthorizationService(std::string pkexecPath, Rights rights)
    : pkexecPath_(pkexecPath.empty() ? "/usr/bin/pkexec" : std::move(pkexecPath)), rights_(rights) {}

bool SystemAuthorizationService::isRoot() const {
    return rights_ == Rights::Detect ? ::geteuid() == 0 : rights_ == Rights::Root;
}

OSStatus SystemAuthorizationService::create(AuthorizationRef* out) {
    *out = std::make_shared<Authorization>();
    return errAuthorizationSuccess;
}

OSStatus SystemAuthorizationService::copyRights(const AuthorizationRef& ref, const std::string& right,
                                                uint32_t /*flags*/) {
    if (!ref) return errAuthorizationDenied;
    // As root every right is held; otherwise pkexec asks for the password when the program starts, so
    // the right is granted here and checked there.
    if (std::find(ref->rights.begin(), ref->rights.end(), right) == ref->rights.end()) {
        ref->rights.push_back(right);
    }
    return errAuthorizationSuccess;
}

bool SystemAuthorizationService::privilegedLaunchAvailable() {
    return isRoot() || ::access(pkexecPath_.c_str(), X_OK) == 0;
}

OSStatus SystemAuthorizationService::executeWithPrivileges(const AuthorizationRef& ref,
                                                           const PrivilegedLaunchRequest& request,
                                                           PrivilegedChild* child) {
    if (!ref ||
        std::find(ref->rights.begin(), ref->rights.end(), kAuthorizationRightExecute) == ref->rights.end()) {
        return errAuthorizationDenied;
    }
    // pkexec gets the program itself, so that its prompt names what runs as root.
    std::vector<std::string> argv;
    if (!isRoot()) argv.push_back(pkexecPath_);
    argv.push_back(request.path);
    argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
    return spawnWithOutputPipe(argv, request.workingDirectory, child, request.standardInput) == 0
               ? errAuthorizationSuccess
               : errAuthorizationToolExecuteFailure;
}

OSStatus RecordingAuthorizationService::create(AuthorizationRef* out) {
    std::lock_guard lock(mutex_);
    ++creates_;
    if (createStatus != errAuthorizationSuccess) return createStatus;
    *out = std::make_shared<Authorization>();
    return errAuthorizationSuccess;
}

OSStatus RecordingAuthorizationService::copyRights(const AuthorizationRef& ref, const std::string& right,
                                                   uint32_t flags) {
    std::lock_guard lock(mutex_);
    rightRequests_.emplace_back(right, flags);
    if (copyRightsStatus == errAuthorizationSuccess && ref) ref->rights.push_back(right);
    return copyRightsStatus;
}

bool RecordingAuthorizationService::privilegedLaunchAvailable() {
    return available;
}

OSStatus RecordingAuthorizationService::executeWithPrivileges(const AuthorizationRef& ref,
                                                              const PrivilegedLaunchRequest& request,
                                                              PrivilegedChild* child) {
    {
        std::lock_guard lock(mutex_);
        launches_.push_back(request);
        launchRefs_.push_back(ref);
    }
    if (executeStatus != errAuthorizationSuccess) return executeStatus;
    if (whilePrompting) whilePrompting(request);
    std::vector<std::string> argv = substitute;
    if (runAsRecorded) {
        argv = {request.path};
        argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
    }
    return spawnWithOutputPipe(argv, request.workingDirectory, child, request.standardInput) == 0
               ? errAuthorizationSuccess
               : errAuthorizationToolExecuteFailure;
}

std::vector<PrivilegedLaunchRequest> RecordingAuthorizationService::launches() const {
    std::lock_guard lock(mutex_);
    return launches_;
}

int RecordingAuthorizationService::createCount() const {
    std::lock_guard lock(mutex_);
    return creates_;
}

std::vector<std::pair<std::string, uint32_t>> RecordingAuthorizationService::rightRequests() const {
    std::lock_guard lock(mutex_);
    return rightRequests_;
}

std::vector<AuthorizationRef> RecordingAuthorizationService::launchRefs() const {
    std::lock_guard lock(mutex_);
    return launchRefs_;
}

}  // namespace quill::platform::security
