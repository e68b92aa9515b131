#include "net/SocketErrors.h"

#include <cerrno>

namespace quill::net {

Error socketError(const std::string& domain, long code, const std::string& description) {
    return Error(domain, code, {{platform::foundation::kLocalizedDescriptionKey, description}});
}

Error errnoError() {
    return posixError(errno);
}

}  // namespace quill::net
