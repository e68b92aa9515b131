#include "net/SocketAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
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

Bytes makeAddressUN(const std::string& path) {
    sockaddr_un sa{};
    // The path and its terminating zero must fit; a shortened path would name another file.
    if (path.empty() || path.size() >= sizeof sa.sun_path || path.find('\0') != std::string::npos) return {};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.data(), path.size());
    const auto* p = reinterpret_cast<const uint8_t*>(&sa);
    return Bytes(p, p + offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

std::string pathFromAddressUN(const Bytes& address) {
    constexpr size_t pathOffset = offsetof(sockaddr_un, sun_path);
    sa_family_t family;
    if (address.size() <= pathOffset) return {};
    std::memcpy(&family, address.data(), sizeof family);
    if (family != AF_UNIX) return {};
    const char* begin = reinterpret_cast<const char*>(address.data()) + pathOffset;
    const size_t n = std::min(address.size() - pathOffset, sizeof(sockaddr_un::sun_path));
    // An abstract address (leading zero) has no file path.
    return std::string(begin, strnlen(begin, n));
}

std::string fileUrlFromPath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            url += char(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

std::string pathFromFileUrl(const std::string& url) {
    if (!url.empty() && url[0] == '/') return url;
    std::string rest;
    if (url.rfind("file://localhost/", 0) == 0) {
        rest = url.substr(16);
    } else if (url.rfind("file:///", 0) == 0) {
        rest = url.substr(7);
    } else {
        return {};
    }
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(uint8_t(rest[i + 1])) &&
            std::isxdigit(uint8_t(rest[i + 2]))) {
            path += char(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (rest[i] == '%') {
            return {};
        } else {
            path += rest[i];
        }
    }
    // A zero byte cannot be part of a file's path.
    if (path.find('\0') != std::string::npos) return {};
    return path;
}

std::string urlFromSockaddrUN(const sockaddr_un& sa, socklen_t length) {
    const auto* p = reinterpret_cast<const uint8_t*>(&sa);
    const std::string path = pathFromAddressUN(Bytes(p, p + std::min<size_t>(length, sizeof sa)));
    return path.empty() ? std::string() : fileUrlFromPath(path);
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
        // "[address]:port" or "name:port" (one colon); other texts with colons are IPv6 addresses.
        const std::string& d = *description;
        std::optional<std::string> portText;
        const auto close = d.find("]");
        if (!d.empty() && d[0] == '[' && close != std::string::npos) {
            name = d.substr(1, close - 1);
            if (d.compare(close, 2, "]:") == 0) portText = d.substr(close + 2);
        } else if (std::count(d.begin(), d.end(), ':') == 1) {
            const auto colon = d.find(':');
            name = d.substr(0, colon);
            portText = d.substr(colon + 1);
        } else {
            name = d;
        }
        if (port == 0 && portText) {
            char* end = nullptr;
            long value = std::strtol(portText->c_str(), &end, 10);
            port = (!portText->empty() && end && *end == '\0' && value >= 1 && value <= 65535)
                       ? uint16_t(value)
                       : 0;
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
