#pragma once
// Authorization and privileged execution: obtaining administrator rights and starting one program as
// root with its standard output on a pipe.
//
// On this platform a program runs directly when the process already has root rights, and through
// pkexec (which asks the user for an administrator password) otherwise. Where neither can work the
// privileged-launch function counts as missing. Tests use RecordingAuthorizationService, which records
// every launch and never raises rights.

#include <sys/types.h>

#include <cstdint>
#include <map>
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
    std::string workingDirectory;  // empty: the caller's
    // Variables set in the child's environment on top of the caller's.
    std::map<std::string, std::string> environment;
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

// Starts argv[0] (an absolute path) with the given arguments, extra environment and working directory,
// its standard input on /dev/null and its standard output on a new pipe. Returns 0 or an errno value.
int spawnWithOutputPipe(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                        const std::string& workingDirectory, PrivilegedChild* child);

}  // namespace quill::platform::security
