#pragma once
// Runs one program as root after administrator authorization, in the manner of a task: configured with
// a launch path, arguments and a working folder, launched (returning at once), and polled every 0.1 s
// on the main queue (which the application's main loop drains) until the child has exited and been
// reaped, when "PrivilegedTaskDidTerminateNotification" is posted with the task as object.
// waitUntilExit may also be called, on any thread: whichever of it and the poll reaps the child keeps
// its status, and the other finds it there.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/security/Authorization.h"

namespace quill {

using platform::security::OSStatus;

inline constexpr const char* kPrivilegedTaskDidTerminateNotification =
    "PrivilegedTaskDidTerminateNotification";

class PrivilegedTask : public std::enable_shared_from_this<PrivilegedTask> {
  public:
    using AuthorizationService = platform::security::AuthorizationService;

    // init, initWithLaunchPath:, initWithLaunchPath:arguments:. The service and centre default to the
    // process's.
    static std::shared_ptr<PrivilegedTask> create(std::shared_ptr<AuthorizationService> service = nullptr,
                                                  platform::foundation::NotificationCenter* center = nullptr);
    static std::shared_ptr<PrivilegedTask> create(const std::string& launchPath,
                                                  const std::vector<std::string>& arguments = {},
                                                  std::shared_ptr<AuthorizationService> service = nullptr);
    // Creates, launches and waits for the child.
    static std::shared_ptr<PrivilegedTask> launchedPrivilegedTaskWithLaunchPath(
        const std::string& launchPath, const std::vector<std::string>& arguments = {},
        std::shared_ptr<AuthorizationService> service = nullptr);

    // The authorization shared by every task that uses this service (the process's service for the
    // application), with the administrator right asked for (interaction allowed, extend rights,
    // pre-authorize).
    static platform::security::AuthorizationRef sharedAuthorizationRefWithError(AuthorizationService& service,
                                                                                OSStatus* status);

    OSStatus launch();
    void waitUntilExit();
    void terminate() {}
    void _checkTaskStatus();
    std::string description() const;

    const std::string& launchPath() const { return launchPath_; }
    void setLaunchPath(const std::string& p) { launchPath_ = p; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    void setArguments(const std::vector<std::string>& a) { arguments_ = a; }
    const std::string& currentDirectoryPath() const { return cwd_; }
    void setCurrentDirectoryPath(const std::string& p) { cwd_ = p; }
    // A descriptor the child reads as its standard input, kept open by the caller until launch()
    // returns; -1 (the default): /dev/null.
    void setStandardInput(int fd) { standardInput_ = fd; }
    bool isRunning() const { return isRunning_.load(); }
    pid_t processIdentifier() const { return pid_; }
    int terminationStatus() const { return terminationStatus_.load(); }
    // The read end of the child's output pipe, -1 when not launched; closed with the task.
    int outputFileHandle() const { return outputFd_; }

    ~PrivilegedTask();
    PrivilegedTask(const PrivilegedTask&) = delete;
    PrivilegedTask& operator=(const PrivilegedTask&) = delete;

  private:
    PrivilegedTask(std::shared_ptr<AuthorizationService> service,
                   platform::foundation::NotificationCenter& center);
    // Reaps the child when it has ended, keeping its status; true when it has ended (now or before).
    bool reapIfEnded();

    std::shared_ptr<AuthorizationService> service_;
    platform::foundation::NotificationCenter& center_;
    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::string cwd_;
    int standardInput_ = -1;
    std::atomic<bool> isRunning_{false};
    pid_t pid_ = 0;
    std::atomic<int> terminationStatus_{0};
    // Held while the child is reaped and its status kept.
    std::mutex reapMutex_;
    bool reaped_ = false;
    int outputFd_ = -1;
    // Holds the task until the child has ended.
    std::shared_ptr<platform::dispatch::TimerSource> checkStatusTimer_;
};

}  // namespace quill
