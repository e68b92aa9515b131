#pragma once
// Error objects in the shape the rest of the system reports them: a domain, an integer code and a
// dictionary of user information whose well-known keys carry the texts.

#include <map>
#include <string>

namespace quill::platform::foundation {

inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kNetDBErrorDomain = "kCFStreamErrorDomainNetDB";

struct Error {
    std::string domain;
    long code = 0;
    // Ordered so that description() is deterministic.
    std::map<std::string, std::string> userInfo;

    Error() = default;
    Error(std::string d, long c, std::map<std::string, std::string> info = {})
        : domain(std::move(d)), code(c), userInfo(std::move(info)) {}

    // The description text: the user-info description when present, else a generic sentence naming the
    // domain and code.
    std::string localizedDescription() const;
    // The failure reason, empty when absent.
    std::string localizedFailureReason() const;
    // `Error Domain=<domain> Code=<code> "<text>" UserInfo={key=value, ...}`, as log lines print errors.
    std::string description() const;

    bool operator==(const Error&) const = default;
};

// A system-call failure: POSIX domain, errno as the code, the strerror text as the description and
// `reason` (for example "Error in connect() function") as the failure reason when not empty.
Error posixError(int err, const std::string& reason = {});
// A getaddrinfo failure: the resolver domain with the EAI code and its gai_strerror text.
Error netdbError(int gaiCode);

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::Error;
}
