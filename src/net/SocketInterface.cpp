#include "net/SocketInterface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "net/SocketAddress.h"

namespace quill::net {

namespace {

// Calls visit for each interface entry with an address, in the machine's order, until it returns
// false.
void forEachInterfaceAddress(const std::function<bool(const ifaddrs&)>& visit) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (it->ifa_addr && !visit(*it)) break;
    }
    freeifaddrs(list);
}

// The index of the first interface whose entry of the family holds the same address bytes (length
// bytes at offset in the socket address) as address, which must be exactly size bytes of that family.
unsigned indexOfInterfaceOwning(const Bytes& address, int family, size_t size, size_t offset, size_t length) {
    if (address.size() != size || addressFamily(address) != family) return 0;
    unsigned index = 0;
    forEachInterfaceAddress([&](const ifaddrs& entry) {
        if (entry.ifa_addr->sa_family != family) return true;
        const auto* bytes = reinterpret_cast<const uint8_t*>(entry.ifa_addr);
        if (std::memcmp(bytes + offset, address.data() + offset, length) != 0) return true;
        index = if_nametoindex(entry.ifa_name);
        return false;
    });
    return index;
}

}  // namespace

void interfaceAddresses(const std::optional<std::string>& description, uint16_t port, Bytes* address4,
                        Bytes* address6) {
    Bytes a4, a6;
    if (!description) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        a4 = makeAddress4(any, port);
        a6 = makeAddress6(in6addr_any, port);
    } else if (*description == "localhost" || *description == "loopback") {
        a4 = loopbackAddress4(port);
        a6 = loopbackAddress6(port);
    } else {
        const std::string& name = *description;
        forEachInterfaceAddress([&](const ifaddrs& entry) {
            const int family = entry.ifa_addr->sa_family;
            if (family == AF_INET && a4.empty()) {
                sockaddr_in sa;
                std::memcpy(&sa, entry.ifa_addr, sizeof sa);
                if (name == entry.ifa_name || name == hostFromSockaddr4(sa))
                    a4 = makeAddress4(sa.sin_addr, port);
            } else if (family == AF_INET6 && a6.empty()) {
                sockaddr_in6 sa;
                std::memcpy(&sa, entry.ifa_addr, sizeof sa);
                if (name == entry.ifa_name || name == hostFromSockaddr6(sa))
                    a6 = makeAddress6(sa.sin6_addr, port, sa.sin6_scope_id);
            }
            return a4.empty() || a6.empty();
        });
    }
    if (address4) *address4 = std::move(a4);
    if (address6) *address6 = std::move(a6);
}

unsigned indexOfInterfaceAddr4(const Bytes& address) {
    return indexOfInterfaceOwning(address, AF_INET, sizeof(sockaddr_in), offsetof(sockaddr_in, sin_addr),
                                  sizeof(in_addr));
}

unsigned indexOfInterfaceAddr6(const Bytes& address) {
    return indexOfInterfaceOwning(address, AF_INET6, sizeof(sockaddr_in6), offsetof(sockaddr_in6, sin6_addr),
                                  sizeof(in6_addr));
}

}  // namespace quill::net
