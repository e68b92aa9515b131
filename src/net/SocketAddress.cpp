#include "net/SocketAddress.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "net/SocketInterface.h"

namespace quill::net {

Bytes makeAddress4(const in_addr& addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    const auto* p = reinterpret_cast<const uint8_t*>(&sa);
    return Bytes(p, p + sizeof sa);
}

Bytes makeAddress6(const in6_addr& addr, uint16_t port, uint32_t scope) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = addr;
    sa.sin6_scope_id = scope;
    const auto* p = reinterpret_cast<const uint8_t*>(&sa);
    return Bytes(p, p + sizeof sa);
}

Bytes loopbackAddress4(uint16_t port) {
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK);
    return makeAddress4(a, port);
}

Bytes loopbackAddress6(uint16_t port) {
    return makeAddress6(in6addr_loopback, port);
}

int addressFamily(const Bytes& address) {
    if (address.size() < sizeof(sa_family_t)) return AF_UNSPEC;
    sa_family_t family;
    std::memcpy(&family, address.data(), sizeof family);
    if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) return AF_INET;
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) return AF_INET6;
    return AF_UNSPEC;
}

bool isIPv4Address(const Bytes& address) {
    return addressFamily(address) == AF_INET;
}
bool isIPv6Address(const Bytes& address) {
    return addressFamily(address) == AF_INET6;
}

std::string hostFromSockaddr4(const sockaddr_in& sa) {
    char buf[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf)) return {};
    return buf;
}

std::string hostFromSockaddr6(const sockaddr_in6& sa) {
    char buf[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &sa.sin6_addr, buf, sizeof buf)) return {};
    return buf;
}

uint16_t portFromSockaddr4(const sockaddr_in& sa) {
    return ntohs(sa.sin_port);
}
uint16_t portFromSockaddr6(const sockaddr_in6& sa) {
    return ntohs(sa.sin6_port);
}

bool getHost(const Bytes& address, std::string* host, uint16_t* port, int* family) {
    int f = addressFamily(address);
    if (family) *family = f;
    if (f == AF_INET) {
        sockaddr_in sa;
        std::memcpy(&sa, address.data(), sizeof sa);
        if (host) *host = hostFromSockaddr4(sa);
        if (port) *port = portFromSockaddr4(sa);
        return true;
    }
    if (f == AF_INET6) {
        sockaddr_in6 sa;
        std::memcpy(&sa, address.data(), sizeof sa);
        if (host) *host = hostFromSockaddr6(sa);
        if (port) *port = portFromSockaddr6(sa);
        return true;
    }
    if (host) host->clear();
    if (port) *port = 0;
    return false;
}

std::string hostFromAddress(const Bytes& address) {
    std::string host;
    getHost(address, &host, nullptr);
    return host;
}

uint16_t portFromAddress(const Bytes& address) {
    uint16_t port = 0;
    getHost(address, nullptr, &port);
    return port;
}

void setAddressPort(Bytes& address, uint16_t port) {
    int f = addressFamily(address);
    uint16_t netPort = htons(port);
    if (f == AF_INET) {
        std::memcpy(address.data() + offsetof(sockaddr_in, sin_port), &netPort, sizeof netPort);
    } else if (f == AF_INET6) {
        std::memcpy(address.data() + offsetof(sockaddr_in6, sin6_port), &netPort, sizeof netPort);
    }
}

namespace {

Bytes endpointOf(int fd, bool peer) {
    if (fd < 0) return {};
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len)
                  : getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (rc != 0) return {};
    size_t size = ss.ss_family == AF_INET    ? sizeof(sockaddr_in)
                  : ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6)
                                             : std::min<size_t>(len, sizeof ss);
    const auto* p = reinterpret_cast<const uint8_t*>(&ss);
    return Bytes(p, p + size);
}

}  // namespace

Bytes peerAddressOf(int fd) {
    return endpointOf(fd, true);
}
Bytes localAddressOf(int fd) {
    return endpointOf(fd, false);
}

void getInterfaceAddress(const std::optional<std::string>& description, uint16_t port, Bytes* address4,
                         Bytes* address6) {
    std::optional<std::string> name;
    if (description) {
        // "name:port" - only the first colon-separated component names the interface.
        const std::string& d = *description;
        auto colon = d.find(':');
        name = d.substr(0, colon);
        if (port == 0 && colon != std::string::npos) {
            std::string rest = d.substr(colon + 1);
            auto second = rest.find(':');
            rest = rest.substr(0, second);
            char* end = nullptr;
            long value = std::strtol(rest.c_str(), &end, 10);
            port =
                (!rest.empty() && end && *end == '\0' && value >= 1 && value <= 65535) ? uint16_t(value) : 0;
        }
    }
    interfaceAddresses(name, port, address4, address6);
}

const Bytes& CRLFData() {
    static const Bytes b{0x0D, 0x0A};
    return b;
}
const Bytes& CRData() {
    static const Bytes b{0x0D};
    return b;
}
const Bytes& LFData() {
    static const Bytes b{0x0A};
    return b;
}
const Bytes& ZeroData() {
    static const Bytes b{0x00};
    return b;
}

}  // namespace quill::net
