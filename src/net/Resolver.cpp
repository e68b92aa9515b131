#include "net/Resolver.h"

#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "net/SocketAddress.h"
#include "net/SocketErrors.h"

namespace quill::net {

namespace {

// getaddrinfo for the kind of socket; the list comes back in *result (free it with freeaddrinfo).
int resolve(const std::string& host, uint16_t port, SocketKind kind, int flags, addrinfo** result) {
    char service[8];
    std::snprintf(service, sizeof service, "%hu", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_protocol = kind == SocketKind::Stream ? IPPROTO_TCP : IPPROTO_UDP;
    hints.ai_flags = flags;
    return getaddrinfo(host.c_str(), service, &hints, result);
}

}  // namespace

std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, Error* error) {
    return lookupHost(host, port, SocketKind::Stream, error);
}

std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, SocketKind kind, Error* error) {
    std::vector<Bytes> out;
    if (host == "localhost" || host == "loopback") {
        out.push_back(loopbackAddress4(port));
        out.push_back(loopbackAddress6(port));
        return out;
    }
    addrinfo* res = nullptr;
    int rc = resolve(host, port, kind, 0, &res);
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

void lookupHostAsync(std::string host, uint16_t port, SocketKind kind,
                     platform::dispatch::QueuePtr completionQueue, LookupCompletion completion) {
    using platform::dispatch::Queue;
    Queue::global(platform::dispatch::Priority::Default)
        ->async([host = std::move(host), port, kind, completionQueue = std::move(completionQueue),
                 completion = std::move(completion)]() mutable {
            Error error;
            std::vector<Bytes> addresses = lookupHost(host, port, kind, &error);
            std::optional<Error> failure;
            if (addresses.empty()) failure = error;
            completionQueue->async([addresses = std::move(addresses), failure = std::move(failure),
                                    completion = std::move(completion)]() mutable {
                completion(std::move(addresses), std::move(failure));
            });
        });
}

void numericHostAddresses(const std::string& host, uint16_t port, SocketKind kind, Bytes* address4,
                          Bytes* address6) {
    Bytes a4, a6;
    addrinfo* res = nullptr;
    if (resolve(host, port, kind, AI_NUMERICHOST, &res) == 0) {
        for (addrinfo* ai = res; ai; ai = ai->ai_next) {
            const auto* p = reinterpret_cast<const uint8_t*>(ai->ai_addr);
            if (ai->ai_family == AF_INET && a4.empty() && ai->ai_addrlen >= sizeof(sockaddr_in))
                a4.assign(p, p + sizeof(sockaddr_in));
            if (ai->ai_family == AF_INET6 && a6.empty() && ai->ai_addrlen >= sizeof(sockaddr_in6))
                a6.assign(p, p + sizeof(sockaddr_in6));
        }
        freeaddrinfo(res);
    }
    if (address4) *address4 = std::move(a4);
    if (address6) *address6 = std::move(a6);
}

}  // namespace quill::net
