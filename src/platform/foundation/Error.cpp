#include "platform/foundation/Error.h"

#include <netdb.h>

#include <cstring>

namespace quill::platform::foundation {

std::string Error::localizedDescription() const {
    auto it = userInfo.find(kLocalizedDescriptionKey);
    if (it != userInfo.end()) return it->second;
    return "The operation couldn\xE2\x80\x99t be completed. (" + domain + " error " + std::to_string(code) +
           ".)";
}

std::string Error::localizedFailureReason() const {
    auto it = userInfo.find(kLocalizedFailureReasonKey);
    return it == userInfo.end() ? std::string() : it->second;
}

std::string Error::description() const {
    std::string out =
        "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription() + "\"";
    out += " UserInfo={";
    bool first = true;
    for (const auto& [k, v] : userInfo) {
        if (!first) out += ", ";
        first = false;
        out += k + "=" + v;
    }
    out += "}";
    return out;
}

Error posixError(int err, const std::string& reason) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::map<std::string, std::string> info{{kLocalizedDescriptionKey, text}};
    if (!reason.empty()) info[kLocalizedFailureReasonKey] = reason;
    return Error(kPOSIXErrorDomain, err, std::move(info));
}

Error netdbError(int gaiCode) {
    return Error(kNetDBErrorDomain, gaiCode, {{kLocalizedDescriptionKey, gai_strerror(gaiCode)}});
}

}  // namespace quill::platform::foundation
