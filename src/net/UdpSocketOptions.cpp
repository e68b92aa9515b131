// UdpSocket: binding, connecting (a request served through the send queue), the local and connected
// endpoints, multicast membership, the port-reuse and broadcast options, and closing.

#include <cerrno>
#include <cstring>

#include "net/Resolver.h"
#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/SocketErrors.h"
#include "net/SocketInterface.h"
#include "net/UdpSocketImpl.h"

namespace quill::net {

using Impl = UdpSocket::Impl;

namespace {

// Stores the error when asked for one; false, for returning.
bool fail(Error* out, Error error) {
    if (out) *out = std::move(error);
    return false;
}

constexpr const char* kUnknownInterface =
    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
constexpr const char* kBothDisabled =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";

}  // namespace

// ---- the public calls ----

bool UdpSocket::bindToPort(uint16_t port, Error* error) {
    return bindToPort(port, std::nullopt, error);
}

bool UdpSocket::bindToPort(uint16_t port, const std::optional<std::string>& interface, Error* error) {
    return impl_->queue.sync([&] { return impl_->bindToPort(port, interface, error); });
}

bool UdpSocket::bindToAddress(const Bytes& address, Error* error) {
    return impl_->queue.sync([&] { return impl_->bindToAddress(address, error); });
}

bool UdpSocket::connectToHost(const std::string& host, uint16_t port, Error* error) {
    return impl_->queue.sync([&] { return impl_->connect(&host, port, nullptr, error); });
}

bool UdpSocket::connectToAddress(const Bytes& address, Error* error) {
    return impl_->queue.sync([&] { return impl_->connect(nullptr, 0, &address, error); });
}

bool UdpSocket::joinMulticastGroup(const std::string& group, Error* error) {
    return joinMulticastGroup(group, std::nullopt, error);
}

bool UdpSocket::joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                                   Error* error) {
    return impl_->queue.sync([&] { return impl_->performMulticastRequest(true, group, interface, error); });
}

bool UdpSocket::leaveMulticastGroup(const std::string& group, Error* error) {
    return leaveMulticastGroup(group, std::nullopt, error);
}

bool UdpSocket::leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                                    Error* error) {
    return impl_->queue.sync([&] { return impl_->performMulticastRequest(false, group, interface, error); });
}

bool UdpSocket::enableReusePort(bool flag, Error* error) {
    return impl_->queue.sync([&] { return impl_->enableReusePort(flag, error); });
}

bool UdpSocket::enableBroadcast(bool flag, Error* error) {
    return impl_->queue.sync([&] { return impl_->enableBroadcast(flag, error); });
}

void UdpSocket::close() {
    impl_->queue.sync([&] { impl_->closeWithError(std::nullopt); });
}

void UdpSocket::closeAfterSending() {
    impl_->queue.inlineOrAsync(*this, [](UdpSocket& s) { s.impl_->closeAfterSending(); });
}

Bytes UdpSocket::localAddress() const {
    return impl_->queue.sync([&] { return impl_->localAddress(impl_->v4.fd != -1 ? impl_->v4 : impl_->v6); });
}
std::string UdpSocket::localHost() const {
    return hostFromAddress(localAddress());
}
uint16_t UdpSocket::localPort() const {
    return portFromAddress(localAddress());
}
Bytes UdpSocket::localAddress_IPv4() const {
    return impl_->queue.sync([&] { return impl_->localAddress(impl_->v4); });
}
std::string UdpSocket::localHost_IPv4() const {
    return hostFromAddress(localAddress_IPv4());
}
uint16_t UdpSocket::localPort_IPv4() const {
    return portFromAddress(localAddress_IPv4());
}
Bytes UdpSocket::localAddress_IPv6() const {
    return impl_->queue.sync([&] { return impl_->localAddress(impl_->v6); });
}
std::string UdpSocket::localHost_IPv6() const {
    return hostFromAddress(localAddress_IPv6());
}
uint16_t UdpSocket::localPort_IPv6() const {
    return portFromAddress(localAddress_IPv6());
}

Bytes UdpSocket::connectedAddress() const {
    return impl_->queue.sync([&] {
        impl_->maybeUpdateCachedConnectedAddressInfo();
        return impl_->cachedConnectedAddress;
    });
}

std::string UdpSocket::connectedHost() const {
    return impl_->queue.sync([&] {
        impl_->maybeUpdateCachedConnectedAddressInfo();
        return impl_->cachedConnectedHost;
    });
}

uint16_t UdpSocket::connectedPort() const {
    return impl_->queue.sync([&] {
        impl_->maybeUpdateCachedConnectedAddressInfo();
        return impl_->cachedConnectedPort;
    });
}

// ---- binding ----

bool Impl::preBind(Error* error) const {
    if (!preOp(error)) return false;
    if (flags & flagDidBind) return fail(error, badConfigError("Cannot bind a socket more than once."));
    if (flags & (flagConnecting | flagDidConnect))
        return fail(error,
                    badConfigError("Cannot bind after connecting. If needed, bind first, then connect."));
    if ((config & configIPv4Disabled) && (config & configIPv6Disabled))
        return fail(error, badConfigError(kBothDisabled));
    return true;
}

bool Impl::bindToPort(uint16_t port, const std::optional<std::string>& interface, Error* error) {
    if (!preBind(error)) return false;
    Bytes a4, a6;
    interfaceAddresses(interface, port, &a4, &a6);
    const bool disabled4 = config & configIPv4Disabled, disabled6 = config & configIPv6Disabled;
    if (a4.empty() && a6.empty()) return fail(error, badParamError(kUnknownInterface));
    if (a6.empty() && disabled4)
        return fail(error,
                    badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
    if (a4.empty() && disabled6)
        return fail(error,
                    badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
    const bool use4 = !a4.empty() && !disabled4, use6 = !a6.empty() && !disabled6;
    if (!(flags & flagDidCreateSockets) && !createSockets(use4, use6, error)) return false;
    if ((use4 && !bindTo(v4.fd, a4)) || (use6 && !bindTo(v6.fd, a6))) {
        Error bindError = posixError(errno, "Error in bind() function");
        closeSockets();
        return fail(error, bindError);
    }
    flags |= flagDidBind;
    if (!use4) flags |= flagIPv4Deactivated;
    if (!use6) flags |= flagIPv6Deactivated;
    return true;
}

bool Impl::bindToAddress(const Bytes& address, Error* error) {
    if (!preBind(error)) return false;
    const int af = addressFamily(address);
    if (af == 0) return fail(error, badParamError("A valid IPv4 or IPv6 address was not given"));
    UdpFamily& f = family(af);
    const std::string name = f.name;
    if (config & f.disabledBit)
        return fail(error,
                    badParamError(name + " has been disabled and an " + name + " address was passed."));
    if (!(flags & flagDidCreateSockets) && !createSockets(af == AF_INET, af == AF_INET6, error)) return false;
    if (!bindTo(f.fd, address)) {
        Error bindError = posixError(errno, "Error in bind() function");
        closeSockets();
        return fail(error, bindError);
    }
    flags |= flagDidBind | otherFamily(f).deactivatedBit;
    return true;
}

// ---- connecting ----

bool Impl::preConnect(Error* error) const {
    if (!preOp(error)) return false;
    if (flags & (flagConnecting | flagDidConnect))
        return fail(error, badConfigError("Cannot connect a socket more than once."));
    if ((config & configIPv4Disabled) && (config & configIPv6Disabled))
        return fail(error, badConfigError(kBothDisabled));
    return true;
}

bool Impl::connect(const std::string* host, uint16_t port, const Bytes* address, Error* error) {
    if (!preConnect(error)) return false;
    if (host && host->empty())
        return fail(error,
                    badParamError("The host param is nil. Should be domain name or IP address string."));
    if (address && address->empty())
        return fail(error, badParamError("The address param is nil. Should be a valid address."));
    if (!(flags & flagDidCreateSockets) && !createSockets(error)) return false;
    auto packet = std::make_shared<UdpSpecialPacket>();
    if (host) {
        packet->resolveInProgress = true;
        asyncResolveHost(*host, port,
                         [packet](Impl& impl, std::vector<Bytes> addresses, std::optional<Error> e) {
                             packet->resolveInProgress = false;
                             packet->addresses = std::move(addresses);
                             packet->error = std::move(e);
                             impl.maybeConnect();
                         });
    } else {
        packet->addresses.push_back(*address);
    }
    flags |= flagConnecting;
    sendQueue.push_back(std::move(packet));
    maybeDequeueSend();
    return true;
}

void Impl::maybeConnect() {
    if (!currentSend || !currentSend->isConnect || currentSend->resolveInProgress) return;
    auto& packet = static_cast<UdpSpecialPacket&>(*currentSend);
    std::optional<Error> failure = packet.error;
    Bytes address;
    if (!failure) {
        Error choiceError;
        const int af = getAddress(packet.addresses, &address, &choiceError);
        if (af == 0) {
            failure = choiceError;
        } else if (!connectTo(family(af).fd, address)) {
            failure = posixError(errno, "Error in connect() function");
        } else {
            UdpFamily& other = otherFamily(family(af));
            closeSocket(other);
            flags |= other.deactivatedBit;
        }
    }
    if (failure) {
        notify(
            [error = *failure](UdpSocketDelegate& d, UdpSocket& s) { d.udpSocketDidNotConnect(s, error); });
    } else {
        flags |= flagDidBind | flagDidConnect;
        cachedConnectedAddress = address;
        cachedConnectedFamily = addressFamily(address);
        getHost(address, &cachedConnectedHost, &cachedConnectedPort);
        notify([address](UdpSocketDelegate& d, UdpSocket& s) { d.udpSocketDidConnectToAddress(s, address); });
    }
    flags &= ~flagConnecting;
    endCurrentSend();
    maybeDequeueSend();
}

// ---- endpoints ----

Bytes Impl::localAddress(UdpFamily& f) {
    maybeUpdateCachedLocalAddressInfo(f);
    return f.cachedLocalAddress;
}

void Impl::maybeUpdateCachedLocalAddressInfo(UdpFamily& f) {
    if (!f.cachedLocalAddress.empty() || !(flags & flagDidBind) || f.fd == -1) return;
    Bytes address = localAddressOf(f.fd);
    std::string host;
    uint16_t port = 0;
    // A descriptor the kernel has not bound yet (port 0) is asked again next time: a later send binds it.
    if (!getHost(address, &host, &port) || port == 0) return;
    f.cachedLocalAddress = std::move(address);
    f.cachedLocalHost = std::move(host);
    f.cachedLocalPort = port;
}

void Impl::maybeUpdateCachedConnectedAddressInfo() {
    if (!cachedConnectedAddress.empty() || !(flags & flagDidConnect)) return;
    Bytes address = peerAddressOf(v4.fd != -1 ? v4.fd : v6.fd);
    int af = 0;
    if (!getHost(address, &cachedConnectedHost, &cachedConnectedPort, &af)) return;
    cachedConnectedAddress = std::move(address);
    cachedConnectedFamily = af;
}

// ---- multicast and options ----

bool Impl::performMulticastRequest(bool join, const std::string& group,
                                   const std::optional<std::string>& interface, Error* error) {
    if (!preOp(error)) return false;
    if (!(flags & flagDidBind))
        return fail(error, badConfigError("Must bind a socket before joining a multicast group."));
    if (flags & (flagConnecting | flagDidConnect))
        return fail(error, badConfigError("Cannot join a multicast group if connected."));
    Bytes group4, group6, interface4, interface6;
    numericHostAddresses(group, 0, SocketKind::Datagram, &group4, &group6);
    if (group4.empty() && group6.empty())
        return fail(error, badParamError("Unknown group. Specify valid group IP address."));
    interfaceAddresses(interface, 0, &interface4, &interface6);
    if (interface4.empty() && interface6.empty()) return fail(error, badParamError(kUnknownInterface));

    int rc;
    UdpFamily* kept;
    if (!group4.empty() && !interface4.empty() && v4.fd != -1) {
        sockaddr_in g, i;
        std::memcpy(&g, group4.data(), sizeof g);
        std::memcpy(&i, interface4.data(), sizeof i);
        ip_mreq request{};
        request.imr_multiaddr = g.sin_addr;
        request.imr_interface = i.sin_addr;
        rc = setsockopt(v4.fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                        sizeof request);
        kept = &v4;
    } else if (!group6.empty() && !interface6.empty() && v6.fd != -1) {
        sockaddr_in6 g;
        std::memcpy(&g, group6.data(), sizeof g);
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = g.sin6_addr;
        request.ipv6mr_interface = indexOfInterfaceAddr6(interface6);
        rc = setsockopt(v6.fd, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request,
                        sizeof request);
        kept = &v6;
    } else {
        return fail(error, badParamError("Socket, group, and interface do not have matching IP versions"));
    }
    if (rc != 0) return fail(error, posixError(errno, "Error in setsockopt() function"));
    // The socket serves the group's family from now on; the other family is closed and stays out of
    // every later address choice.
    UdpFamily& other = otherFamily(*kept);
    closeSocket(other);
    flags |= other.deactivatedBit;
    return true;
}

bool Impl::enableReusePort(bool flag, Error* error) {
    if (!preOp(error)) return false;
    if (!(flags & flagDidCreateSockets) && !createSockets(error)) return false;
    // Every descriptor must take the option: one that refuses makes the result false.
    bool result = false;
    for (UdpFamily* f : {&v4, &v6}) {
        if (f->fd == -1) continue;
        if (!setIntOption(f->fd, SOL_SOCKET, SO_REUSEPORT, flag ? 1 : 0))
            return fail(error, posixError(errno, "Error in setsockopt() function"));
        result = true;
    }
    return result;
}

bool Impl::enableBroadcast(bool flag, Error* error) {
    if (!preOp(error)) return false;
    if (!(flags & flagDidCreateSockets) && !createSockets(error)) return false;
    if (v4.fd == -1) return false;  // IPv6 has no broadcast
    if (!setIntOption(v4.fd, SOL_SOCKET, SO_BROADCAST, flag ? 1 : 0))
        return fail(error, posixError(errno, "Error in setsockopt() function"));
    return true;
}

// ---- closing ----

void Impl::closeAfterSending() {
    flags |= flagCloseAfterSends;
    if (!currentSend && sendQueue.empty()) closeWithError(std::nullopt);
}

void Impl::closeWithError(const std::optional<Error>& error, CloseReport report) {
    if (currentSend) endCurrentSend();
    sendQueue.clear();
    dequeueAgain = false;
    const uint32_t flagsBefore = flags;
    closeSockets();
    flags = 0;
    ++receiveGeneration;
    pendingFilterOperations = 0;
    // A later connect learns its own peer.
    cachedConnectedAddress.clear();
    cachedConnectedHost.clear();
    cachedConnectedPort = 0;
    cachedConnectedFamily = 0;
    const bool created = flagsBefore & flagDidCreateSockets;
    if (report == CloseReport::Always || (created && report == CloseReport::IfCreated)) {
        notifyDidClose(error, true);
    } else if (created && report == CloseReport::Destruction) {
        notifyDidClose(error, false);
    }
}

}  // namespace quill::net
