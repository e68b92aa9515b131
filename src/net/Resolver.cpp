#include "net/Resolver.h"

#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "net/SocketAddress.h"
#include "net/SocketErrors.h"

namespace quill::net {

std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, Error* error) {
    std::vector<Bytes> out;
    if (host == "localhost" || host == "loopback") {
        out.push_back(loopbackAddress4(port));
        out.push_back(loopbackAddress6(port));
        return out;
    }
    char service[8];
    std::snprintf(service, sizeof service, "%hu", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), service, &hints, &res);
    if (rc != 0) {
        if (error) *error = netdbError(rc);
        return out;
    }
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* p = reinterpret_cast<const uint8_t*>(ai->ai_addr);
            out.emplace_back(p, p + sizeof(sockaddr_in));
        } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
            const auto* p = reinterpret_cast<const uint8_t*>(ai->ai_addr);
            Bytes a(p, p + sizeof(sockaddr_in6));
            if (portFromAddress(a) == 0) setAddressPort(a, port);
            out.push_back(std::move(a));
        }
    }
    freeaddrinfo(res);
    if (out.empty() && error) *error = netdbError(EAI_FAIL);
    return out;
}

}  // namespace quill::net
