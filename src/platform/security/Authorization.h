#pragma once
// Authorization and privileged execution: obtaining administrator rights and starting one program as
// root with its standard output on a pipe.
//
// On this platform a program runs directly when the process already has root rights, and through
// pkexec (which asks the user for an administrator password) otherwise. pkexec is handed the program
// itself, never a wrapper, so that its prompt names what will run as root; it starts the program in
// root's home folder with its own minimal environment (PATH the system folders), and exits with 126
// when the prompt was dismissed and 127 when authentication failed or no agent could ask. Where neither
// way can work the privileged-launch function counts as missing. Every privileged child starts with
// the file-mode mask 022, so what it creates is readable by all and writable by root alone, whatever
// this user's mask. Tests use RecordingAuthorizationService, which records every launch and never
// raises rights.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quill::platform::security {

using OSStatus = int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;
// The privileged-launch function is not available.
inline constexpr OSStatus errPrivilegedLaunchUnavailable = -70001;

inline constexpr uint32_t kAuthorizationFlagDefaults = 0;
inline constexpr uint32_t kAuthorizationFlagInteractionAllowed = 1;
inline constexpr uint32_t kAuthorizationFlagExtendRights = 2;
inline constexpr uint32_t kAuthorizationFlagPreAuthorize = 16;

inline constexpr const char* kAuthorizationRightExecute = "system.privilege.admin";

// An authorization: the rights granted to it so far.
struct Authorization {
    std::vector<std::string> rights;
};
using AuthorizationRef = std::shared_ptr<Authorization>;

// What a privileged launch starts: the child and the read end of its output pipe (owned by the caller).
struct PrivilegedChild {
    pid_t pid = -1;
    int outputFd = -1;
};

// One privileged launch as asked for.
struct PrivilegedLaunchRequest {
    std::string path;
    std::vector<std::string> arguments;
    // Empty: the caller's. Through pkexec the program starts in root's home folder whatever this says.
    std::string workingDirectory;
    // A descriptor the program reads as its standard input, open until the launch returns; -1:
    // /dev/null.
    int standardInput = -1;
};

class AuthorizationService {
  public:
    virtual ~AuthorizationService() = default;

    // A new authorization with no rights.
    virtual OSStatus create(AuthorizationRef* out) = 0;
    // Asks for one right; with interaction allowed this is where a prompt would appear.
    virtual OSStatus copyRights(const AuthorizationRef& ref, const std::string& right, uint32_t flags) = 0;
    // Whether the privileged-launch function exists here.
    virtual bool privilegedLaunchAvailable() = 0;
    // Starts the program as root; returns at once.
    virtual OSStatus executeWithPrivileges(const AuthorizationRef& ref,
                                           const PrivilegedLaunchRequest& request,
                                           PrivilegedChild* child) = 0;

    // The real service of this machine, shared by the process.
    static std::shared_ptr<AuthorizationService> system();

    // The authorization that every privileged task using this service shares: empty until the first
    // task makes it, then kept as long as the service. Guarded by sharedAuthorizationMutex().
    AuthorizationRef& sharedAuthorization() { return sharedAuthorization_; }
    std::mutex& sharedAuthorizationMutex() { return sharedAuthorizationMutex_; }

  private:
    std::mutex sharedAuthorizationMutex_;
    AuthorizationRef sharedAuthorization_;
};

// The machine's service: direct as root, pkexec otherwise.
class SystemAuthorizationService : public AuthorizationService {
  public:
    enum class Rights { Detect, Root, User };
    // `pkexecPath` empty: /usr/bin/pkexec. `rights` tells whether this process counts as root; tests
    // force User so that a stub stands in for pkexec.
    explicit SystemAuthorizationService(std::string pkexecPath = {}, Rights rights = Rights::Detect);

    OSStatus create(AuthorizationRef* out) override;
    OSStatus copyRights(const AuthorizationRef& ref, const std::string& right, uint32_t flags) override;
    bool privilegedLaunchAvailable() override;
    OSStatus executeWithPrivileges(const AuthorizationRef& ref, const PrivilegedLaunchRequest& request,
                                   PrivilegedChild* child) override;

  private:
    bool isRoot() const;
    std::string pkexecPath_;
    Rights rights_;
};

// Records every call and never raises rights. A launch starts `substitute` (by default "/bin/true") as
// the current user in place of the asked program, or, with runAsRecorded, the asked program itself
// without extra rights. Statuses to return can be set per step.
class RecordingAuthorizationService : public AuthorizationService {
  public:
    OSStatus createStatus = errAuthorizationSuccess;
    OSStatus copyRightsStatus = errAuthorizationSuccess;
    OSStatus executeStatus = errAuthorizationSuccess;
    bool available = true;
    bool runAsRecorded = false;
    std::vector<std::string> substitute{"/bin/true"};
    // Runs at each launch before the program starts, where the administrator's prompt would be open.
    std::function<void(const PrivilegedLaunchRequest&)> whilePrompting;

    OSStatus create(AuthorizationRef* out) override;
    OSStatus copyRights(const AuthorizationRef& ref, const std::string& right, uint32_t flags) override;
    bool privilegedLaunchAvailable() override;
    OSStatus executeWithPrivileges(const AuthorizationRef& ref, const PrivilegedLaunchRequest& request,
                                   PrivilegedChild* child) override;

    std::vector<PrivilegedLaunchRequest> launches() const;
    int createCount() const;
    std::vector<std::pair<std::string, uint32_t>> rightRequests() const;
    std::vector<AuthorizationRef> launchRefs() const;

  private:
    mutable std::mutex mutex_;
    int creates_ = 0;
    std::vector<std::pair<std::string, uint32_t>> rightRequests_;
    std::vector<PrivilegedLaunchRequest> launches_;
    std::vector<AuthorizationRef> launchRefs_;
};

// The file-mode mask of every privileged child.
inline constexpr mode_t kPrivilegedFileModeMask = 022;

// Starts argv[0] (an absolute path) with the given arguments in the working directory (empty: the
// caller's), with this process's environment, the file-mode mask kPrivilegedFileModeMask, its standard
// input on `standardInput` (-1: /dev/null), its standard output on a new pipe and no other descriptor of
// this process. Returns 0 or an errno value (also when the program could not be executed).
int spawnWithOutputPipe(const std::vector<std::string>& argv, const std::string& workingDirectory,
                        PrivilegedChild* child, int standardInput = -1);

}  // namespace quill::platform::security
