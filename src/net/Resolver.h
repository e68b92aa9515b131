#pragma once
// Host-name resolution for the sockets. lookupHost blocks: call it off the socket queue, or let
// lookupHostAsync run it on the global default-priority queue.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::net {

// The kind of socket the addresses are for; the resolver is asked for that socket type and protocol.
enum class SocketKind { Stream, Datagram };

// Every IPv4 and IPv6 address of host with the port, in the order the resolver gives them. "localhost"
// and "loopback" (exactly) give 127.0.0.1 then ::1 without asking the name service. On failure returns an
// empty list and sets *error (resolver domain, EAI code; EAI_FAIL when nothing usable was found).
std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, Error* error = nullptr);
std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, SocketKind kind,
                              Error* error = nullptr);

// lookupHost on the global default-priority queue; completion(addresses, error) then runs on
// completionQueue (error set exactly when the list is empty).
using LookupCompletion = std::function<void(std::vector<Bytes> addresses, std::optional<Error> error)>;
void lookupHostAsync(std::string host, uint16_t port, SocketKind kind,
                     platform::dispatch::QueuePtr completionQueue, LookupCompletion completion);

// The first IPv4 and the first IPv6 address of a numeric host text (no name service), with the port;
// both empty when the text is no numeric address. Either pointer may be null.
void numericHostAddresses(const std::string& host, uint16_t port, SocketKind kind, Bytes* address4,
                          Bytes* address6);

}  // namespace quill::net
