#include "platform/security/Authorization.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace quill::platform::security {

int spawnWithOutputPipe(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                        const std::string& workingDirectory, PrivilegedChild* child) {
    if (argv.empty()) return EINVAL;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;

    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string key = entry.substr(0, entry.find('='));
        if (!env.contains(key)) envStrings.push_back(std::move(entry));
    }
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(s.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return rc;
    }
    child->pid = pid;
    child->outputFd = fds[0];
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
    std::vector<std::string> argv;
    if (isRoot()) {
        argv.push_back(request.path);
        argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
        return spawnWithOutputPipe(argv, request.environment, request.workingDirectory, child) == 0
                   ? errAuthorizationSuccess
                   : errAuthorizationToolExecuteFailure;
    }
    // pkexec clears the environment and starts in root's home folder: env(1) puts both back.
    argv = {pkexecPath_, "/usr/bin/env"};
    if (!request.workingDirectory.empty()) argv.push_back("--chdir=" + request.workingDirectory);
    for (const auto& [k, v] : request.environment)
        argv.push_back(k + "=" + v);
    argv.push_back(request.path);
    argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
    return spawnWithOutputPipe(argv, {}, {}, child) == 0 ? errAuthorizationSuccess
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
    std::vector<std::string> argv = substitute;
    if (runAsRecorded) {
        argv = {request.path};
        argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
    }
    return spawnWithOutputPipe(argv,
                               runAsRecorded ? request.environment : std::map<std::string, std::string>{},
                               request.workingDirectory, child) == 0
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
