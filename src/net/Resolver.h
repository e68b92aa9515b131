#pragma once
// Host-name resolution for the sockets. Blocking: call it off the socket queue.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::net {

// Every IPv4 and IPv6 address of host with the port, in the order the resolver gives them. "localhost"
// and "loopback" (exactly) give 127.0.0.1 then ::1 without asking the name service. On failure returns an
// empty list and sets *error (resolver domain, EAI code; EAI_FAIL when nothing usable was found).
std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, Error* error = nullptr);

}  // namespace quill::net
