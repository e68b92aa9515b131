#include "audio/PrivilegedTask.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace quill {

using namespace platform::security;
using platform::foundation::NotificationCenter;

PrivilegedTask::PrivilegedTask(std::shared_ptr<AuthorizationService> service, NotificationCenter& center)
    : service_(service ? std::move(service) : AuthorizationService::system()), center_(center) {
    std::error_code ec;
    cwd_ = std::filesystem::current_path(ec).string();
}

PrivilegedTask::~PrivilegedTask() {
    if (checkStatusTimer_) checkStatusTimer_->cancel();
    if (outputFd_ >= 0) ::close(outputFd_);
}

std::shared_ptr<PrivilegedTask> PrivilegedTask::create(std::shared_ptr<AuthorizationService> service,
                                                       NotificationCenter* center) {
    return std::shared_ptr<PrivilegedTask>(
        new PrivilegedTask(std::move(service), center ? *center : NotificationCenter::sharedInstance()));
}

std::shared_ptr<PrivilegedTask> PrivilegedTask::create(const std::string& launchPath,
                                                       const std::vector<std::string>& arguments,
                                                       std::shared_ptr<AuthorizationService> service) {
    auto task = create(std::move(service));
    task->launchPath_ = launchPath;
    task->arguments_ = arguments;
    return task;
}

std::shared_ptr<PrivilegedTask> PrivilegedTask::launchedPrivilegedTaskWithLaunchPath(
    const std::string& launchPath, const std::vector<std::string>& arguments,
    std::shared_ptr<AuthorizationService> service) {
    auto task = create(launchPath, arguments, std::move(service));
    task->launch();
    task->waitUntilExit();
    return task;
}

AuthorizationRef PrivilegedTask::sharedAuthorizationRefWithError(AuthorizationService& service,
                                                                 OSStatus* status) {
    // Kept with the service: a service made later at the same address starts without one.
    std::lock_guard lock(service.sharedAuthorizationMutex());
    OSStatus ignored = 0;
    OSStatus& out = status ? *status : ignored;
    out = errAuthorizationSuccess;
    AuthorizationRef& ref = service.sharedAuthorization();
    if (!ref) {
        out = service.create(&ref);
        if (out != errAuthorizationSuccess) {
            ref.reset();
            return nullptr;
        }
    }
    out = service.copyRights(ref, kAuthorizationRightExecute,
                             kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
                                 kAuthorizationFlagPreAuthorize);
    return ref;
}

OSStatus PrivilegedTask::launch() {
    OSStatus status = 0;
    AuthorizationRef ref = sharedAuthorizationRefWithError(*service_, &status);
    if (status != errAuthorizationSuccess) return status;
    if (!service_->privilegedLaunchAvailable()) return errPrivilegedLaunchUnavailable;

    // The child starts in cwd_; the process's own working folder is never changed, as other threads
    // depend on it.
    PrivilegedChild child;
    status = service_->executeWithPrivileges(ref, {launchPath_, arguments_, cwd_, standardInput_}, &child);
    if (status != errAuthorizationSuccess) return status;

    isRunning_ = true;
    outputFd_ = child.outputFd;
    pid_ = child.pid;
    // The poll runs where the application's main loop runs it, whichever thread launched. Its handler
    // holds the task until the child has ended.
    auto self = shared_from_this();
    checkStatusTimer_ = platform::dispatch::TimerSource::create(platform::dispatch::Queue::main());
    checkStatusTimer_->setEventHandler([self] { self->_checkTaskStatus(); });
    checkStatusTimer_->setTimer(0.1, 0.1, 0.01);
    checkStatusTimer_->resume();
    return status;
}

bool PrivilegedTask::reapIfEnded() {
    std::lock_guard lock(reapMutex_);
    if (reaped_) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return false;
    if (r == pid_) terminationStatus_ = status;
    reaped_ = true;
    isRunning_ = false;
    return true;
}

void PrivilegedTask::waitUntilExit() {
    if (pid_ <= 0) return;
    // Waits without reaping, so that the poll on the main queue may reap it just as well.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    reapIfEnded();
}

void PrivilegedTask::_checkTaskStatus() {
    if (!reapIfEnded()) return;
    auto timer = std::move(checkStatusTimer_);
    center_.post(kPrivilegedTaskDidTerminateNotification, this);
    if (timer) timer->cancel();  // lets go of the task once this handler has returned
}

std::string PrivilegedTask::description() const {
    char head[64];
    std::snprintf(head, sizeof head, "<PrivilegedTask: %p>", static_cast<const void*>(this));
    std::string out = std::string(head) + " " + launchPath_;
    for (const std::string& a : arguments_)
        out += " " + a;
    return out;
}

}  // namespace quill
