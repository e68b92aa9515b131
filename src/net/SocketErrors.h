#pragma once
// Error builders shared by the socket classes: errors in a socket class's own domain carry the text as
// their description; system-call failures are POSIX errors naming the call (see foundation/Error.h).

#include <string>

#include "platform/foundation/Error.h"

namespace quill::net {

using platform::foundation::netdbError;
using platform::foundation::posixError;

// An error of the socket class's own domain with the given code and description.
Error socketError(const std::string& domain, long code, const std::string& description);

// The POSIX error of the current errno with no failure reason.
Error errnoError();

}  // namespace quill::net
