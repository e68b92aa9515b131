#pragma once
// Local interfaces for binding, connecting from a chosen interface and multicast: the addresses an
// interface description stands for, and the index of the interface that owns an address.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Bytes.h"

namespace quill::net {

// The IPv4 and IPv6 address, with the port, that a description names: none gives the wildcard
// addresses, "localhost" and "loopback" the loopback ones, anything else the first IPv4 and the first
// IPv6 address of the machine's interface list whose interface name or numeric address equals the
// text. A family without a match comes back empty; either pointer may be null. The text is taken
// whole (a ":port" suffix is the caller's business).
void interfaceAddresses(const std::optional<std::string>& description, uint16_t port, Bytes* address4,
                        Bytes* address6);

// The index of the interface that owns the address (exactly a sockaddr_in / sockaddr_in6), 0 when
// none does.
unsigned indexOfInterfaceAddr4(const Bytes& address);
unsigned indexOfInterfaceAddr6(const Bytes& address);

}  // namespace quill::net
